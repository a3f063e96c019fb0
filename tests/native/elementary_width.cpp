// evaluate (elementary_width.hpp) for the widest lane that this translation
// unit's flags allow: compiled plain (the scalar lane), with -mavx2 -mfma
// (4 wide) and with the AVX-512 flags (8 wide); evaluate_scalar for the
// scalar lane under the same flags.
#include "elementary_width.hpp"

#include "simd/elementary.hpp"

#include <numbers>

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

namespace {

#if ORBIVANE_SIMD_AVX512
using Widest = lane8;
#elif ORBIVANE_SIMD_AVX2
using Widest = lane4;
#else
using Widest = double;
#endif

template <class L> L one_or_zero(mask_t<L> m) { return select(m, L(1.0), L(0.0)); }

template <Op op, class L> inline L apply(L a, L b, L c, L& second) {
    constexpr int W = width_v<L>;
    if constexpr (op == Op::add) return a + b;
    else if constexpr (op == Op::sub) return a - b;
    else if constexpr (op == Op::mul) return a * b;
    else if constexpr (op == Op::div) return a / b;
    else if constexpr (op == Op::neg) return -a;
    else if constexpr (op == Op::sqrt) return sqrt(a);
    else if constexpr (op == Op::abs) return abs(a);
    else if constexpr (op == Op::fma) return fma(a, b, c);
    else if constexpr (op == Op::round_even) return round_even(a);
    else if constexpr (op == Op::trunc) return trunc(a);
    else if constexpr (op == Op::floor) return floor(a);
    else if constexpr (op == Op::lt) return one_or_zero<L>(a < b);
    else if constexpr (op == Op::le) return one_or_zero<L>(a <= b);
    else if constexpr (op == Op::gt) return one_or_zero<L>(a > b);
    else if constexpr (op == Op::ge) return one_or_zero<L>(a >= b);
    else if constexpr (op == Op::eq) return one_or_zero<L>(a == b);
    else if constexpr (op == Op::ne) return one_or_zero<L>(a != b);
    else if constexpr (op == Op::logic) {
        const mask_t<L> m = ((a < b) & !(b < c)) | (a == c);
        return one_or_zero<L>(m);
    } else if constexpr (op == Op::select) return select(a < b, c, a);
    else if constexpr (op == Op::any) return any(a < b) ? 1.0 : 0.0;
    else if constexpr (op == Op::all) return all(a < b) ? 1.0 : 0.0;
    else if constexpr (op == Op::fill) {
        const L x = fill<L>([&](int i) { return lane(a, W - 1 - i); });
        return fill<L>([&](int i) { return lane(x, W - 1 - i); });
    } else if constexpr (op == Op::sin) return sin(a);
    else if constexpr (op == Op::cos) return cos(a);
    else if constexpr (op == Op::sincos) {
        L s;
        sincos(a, s, second);
        return s;
    } else if constexpr (op == Op::atan2) return atan2(a, b);
    else if constexpr (op == Op::fmod) return fmod(a, b);
    else if constexpr (op == Op::fmod_2pi) return fmod_reciprocal(a, 2.0 * std::numbers::pi, 1.0 / (2.0 * std::numbers::pi));
    else return cbrt(a);
}

template <Op op, class L>
void run(const double* a, const double* b, const double* c, double* out, double* out2, std::ptrdiff_t n) {
    constexpr int W = width_v<L>;
    std::ptrdiff_t i = 0;
    L second = 0.0;
    for (; i + W <= n; i += W) {
        store(out + i, apply<op, L>(load<L>(a + i), load<L>(b + i), load<L>(c + i), second));
        store(out2 + i, second);
    }
    if (i == n) return;
    // The tail, padded with copies of its first value.
    double pa[W], pb[W], pc[W], po[W], po2[W];
    for (int j = 0; j < W; ++j) {
        const std::ptrdiff_t k = i + j < n ? i + j : i;
        pa[j] = a[k];
        pb[j] = b[k];
        pc[j] = c[k];
    }
    store(po, apply<op, L>(load<L>(pa), load<L>(pb), load<L>(pc), second));
    store(po2, second);
    for (int j = 0; i + j < n; ++j) {
        out[i + j] = po[j];
        out2[i + j] = po2[j];
    }
}

template <class L, int... I>
void dispatch(Op op, const double* a, const double* b, const double* c, double* out, double* out2,
              std::ptrdiff_t n, std::integer_sequence<int, I...>) {
    ((static_cast<int>(op) == I ? run<static_cast<Op>(I), L>(a, b, c, out, out2, n) : void()), ...);
}

}  // namespace

void evaluate(Op op, const double* a, const double* b, const double* c, double* out, double* out2,
              std::ptrdiff_t n) {
    dispatch<Widest>(op, a, b, c, out, out2, n, std::make_integer_sequence<int, static_cast<int>(Op::count)>{});
}

void evaluate_scalar(Op op, const double* a, const double* b, const double* c, double* out, double* out2,
                     std::ptrdiff_t n) {
    dispatch<double>(op, a, b, c, out, out2, n, std::make_integer_sequence<int, static_cast<int>(Op::count)>{});
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
