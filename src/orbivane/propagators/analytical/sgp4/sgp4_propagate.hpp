// Propagation of an initialised satellite to one time, over a lane type L
// (double, or a SIMD type holding one satellite and time a lane).
//
// propagate() is a pure function of the record and the time. Branches that
// depend on a lane's values are masks: every lane runs the same
// operations, results are chosen with select(), and error codes are set
// lane by lane, the first error found standing. Work that no lane needs is
// skipped with any() and all().
#pragma once

#include "sgp4_deep_space.hpp"
#include "sgp4_satellite.hpp"
#include "simd/elementary.hpp"
#include "simd/lanes.hpp"

#include <limits>
#include <numbers>

namespace orbivane::sgp4 {

// Error codes of the model, as propagate() reports them.
inline constexpr double kEccentricityOutOfRange = 1.0;  // mean eccentricity not in [-0.001, 1)
inline constexpr double kMeanMotionNotPositive = 2.0;
inline constexpr double kPerturbedEccentricityOutOfRange = 3.0;  // not in [0, 1]
inline constexpr double kSemiLatusRectumNegative = 4.0;
inline constexpr double kDecayed = 6.0;  // radius under one Earth radius

// The furthest from the epoch (minutes, about 1,900 years) that callers
// propagate to: the resonance integration of deep-space orbits takes one
// step per 720 minutes from the epoch, and the model means nothing that far
// out. Times beyond it, and times that are not finite, are refused.
inline constexpr double kMaxMinutesFromEpoch = 1.0e9;

// The largest turn that turned() takes by its series.
inline constexpr double kSmallTurn = 0.0625;

// The sine s and cosine c of x = a + d, from sin_a and cos_a: by the
// addition theorem where |d| <= kSmallTurn, with sin d and cos d - 1 from
// their series to the terms a double holds (the first left out is below
// 2^-64 of the sum); elsewhere sincos(x).
template <class L> inline void turned(L x, L sin_a, L cos_a, L d, L& s, L& c) {
    const L z = d * d;
    const L sin_d = d + d * z * (L(-1.0 / 6) + z * (L(1.0 / 120) + z * (L(-1.0 / 5040) + z * L(1.0 / 362880))));
    const L cos_d_1 =
        z * (L(-0.5) + z * (L(1.0 / 24) + z * (L(-1.0 / 720) + z * (L(1.0 / 40320) + z * L(-1.0 / 3628800)))));
    s = sin_a + (sin_a * cos_d_1 + cos_a * sin_d);
    c = cos_a + (cos_a * cos_d_1 - sin_a * sin_d);
    const auto large = !(simd::abs(d) <= L(kSmallTurn));
    if (simd::any(large)) {
        L s_x, c_x;
        simd::sincos(x, s_x, c_x);
        s = simd::select(large, s_x, s);
        c = simd::select(large, c_x, c);
    }
}

// Position r (km) and velocity v (km/s) in TEME, t minutes after the epoch,
// and the error code (0 when none). With codes 1 to 4 position and velocity
// are NaN; with code 6 they are what the model gives. |t| must be at most
// kMaxMinutesFromEpoch.
template <class L> void propagate(const Satellite<L>& s, L t, L r[3], L v[3], L& code) {
    using simd::select;
    using M = simd::mask_t<L>;
    const L zero(0.0), one(1.0);

    // Set code to c on the lanes where cond holds and no error was found yet.
    // The range checks are written so that a NaN fails them: no lane goes
    // on with NaN elements and code 0.
    auto flag = [&code, zero](M cond, double c) { code = select(cond & (code == zero), L(c), code); };
    code = s.epoch_code;

    // Secular effects of gravity and drag.
    const L m_df = s.m0 + s.m_dot * t;
    const L omega_df = s.omega0 + s.omega_dot * t;
    const L t2 = t * t;
    L node = s.node0 + s.node_dot * t + s.node_drag * t2;
    L omega = omega_df;
    L m = m_df;
    L a_decay = one - s.c1 * t;
    L e_decay = s.bstar * s.c4 * t;
    L l_drift = s.l2 * t2;
    const M full_drag = s.simple_drag == zero;
    if (simd::any(full_drag)) {
        L sin_m_df, cos_m_df, sin_m_full, cos_m_full;
        simd::sincos(m_df, sin_m_df, cos_m_df);
        const L k = one + s.eta * cos_m_df;
        const L dm = s.omega_drag * t + s.m_drag * (k * k * k - s.cube_m0);
        const L m_full = m_df + dm;
        turned(m_full, sin_m_df, cos_m_df, dm, sin_m_full, cos_m_full);
        const L t3 = t2 * t;
        const L t4 = t3 * t;
        m = select(full_drag, m_full, m);
        omega = select(full_drag, omega_df - dm, omega);
        a_decay = select(full_drag, a_decay - s.d2 * t2 - s.d3 * t3 - s.d4 * t4, a_decay);
        e_decay = select(full_drag, e_decay + s.bstar * s.c5 * (sin_m_full - s.sin_m0), e_decay);
        l_drift = select(full_drag, l_drift + s.l3 * t3 + t4 * (s.l4 + t * s.l5), l_drift);
    }

    L n = s.n0;
    L e = s.e0;
    L i = s.i0;
    const M deep = s.deep_space != zero;
    if (simd::any(deep)) deep_space_secular(s, t, e, i, omega, node, m, n);

    flag(!(n > zero), kMeanMotionNotPositive);
    const L ke_n = s.ke / n;
    const L a = simd::cbrt(ke_n * ke_n) * a_decay * a_decay;
    n = s.ke / (a * simd::sqrt(a));
    e = e - e_decay;
    flag(!((e >= L(-0.001)) & (e < one)), kEccentricityOutOfRange);
    e = select(e < L(1.0e-6), L(1.0e-6), e);
    m = m + s.n0 * l_drift;

    // Reduce the angles, keeping the mean longitude exact.
    const L longitude = turns_removed(m + omega + node);
    node = turns_removed(node);
    omega = turns_removed(omega);
    m = turns_removed(longitude - omega - node);

    // Lunar-solar periodics; the inclination can come out negative, which
    // is the same orbit with node and perigee turned by half a turn.
    L sin_i = s.sin_i0, cos_i = s.cos_i0;
    L ay_coef = s.ay_coef, l_coef = s.l_coef;
    L k3c2m1 = s.k3c2m1, k1mc2 = s.k1mc2, k7c2m1 = s.k7c2m1;
    if (simd::any(deep)) {
        L ep = e, ip = i, nodep = node, omegap = omega, mp = m, sin_ip, cos_ip;
        lunar_solar_periodics(s, t, ep, ip, nodep, omegap, mp, sin_ip, cos_ip);
        const M flip = ip < zero;
        const L pi(std::numbers::pi);
        ip = select(flip, -ip, ip);
        nodep = select(flip, nodep + pi, nodep);
        omegap = select(flip, omegap - pi, omegap);
        flag(deep & !((ep >= zero) & (ep <= one)), kPerturbedEccentricityOutOfRange);
        e = select(deep, ep, e);
        i = select(deep, ip, i);
        node = select(deep, nodep, node);
        omega = select(deep, omegap, omega);
        m = select(deep, mp, m);

        // Long- and short-period coefficients of the perturbed inclination.
        simd::sincos(ip, sin_ip, cos_ip);
        sin_i = select(deep, sin_ip, sin_i);
        cos_i = select(deep, cos_ip, cos_i);
        const L j3_sin = s.j3_over_j2 * sin_i;
        const L one_plus_cos = select(simd::abs(cos_i + one) > L(1.5e-12), one + cos_i, L(1.5e-12));
        ay_coef = select(deep, L(-0.5) * j3_sin, ay_coef);
        l_coef = select(deep, L(-0.25) * j3_sin * (L(3.0) + L(5.0) * cos_i) / one_plus_cos, l_coef);
        const L cos2 = cos_i * cos_i;
        k3c2m1 = select(deep, L(3.0) * cos2 - one, k3c2m1);
        k1mc2 = select(deep, one - cos2, k1mc2);
        k7c2m1 = select(deep, L(7.0) * cos2 - one, k7c2m1);
    }

    // Long-period periodics (J3), in the equinoctial components of the
    // eccentricity vector.
    L sin_omega, cos_omega;
    simd::sincos(omega, sin_omega, cos_omega);
    const L axn = e * cos_omega;
    const L p_inv = one / (a * (one - e * e));
    const L ayn = e * sin_omega + p_inv * ay_coef;
    const L xl = m + omega + node + p_inv * l_coef * axn;

    // Kepler's equation for the eccentric longitude, by Newton's method
    // with steps limited to 0.95 rad; at most ten steps. The sine and cosine
    // of each iterate are those of the one before turned by the step.
    const L u = turns_removed(xl - node);
    L ecc_lon = u;
    L sin_el, cos_el;
    simd::sincos(u, sin_el, cos_el);
    M solving = code == zero;
    for (int k = 0; k < 10 && simd::any(solving); ++k) {
        L delta = (u - ayn * cos_el + axn * sin_el - ecc_lon) / (one - cos_el * axn - sin_el * ayn);
        delta = select(simd::abs(delta) >= L(0.95), select(delta > zero, L(0.95), L(-0.95)), delta);
        ecc_lon = select(solving, ecc_lon + delta, ecc_lon);
        solving = solving & (simd::abs(delta) >= L(1.0e-12));
        if (!simd::any(solving)) break;
        L s_el, c_el;
        turned(ecc_lon, sin_el, cos_el, delta, s_el, c_el);
        sin_el = select(solving, s_el, sin_el);
        cos_el = select(solving, c_el, cos_el);
    }

    // Short-period preliminary quantities.
    const L e_cos = axn * cos_el + ayn * sin_el;
    const L e_sin = axn * sin_el - ayn * cos_el;
    const L el2 = axn * axn + ayn * ayn;
    const L p = a * (one - el2);
    flag(!(p >= zero), kSemiLatusRectumNegative);
    const L radius = a * (one - e_cos);
    const L inv_radius = one / radius;
    const L radius_dot = simd::sqrt(a) * e_sin * inv_radius;
    const L r_nu_dot = simd::sqrt(p) * inv_radius;
    const L beta = simd::sqrt(one - el2);
    const L k = e_sin / (one + beta);
    const L a_over_r = a * inv_radius;
    const L sin_u = a_over_r * (sin_el - ayn - axn * k);
    const L cos_u = a_over_r * (cos_el - axn + ayn * k);
    const L sin_2u = (cos_u + cos_u) * sin_u;
    const L cos_2u = one - L(2.0) * sin_u * sin_u;
    const L inv_p = one / p;
    const L j2p = L(0.5) * s.j2 * inv_p;
    const L j2p2 = j2p * inv_p;

    // Short-period periodics (J2).
    const L r_k = radius * (one - L(1.5) * j2p2 * beta * k3c2m1) + L(0.5) * j2p * k1mc2 * cos_2u;
    const L du = L(-0.25) * j2p2 * k7c2m1 * sin_2u;
    const L node_k = node + L(1.5) * j2p2 * cos_i * sin_2u;
    const L di = L(1.5) * j2p2 * cos_i * sin_i * cos_2u;
    const L n_j2p = n / s.ke * j2p;
    const L r_dot_k = radius_dot - n_j2p * k1mc2 * sin_2u;
    const L r_nu_dot_k = r_nu_dot + n_j2p * (k1mc2 * cos_2u + L(1.5) * k3c2m1);

    // Orientation: unit vectors along the radius and across it in the
    // orbit plane. The argument of latitude and the inclination are turned
    // by their short-period terms from sines and cosines at hand (the
    // argument of latitude is taken as an angle only where a term is large).
    L sin_uk, cos_uk, sin_nk, cos_nk, sin_ik, cos_ik;
    const L u_arg = simd::any(!(simd::abs(du) <= L(kSmallTurn))) ? simd::atan2(sin_u, cos_u) : zero;
    turned(u_arg + du, sin_u, cos_u, du, sin_uk, cos_uk);
    turned(i + di, sin_i, cos_i, di, sin_ik, cos_ik);
    simd::sincos(node_k, sin_nk, cos_nk);
    const L mx = -sin_nk * cos_ik;
    const L my = cos_nk * cos_ik;
    const L ux = mx * sin_uk + cos_nk * cos_uk;
    const L uy = my * sin_uk + sin_nk * cos_uk;
    const L uz = sin_ik * sin_uk;
    const L vx = mx * cos_uk - cos_nk * sin_uk;
    const L vy = my * cos_uk - sin_nk * sin_uk;
    const L vz = sin_ik * cos_uk;

    flag(r_k < one, kDecayed);
    const M failed = (code != zero) & (code != L(kDecayed));
    const L nan(std::numeric_limits<double>::quiet_NaN());
    r[0] = select(failed, nan, r_k * ux * s.radius_km);
    r[1] = select(failed, nan, r_k * uy * s.radius_km);
    r[2] = select(failed, nan, r_k * uz * s.radius_km);
    v[0] = select(failed, nan, (r_dot_k * ux + r_nu_dot_k * vx) * s.speed_km_s);
    v[1] = select(failed, nan, (r_dot_k * uy + r_nu_dot_k * vy) * s.speed_km_s);
    v[2] = select(failed, nan, (r_dot_k * uz + r_nu_dot_k * vz) * s.speed_km_s);
}

}  // namespace orbivane::sgp4
