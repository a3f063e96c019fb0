// Two lanes of a vector type side by side, as one lane type of twice the
// width: twice<lane8> holds sixteen doubles in two AVX-512 registers.
//
// Every operation is its base type's operation on each half, so a lane
// holds the bits that the scalar lane computes for it, as in every lane
// type. What it buys is independence: a model written over L and run on
// twice<B> issues each step as two instructions that do not wait for each
// other, and a long chain of dependent steps (a polynomial, a division, an
// iteration of Kepler's equation) keeps the processor's units busy with the
// other half while one half waits for a result.
//
// Included by lanes.hpp after the vector lane types, so that code written
// over lane types finds these overloads wherever it finds theirs.
#pragma once

namespace orbivane::simd::ORBIVANE_SIMD_TARGET {

template <VectorLane B> struct twice_mask {
    mask_t<B> lo, hi;

    friend twice_mask operator&(twice_mask a, twice_mask b) noexcept { return {a.lo & b.lo, a.hi & b.hi}; }
    friend twice_mask operator|(twice_mask a, twice_mask b) noexcept { return {a.lo | b.lo, a.hi | b.hi}; }
    friend twice_mask operator!(twice_mask a) noexcept { return {!a.lo, !a.hi}; }
};

template <VectorLane B> struct twice {
    B lo, hi;

    twice() noexcept = default;
    twice(double x) noexcept : lo(x), hi(x) {}  // implicit: the broadcast
    twice(B l, B h) noexcept : lo(l), hi(h) {}

    friend twice operator+(twice a, twice b) noexcept { return {a.lo + b.lo, a.hi + b.hi}; }
    friend twice operator-(twice a, twice b) noexcept { return {a.lo - b.lo, a.hi - b.hi}; }
    friend twice operator*(twice a, twice b) noexcept { return {a.lo * b.lo, a.hi * b.hi}; }
    friend twice operator/(twice a, twice b) noexcept { return {a.lo / b.lo, a.hi / b.hi}; }
    friend twice operator-(twice a) noexcept { return {-a.lo, -a.hi}; }

    using M = twice_mask<B>;
    friend M operator<(twice a, twice b) noexcept { return {a.lo < b.lo, a.hi < b.hi}; }
    friend M operator<=(twice a, twice b) noexcept { return {a.lo <= b.lo, a.hi <= b.hi}; }
    friend M operator>(twice a, twice b) noexcept { return {a.lo > b.lo, a.hi > b.hi}; }
    friend M operator>=(twice a, twice b) noexcept { return {a.lo >= b.lo, a.hi >= b.hi}; }
    friend M operator==(twice a, twice b) noexcept { return {a.lo == b.lo, a.hi == b.hi}; }
    friend M operator!=(twice a, twice b) noexcept { return {a.lo != b.lo, a.hi != b.hi}; }
};

template <VectorLane B> struct lane_traits<twice<B>> {
    using mask = twice_mask<B>;
    static constexpr int half = width_v<B>;
    static constexpr int width = 2 * half;
    static twice<B> load(const double* p) noexcept { return {simd::load<B>(p), simd::load<B>(p + half)}; }
    template <class F> static twice<B> fill(F& f) noexcept {
        return {simd::fill<B>(f), simd::fill<B>([&f](int i) { return f(i + half); })};
    }
};

template <VectorLane B> inline twice<B> select(twice_mask<B> m, twice<B> a, twice<B> b) noexcept {
    return {select(m.lo, a.lo, b.lo), select(m.hi, a.hi, b.hi)};
}
template <VectorLane B> inline bool any(twice_mask<B> m) noexcept { return any(m.lo | m.hi); }
template <VectorLane B> inline bool all(twice_mask<B> m) noexcept { return all(m.lo & m.hi); }
template <VectorLane B> inline twice<B> sqrt(twice<B> x) noexcept { return {sqrt(x.lo), sqrt(x.hi)}; }
template <VectorLane B> inline twice<B> abs(twice<B> x) noexcept { return {abs(x.lo), abs(x.hi)}; }
template <VectorLane B> inline twice<B> fma(twice<B> a, twice<B> b, twice<B> c) noexcept {
    return {fma(a.lo, b.lo, c.lo), fma(a.hi, b.hi, c.hi)};
}
template <VectorLane B> inline twice<B> round_even(twice<B> x) noexcept { return {round_even(x.lo), round_even(x.hi)}; }
template <VectorLane B> inline twice<B> trunc(twice<B> x) noexcept { return {trunc(x.lo), trunc(x.hi)}; }
template <VectorLane B> inline twice<B> floor(twice<B> x) noexcept { return {floor(x.lo), floor(x.hi)}; }

template <VectorLane B> inline void store(double* p, twice<B> x) noexcept {
    store(p, x.lo);
    store(p + width_v<B>, x.hi);
}
template <VectorLane B> inline double lane(twice<B> x, int i) noexcept {
    return i < width_v<B> ? lane(x.lo, i) : lane(x.hi, i - width_v<B>);
}
template <VectorLane B> inline bool lane(twice_mask<B> m, int i) noexcept {
    return i < width_v<B> ? lane(m.lo, i) : lane(m.hi, i - width_v<B>);
}

}  // namespace orbivane::simd::ORBIVANE_SIMD_TARGET
