// Exact arithmetic on two-part Julian dates (jd1 + jd2).
//
// A Time holds jd1, the whole number nearest to its Julian date (halves go
// up), and jd2, the rest, in [-0.5, 0.5). The helpers here split a sum into
// that form without loss, and round differences of two such pairs once,
// correctly, from the exact value.
#pragma once

#include <cmath>
#include <utility>

namespace orbivane::two_part {

struct Split {
    double whole, rest;
};

// The whole number nearest to x, halves to even, as std::rint gives it in
// the default rounding mode, without a call into the math library: below
// 2**52 in magnitude, adding and taking away 2**52 (with x's sign) leaves
// exactly that; from 2**52 on, every double is a whole number.
inline double nearest_whole(double x) noexcept {
    constexpr double kTwo52 = 4503599627370496.0;
    if (!(std::fabs(x) < kTwo52)) return x;
    const double big = std::copysign(kTwo52, x);
    return std::copysign((x + big) - big, x);
}

// The whole number nearest to x, halves up, and the rest, in [-0.5, 0.5).
// The rest is exact: x and a nonzero nearest whole number are within a
// factor of two of each other. Adding +0.0 turns a zero of either sign into
// +0.0, so that an instant has one pair.
inline Split split(double x) noexcept {
    const double n = nearest_whole(x);  // halves to even
    const double r = x - n;
    const double up = r == 0.5 ? 1.0 : 0.0;  // without a branch
    return {(n + up) + 0.0, (r - up) + 0.0};
}

// Knuth's two-sum: s = fl(a + b) and the exact error e = (a + b) - s.
struct Sum {
    double s, e;
};

inline Sum two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double bv = s - a;
    const double av = s - bv;
    return {s, (a - av) + (b - bv)};
}

// Dekker's two-product: p = fl(a * b) and the exact error e = a * b - p,
// with plain multiplications (Veltkamp's split of each factor into halves
// of 26 bits), as fast as a fused multiply-add on processors without one.
// Exact while nothing overflows or falls below the normal range.
inline Sum two_product(double a, double b) noexcept {
    constexpr double kSplitter = 134217729.0;  // 2**27 + 1
    const double p = a * b;
    const double ca = kSplitter * a, cb = kSplitter * b;
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

// The correctly rounded (to nearest, ties to even) sum of n finite doubles,
// n <= 8: the terms are first made into a nonoverlapping expansion, whose
// exact sum is theirs (Shewchuk's growing expansion), which is then added
// from its largest term down until the first rounding; the discarded terms
// below only decide a tie. Not finite when an intermediate overflows.
inline double rounded_sum(const double* x, int n) noexcept {
    double partials[8];
    int m = 0;
    for (int i = 0; i < n; ++i) {
        double v = x[i];
        int k = 0;
        for (int j = 0; j < m; ++j) {
            double y = partials[j];
            if (std::fabs(v) < std::fabs(y)) std::swap(v, y);
            const double hi = v + y;
            const double lo = y - (hi - v);
            if (lo != 0.0) partials[k++] = lo;
            v = hi;
        }
        partials[k++] = v;
        m = k;
    }
    if (m == 0) return 0.0;
    double hi = partials[--m];
    double lo = 0.0;
    while (m > 0) {
        const double v = hi;
        const double y = partials[--m];
        hi = v + y;
        lo = y - (hi - v);
        if (lo != 0.0) break;
    }
    // hi + lo is exact and lo is at most half an ulp of hi: at exactly half,
    // the sign of the next term decides which way the tie goes.
    if (m > 0 && ((lo < 0.0 && partials[m - 1] < 0.0) || (lo > 0.0 && partials[m - 1] > 0.0))) {
        const double y = lo * 2.0;
        const double v = hi + y;
        if (y == v - hi) hi = v;
    }
    return hi;
}

// (a1 + a2) - (b1 + b2), rounded once from the exact value, for pairs split
// as above. The usual case, whole parts below 2**52 in magnitude, takes
// three error-free sums: a1 - b1 is then exact, and so is everything but
// the last rounding, which a tie-breaking term corrects.
inline double difference(double a1, double a2, double b1, double b2) noexcept {
    constexpr double kExactWhole = 4503599627370496.0;  // 2**52
    if (!(std::fabs(a1) < kExactWhole && std::fabs(b1) < kExactWhole)) {
        const double terms[4] = {a1, -b1, a2, -b2};
        const double r = rounded_sum(terms, 4);
        return std::isfinite(r) ? r : (a1 - b1) + (a2 - b2);
    }
    const double whole = a1 - b1;                 // exact
    const Sum rest = two_sum(a2, -b2);            // |rest.s| < 1
    const Sum head = two_sum(whole, rest.s);      // whole + rest.s, exactly
    const Sum tail = two_sum(head.e, rest.e);     // the two errors, exactly
    const Sum total = two_sum(head.s, tail.s);
    // total.s + total.e + tail.e is the exact difference, with total.e at
    // most half an ulp of total.s and tail.e far below it.
    double r = total.s;
    if ((total.e < 0.0 && tail.e < 0.0) || (total.e > 0.0 && tail.e > 0.0)) {
        const double y = total.e * 2.0;
        const double v = r + y;
        if (y == v - r) r = v;
    }
    return r;
}

}  // namespace orbivane::two_part
