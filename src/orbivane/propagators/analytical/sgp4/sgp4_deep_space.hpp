// Deep-space terms of the propagation (SDP4), over a lane type L: the
// secular lunar-solar rates, the resonance integration, and the periodic
// lunar-solar perturbations.
//
// Lanes differ in their resonance kind and in the branch of the periodic
// terms they need; both are handled with masks, and work that no lane
// needs is skipped.
#pragma once

#include "sgp4_satellite.hpp"
#include "simd/elementary.hpp"
#include "simd/lanes.hpp"

#include <numbers>

namespace orbivane::sgp4 {

// fmod(x, 2 pi), exactly (the bits of the C library's), with a
// multiplication by 1 / (2 pi) for the division.
template <class L> inline L turns_removed(L x) noexcept {
    constexpr double two_pi = 2.0 * std::numbers::pi;
    return simd::fmod_reciprocal(x, two_pi, 1.0 / two_pi);
}

namespace deep_space {

inline constexpr double kTwoPi = 2.0 * std::numbers::pi;
inline constexpr double kEarthRate = 4.37526908801129966e-3;  // rad/min

// The resonance integrator's step (minutes); every propagation integrates
// from epoch in steps of this length, so that the result depends on the
// time alone.
inline constexpr double kStep = 720.0;

// Rates of the resonance variables at one step: of the mean motion (n_dot),
// of the resonance longitude (lambda_dot) and the second derivative of the
// mean motion (n_ddot).
template <class L> struct ResonanceRates {
    L n_dot, lambda_dot, n_ddot;
};

// One-day resonance: the 22, 31 and 33 tesseral terms.
template <class L> ResonanceRates<L> one_day_rates(const Satellite<L>& s, L lambda, L n) {
    using simd::sincos;
    L s1, c1, s2, c2, s3, c3;
    sincos(lambda - L(0.13130908), s1, c1);
    sincos(L(2.0) * (lambda - L(2.8843198)), s2, c2);
    sincos(L(3.0) * (lambda - L(0.37448087)), s3, c3);
    ResonanceRates<L> r;
    r.n_dot = s.s1 * s1 + s.s2 * s2 + s.s3 * s3;
    r.lambda_dot = n + s.lambda_dot0;
    r.n_ddot = (s.s1 * c1 + L(2.0) * s.s2 * c2 + L(3.0) * s.s3 * c3) * r.lambda_dot;
    return r;
}

// Half-day resonance: ten terms of the 22, 32, 44, 52 and 54 harmonics;
// their arguments include the argument of perigee at the step's time.
template <class L> ResonanceRates<L> half_day_rates(const Satellite<L>& s, L lambda, L n, L time) {
    using simd::sincos;
    const L omega = s.omega0 + s.omega_dot * time;
    const L omega2 = omega + omega;
    const L lambda2 = lambda + lambda;
    L s2201, c2201, s2211, c2211, s3210, c3210, s3222, c3222, s4410, c4410;
    L s4422, c4422, s5220, c5220, s5232, c5232, s5421, c5421, s5433, c5433;
    const L g22(5.7686396), g32(0.95240898), g44(1.8014998), g52(1.0508330), g54(4.4108898);
    sincos(omega2 + lambda - g22, s2201, c2201);
    sincos(lambda - g22, s2211, c2211);
    sincos(omega + lambda - g32, s3210, c3210);
    sincos(-omega + lambda - g32, s3222, c3222);
    sincos(omega2 + lambda2 - g44, s4410, c4410);
    sincos(lambda2 - g44, s4422, c4422);
    sincos(omega + lambda - g52, s5220, c5220);
    sincos(-omega + lambda - g52, s5232, c5232);
    sincos(omega + lambda2 - g54, s5421, c5421);
    sincos(-omega + lambda2 - g54, s5433, c5433);
    ResonanceRates<L> r;
    r.n_dot = s.d2201 * s2201 + s.d2211 * s2211 + s.d3210 * s3210 + s.d3222 * s3222 + s.d4410 * s4410 +
              s.d4422 * s4422 + s.d5220 * s5220 + s.d5232 * s5232 + s.d5421 * s5421 + s.d5433 * s5433;
    r.lambda_dot = n + s.lambda_dot0;
    r.n_ddot = (s.d2201 * c2201 + s.d2211 * c2211 + s.d3210 * c3210 + s.d3222 * c3222 + s.d5220 * c5220 +
                s.d5232 * c5232 +
                L(2.0) * (s.d4410 * c4410 + s.d4422 * c4422 + s.d5421 * c5421 + s.d5433 * c5433)) *
               r.lambda_dot;
    return r;
}

// The rates of whichever resonance each lane has; lanes without one get
// the one-day formula's values, which nothing reads.
template <class L>
ResonanceRates<L> resonance_rates(const Satellite<L>& s, simd::mask_t<L> half_day, L lambda, L n, L time) {
    using simd::select;
    if (simd::all(half_day)) return half_day_rates(s, lambda, n, time);
    ResonanceRates<L> r = one_day_rates(s, lambda, n);
    if (simd::any(half_day)) {
        const ResonanceRates<L> h = half_day_rates(s, lambda, n, time);
        r.n_dot = select(half_day, h.n_dot, r.n_dot);
        r.lambda_dot = select(half_day, h.lambda_dot, r.lambda_dot);
        r.n_ddot = select(half_day, h.n_ddot, r.n_ddot);
    }
    return r;
}

}  // namespace deep_space

// Secular lunar-solar rates and resonance effects at t minutes from epoch,
// added to the mean elements that the near-Earth secular terms gave. Lanes
// of near-Earth satellites have zero rates and no resonance, so that they
// come out unchanged.
template <class L>
void deep_space_secular(const Satellite<L>& s, L t, L& e, L& i, L& omega, L& node, L& m, L& n) {
    using namespace deep_space;
    using simd::abs;
    using simd::select;
    using M = simd::mask_t<L>;

    e = e + s.e_dot * t;
    i = i + s.i_dot * t;
    omega = omega + s.omega_dot_ls * t;
    node = node + s.node_dot_ls * t;
    m = m + s.m_dot_ls * t;

    const M resonant = s.resonance != L(kNoResonance);
    if (!simd::any(resonant)) return;
    const M half_day = s.resonance == L(kHalfDayResonance);
    const L theta = turns_removed(s.gst0 + t * L(kEarthRate));

    // Euler-Maclaurin integration of the resonance longitude and mean
    // motion from epoch, in whole steps towards t; a lane stops (and keeps
    // its values) once it is less than a step from t.
    const L step = select(t > L(0.0), L(kStep), L(-kStep));
    const L half_step_squared(kStep * kStep / 2.0);
    L lambda = s.lambda0;
    L n_res = s.n0;
    L time(0.0);
    M going = resonant;
    ResonanceRates<L> r;
    for (;;) {
        r = resonance_rates(s, half_day, lambda, n_res, time);
        going = going & (abs(t - time) >= L(kStep));
        if (!simd::any(going)) break;
        lambda = select(going, lambda + r.lambda_dot * step + r.n_dot * half_step_squared, lambda);
        n_res = select(going, n_res + r.n_dot * step + r.n_ddot * half_step_squared, n_res);
        time = select(going, time + step, time);
    }

    // Taylor series over the last, partial step.
    const L rest = t - time;
    const L n_at_t = n_res + r.n_dot * rest + r.n_ddot * rest * rest * L(0.5);
    const L lambda_at_t = lambda + r.lambda_dot * rest + r.n_dot * rest * rest * L(0.5);
    const L m_half_day = lambda_at_t - L(2.0) * node + L(2.0) * theta;
    const L m_one_day = lambda_at_t - node - omega + theta;
    m = select(resonant, select(half_day, m_half_day, m_one_day), m);
    n = select(resonant, s.n0 + (n_at_t - s.n0), n);
}

namespace deep_space {

// The periodic changes that one body causes in e, i, the mean longitude
// (l), the argument of perigee plus node (gh) and the node times sin i (h).
template <class L> struct BodyPeriodics {
    L e, i, l, gh, h;
};

// The body's terms at t minutes from epoch; n_body is its mean motion
// (rad/min) and e_body its orbit's eccentricity.
template <class L> BodyPeriodics<L> body_periodics(const BodyTerms<L>& b, double n_body, double e_body, L t) {
    const L m = b.m0 + L(n_body) * t;
    const L f = m + L(2.0 * e_body) * simd::sin(m);
    L sin_f, cos_f;
    simd::sincos(f, sin_f, cos_f);
    const L f2 = L(0.5) * sin_f * sin_f - L(0.25);
    const L f3 = L(-0.5) * sin_f * cos_f;
    return {b.e2 * f2 + b.e3 * f3, b.i2 * f2 + b.i3 * f3, b.l2 * f2 + b.l3 * f3 + b.l4 * sin_f,
            b.gh2 * f2 + b.gh3 * f3 + b.gh4 * sin_f, b.h2 * f2 + b.h3 * f3};
}

}  // namespace deep_space

// Lunar-solar periodic perturbations of the elements at t minutes from
// epoch. Orbits inclined by 0.2 rad or more take them directly; flatter
// ones through the Lyddane form, which stays regular at zero inclination.
// sin_i and cos_i are returned for the perturbed inclination.
template <class L>
void lunar_solar_periodics(const Satellite<L>& s, L t, L& e, L& i, L& node, L& omega, L& m, L& sin_i, L& cos_i) {
    using namespace deep_space;
    using simd::select;
    using M = simd::mask_t<L>;

    const BodyPeriodics<L> sun = body_periodics(s.sun, 1.19459e-5, 0.01675, t);
    const BodyPeriodics<L> moon = body_periodics(s.moon, 1.5835218e-4, 0.05490, t);
    const L de = sun.e + moon.e, di = sun.i + moon.i, dl = sun.l + moon.l;
    const L dgh = sun.gh + moon.gh, dh = sun.h + moon.h;

    i = i + di;
    e = e + de;
    simd::sincos(i, sin_i, cos_i);

    const M direct = i >= L(0.2);
    L node_direct = node, omega_direct = omega;
    if (simd::any(direct)) {
        const L dh_sin = dh / sin_i;
        omega_direct = omega + (dgh - cos_i * dh_sin);
        node_direct = node + dh_sin;
    }
    if (!simd::all(direct)) {
        // Lyddane: perturb the components sin i sin(node), sin i cos(node)
        // and the longitude of the satellite, then recover node and omega.
        L sin_node, cos_node;
        simd::sincos(node, sin_node, cos_node);
        const L alpha = sin_i * sin_node + (dh * cos_node + di * cos_i * sin_node);
        const L beta = sin_i * cos_node + (-dh * sin_node + di * cos_i * cos_node);
        const M afspc = s.afspc != L(0.0);
        L node0 = turns_removed(node);
        node0 = select(afspc & (node0 < L(0.0)), node0 + L(kTwoPi), node0);
        const L longitude = m + omega + cos_i * node0 + (dl + dgh - di * node0 * sin_i);
        L node1 = simd::atan2(alpha, beta);
        node1 = select(afspc & (node1 < L(0.0)), node1 + L(kTwoPi), node1);
        // Keep the node on the same turn as before.
        const M jumped = simd::abs(node0 - node1) > L(std::numbers::pi);
        node1 = select(jumped, select(node1 < node0, node1 + L(kTwoPi), node1 - L(kTwoPi)), node1);
        const L m_lyddane = m + dl;
        node = select(direct, node_direct, node1);
        omega = select(direct, omega_direct, longitude - m_lyddane - cos_i * node1);
    } else {
        node = node_direct;
        omega = omega_direct;
    }
    m = m + dl;
}

}  // namespace orbivane::sgp4
