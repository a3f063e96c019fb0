// The record of one initialised satellite: every constant that propagation
// reads, and nothing else.
//
// Every member is of the lane type L. Initialisation fills a
// Satellite<double>; a batch of satellites is a Satellite<V> for a vector
// lane type V, lane k holding satellite k. Because the record is a plain
// run of L values, Satellite<double> reads as double[kSatelliteFields] and
// Satellite<V> as V[kSatelliteFields] in the same order, and a batch is
// made by transposing scalar records field by field.
//
// Flags and kinds are numbers too (0.0 or 1.0, or the kind's number), so
// that they can be compared lane by lane.
//
// Units: angles in radians, time in minutes, lengths in Earth radii.
#pragma once

#include <type_traits>

namespace orbivane::sgp4 {

// Resonance kinds of a deep-space orbit, as stored in Satellite::resonance.
inline constexpr double kNoResonance = 0.0;
inline constexpr double kOneDayResonance = 1.0;   // geosynchronous
inline constexpr double kHalfDayResonance = 2.0;  // Molniya-like, e >= 0.5

// The coefficients of the periodic perturbations by one body (the Sun or
// the Moon): its mean anomaly at epoch, then the amplitudes of the terms in
// eccentricity (e), inclination (i), mean longitude (l), argument of
// perigee plus node (gh) and node (h). Terms 2 and 3 multiply
// f2 = sin^2(f)/2 - 1/4 and f3 = -sin(f)cos(f)/2 of the body's true
// anomaly f; term 4 multiplies sin(f).
template <class L> struct BodyTerms {
    L m0;
    L e2, e3;
    L i2, i3;
    L l2, l3, l4;
    L gh2, gh3, gh4;
    L h2, h3;
};

template <class L> struct Satellite {
    // Earth model.
    L ke;            // sqrt(mu), Earth radii^1.5 / min
    L j2;
    L j3_over_j2;
    L radius_km;     // km per Earth radius
    L speed_km_s;    // km/s per Earth radius per minute

    // What the satellite is.
    L epoch_code;    // error code found at initialisation (0: none), reported at every time
    L deep_space;    // 1: period of 225 minutes or more (SDP4)
    L simple_drag;   // 1: the truncated drag terms only (low perigee, and every deep-space orbit)
    L resonance;     // kNoResonance, kOneDayResonance or kHalfDayResonance
    L afspc;         // 1: the original operation mode

    // Mean elements at epoch (mean motion recovered from the Kozai value).
    L e0, i0, node0, omega0, m0, n0;
    L bstar;

    // Secular rates from the zonal harmonics; node_drag multiplies t^2.
    L m_dot, omega_dot, node_dot, node_drag;

    // Drag.
    L c1, c4, c5;
    L eta;
    L omega_drag;    // rate of the drag change of the argument of perigee
    L m_drag;        // factor of the drag change of the mean anomaly
    L cube_m0;       // (1 + eta cos m0)^3
    L sin_m0;
    L d2, d3, d4;    // powers of t in the semimajor-axis decay
    L l2, l3, l4, l5;  // powers of t in the mean-longitude drift

    // Long-period (J3) and short-period (J2) coefficients of the epoch
    // inclination; deep-space orbits recompute them from the perturbed one.
    L ay_coef, l_coef;
    L cos_i0, sin_i0;
    L k3c2m1;        // 3 cos^2 i - 1
    L k1mc2;         // 1 - cos^2 i
    L k7c2m1;        // 7 cos^2 i - 1

    // Deep space: Greenwich sidereal angle at epoch, and the secular rates
    // that the Sun and the Moon add.
    L gst0;
    L e_dot, i_dot, omega_dot_ls, node_dot_ls, m_dot_ls;

    // Deep space, resonant orbits: the mean longitude of the resonance at
    // epoch and its drift beyond the mean motion, the one-day resonance
    // coefficients, and the half-day ones.
    L lambda0, lambda_dot0;
    L s1, s2, s3;
    L d2201, d2211, d3210, d3222, d4410, d4422, d5220, d5232, d5421, d5433;

    // Deep space: periodic perturbations by the Sun and by the Moon.
    BodyTerms<L> sun;
    BodyTerms<L> moon;
};

// The number of L values in a Satellite<L>. A batch transposes records by
// it: change it with the members.
inline constexpr int kSatelliteFields = 90;

// True when Satellite<L> is exactly kSatelliteFields values of type L, so
// that it can be read and written as an array of them.
template <class L>
inline constexpr bool is_flat_record = std::is_standard_layout_v<Satellite<L>> &&
                                       std::is_trivially_copyable_v<Satellite<L>> &&
                                       sizeof(Satellite<L>) == kSatelliteFields * sizeof(L);

static_assert(is_flat_record<double>);

}  // namespace orbivane::sgp4
