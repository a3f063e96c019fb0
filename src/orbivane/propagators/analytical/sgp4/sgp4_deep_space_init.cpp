// Initialisation of the deep-space part of the model (SDP4): the secular
// rates and periodic coefficients of the lunar and solar perturbations, and
// the coefficients of the one-day and half-day resonances with the Earth's
// tesseral harmonics.
#include "sgp4_init.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace orbivane::sgp4 {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kTwoThirds = 2.0 / 3.0;

// Mean motions (rad/min) and orbit eccentricities of the Sun and the Moon.
constexpr double kSunMeanMotion = 1.19459e-5;
constexpr double kMoonMeanMotion = 1.5835218e-4;
constexpr double kSunEccentricity = 0.01675;
constexpr double kMoonEccentricity = 0.05490;

// Rotation rate of the Earth, rad/min.
constexpr double kEarthRate = 4.37526908801129966e-3;

// An inclination this close to 0 or 180 deg gets no node rate from the
// body's term: it is singular there.
constexpr double kNearEquatorial = 5.2359877e-2;

// The direction of one perturbing body relative to the satellite's orbit:
// the Z coefficients of the theory and the factors S1 to S7.
struct BodyGeometry {
    double z1, z2, z3, z11, z12, z13, z21, z22, z23, z31, z32, z33;
    double s1, s2, s3, s4, s5, s6, s7;
};

// The orbit of the satellite at epoch, as the body terms read it.
struct OrbitAngles {
    double sin_i, cos_i, sin_omega, cos_omega, sin_node, cos_node;
    double e, e2, beta2, beta, n;
};

// cos_g, sin_g: argument of perigee of the body's orbit; cos_i, sin_i: its
// inclination to the equator; cos_h, sin_h: its node relative to the
// satellite's; c: the body's perturbation constant.
BodyGeometry body_geometry(const OrbitAngles& o, double cos_g, double sin_g, double cos_i,
                           double sin_i, double cos_h, double sin_h, double c) {
    const double a1 = cos_g * cos_h + sin_g * cos_i * sin_h;
    const double a3 = -sin_g * cos_h + cos_g * cos_i * sin_h;
    const double a7 = -cos_g * sin_h + sin_g * cos_i * cos_h;
    const double a8 = sin_g * sin_i;
    const double a9 = sin_g * sin_h + cos_g * cos_i * cos_h;
    const double a10 = cos_g * sin_i;
    const double a2 = o.cos_i * a7 + o.sin_i * a8;
    const double a4 = o.cos_i * a9 + o.sin_i * a10;
    const double a5 = -o.sin_i * a7 + o.cos_i * a8;
    const double a6 = -o.sin_i * a9 + o.cos_i * a10;

    const double x1 = a1 * o.cos_omega + a2 * o.sin_omega;
    const double x2 = a3 * o.cos_omega + a4 * o.sin_omega;
    const double x3 = -a1 * o.sin_omega + a2 * o.cos_omega;
    const double x4 = -a3 * o.sin_omega + a4 * o.cos_omega;
    const double x5 = a5 * o.sin_omega;
    const double x6 = a6 * o.sin_omega;
    const double x7 = a5 * o.cos_omega;
    const double x8 = a6 * o.cos_omega;

    BodyGeometry b;
    const double e2 = o.e2;
    b.z31 = 12.0 * x1 * x1 - 3.0 * x3 * x3;
    b.z32 = 24.0 * x1 * x2 - 6.0 * x3 * x4;
    b.z33 = 12.0 * x2 * x2 - 3.0 * x4 * x4;
    b.z1 = 3.0 * (a1 * a1 + a2 * a2) + b.z31 * e2;
    b.z2 = 6.0 * (a1 * a3 + a2 * a4) + b.z32 * e2;
    b.z3 = 3.0 * (a3 * a3 + a4 * a4) + b.z33 * e2;
    b.z11 = -6.0 * a1 * a5 + e2 * (-24.0 * x1 * x7 - 6.0 * x3 * x5);
    b.z12 = -6.0 * (a1 * a6 + a3 * a5) + e2 * (-24.0 * (x2 * x7 + x1 * x8) - 6.0 * (x3 * x6 + x4 * x5));
    b.z13 = -6.0 * a3 * a6 + e2 * (-24.0 * x2 * x8 - 6.0 * x4 * x6);
    b.z21 = 6.0 * a2 * a5 + e2 * (24.0 * x1 * x5 - 6.0 * x3 * x7);
    b.z22 = 6.0 * (a4 * a5 + a2 * a6) + e2 * (24.0 * (x2 * x5 + x1 * x6) - 6.0 * (x4 * x7 + x3 * x8));
    b.z23 = 6.0 * a4 * a6 + e2 * (24.0 * x2 * x6 - 6.0 * x4 * x8);
    b.z1 = b.z1 + b.z1 + o.beta2 * b.z31;
    b.z2 = b.z2 + b.z2 + o.beta2 * b.z32;
    b.z3 = b.z3 + b.z3 + o.beta2 * b.z33;
    b.s3 = c * (1.0 / o.n);
    b.s2 = -0.5 * b.s3 / o.beta;
    b.s4 = b.s3 * o.beta;
    b.s1 = -15.0 * o.e * b.s4;
    b.s5 = x1 * x3 + x2 * x4;
    b.s6 = x2 * x3 + x1 * x4;
    b.s7 = x2 * x4 - x1 * x3;
    return b;
}

// Amplitudes of the body's periodic terms.
BodyTerms<double> periodic_terms(const BodyGeometry& b, double m0, double body_e, double e2) {
    BodyTerms<double> t;
    t.m0 = m0;
    t.e2 = 2.0 * b.s1 * b.s6;
    t.e3 = 2.0 * b.s1 * b.s7;
    t.i2 = 2.0 * b.s2 * b.z12;
    t.i3 = 2.0 * b.s2 * (b.z13 - b.z11);
    t.l2 = -2.0 * b.s3 * b.z2;
    t.l3 = -2.0 * b.s3 * (b.z3 - b.z1);
    t.l4 = -2.0 * b.s3 * (-21.0 - 9.0 * e2) * body_e;
    t.gh2 = 2.0 * b.s4 * b.z32;
    t.gh3 = 2.0 * b.s4 * (b.z33 - b.z31);
    t.gh4 = -18.0 * b.s4 * body_e;
    t.h2 = -2.0 * b.s2 * b.z22;
    t.h3 = -2.0 * b.s2 * (b.z23 - b.z21);
    return t;
}

// Secular rates that one body adds to e, i, l (mean anomaly), omega + node
// (gh) and node times sin i (h).
struct BodyRates {
    double e, i, l, gh, h;
};

BodyRates secular_rates(const BodyGeometry& b, double n_body, double e2, double i0) {
    BodyRates r;
    r.e = b.s1 * n_body * b.s5;
    r.i = b.s2 * n_body * (b.z11 + b.z13);
    r.l = -n_body * b.s3 * (b.z1 + b.z3 - 14.0 - 6.0 * e2);
    r.gh = b.s4 * n_body * (b.z31 + b.z33 - 6.0);
    r.h = -n_body * b.s2 * (b.z21 + b.z23);
    if (i0 < kNearEquatorial || i0 > std::numbers::pi - kNearEquatorial) r.h = 0.0;
    return r;
}

// The half-day resonance: its ten coefficients D_lmpq from the eccentricity
// functions G_lpq (polynomial fits in e) and the inclination functions F_lmp.
void half_day_resonance(Satellite<double>& s, double e, double cos_i, double sin_i, double a_ratio) {
    const double e2 = e * e;
    const double e3 = e * e2;
    const double cos2 = cos_i * cos_i;
    const double g201 = -0.306 - (e - 0.64) * 0.440;
    double g211, g310, g322, g410, g422, g520, g521, g532, g533;
    if (e <= 0.65) {
        g211 = 3.616 - 13.2470 * e + 16.2900 * e2;
        g310 = -19.302 + 117.3900 * e - 228.4190 * e2 + 156.5910 * e3;
        g322 = -18.9068 + 109.7927 * e - 214.6334 * e2 + 146.5816 * e3;
        g410 = -41.122 + 242.6940 * e - 471.0940 * e2 + 313.9530 * e3;
        g422 = -146.407 + 841.8800 * e - 1629.014 * e2 + 1083.4350 * e3;
        g520 = -532.114 + 3017.977 * e - 5740.032 * e2 + 3708.2760 * e3;
    } else {
        g211 = -72.099 + 331.819 * e - 508.738 * e2 + 266.724 * e3;
        g310 = -346.844 + 1582.851 * e - 2415.925 * e2 + 1246.113 * e3;
        g322 = -342.585 + 1554.908 * e - 2366.899 * e2 + 1215.972 * e3;
        g410 = -1052.797 + 4758.686 * e - 7193.992 * e2 + 3651.957 * e3;
        g422 = -3581.690 + 16178.110 * e - 24462.770 * e2 + 12422.520 * e3;
        g520 = e > 0.715 ? -5149.66 + 29936.92 * e - 54087.36 * e2 + 31324.56 * e3
                         : 1464.74 - 4664.75 * e + 3763.64 * e2;
    }
    if (e < 0.7) {
        g533 = -919.22770 + 4988.6100 * e - 9064.7700 * e2 + 5542.21 * e3;
        g521 = -822.71072 + 4568.6173 * e - 8491.4146 * e2 + 5337.524 * e3;
        g532 = -853.66600 + 4690.2500 * e - 8624.7700 * e2 + 5341.4 * e3;
    } else {
        g533 = -37995.780 + 161616.52 * e - 229838.20 * e2 + 109377.94 * e3;
        g521 = -51752.104 + 218913.95 * e - 309468.16 * e2 + 146349.42 * e3;
        g532 = -40023.880 + 170470.89 * e - 242699.48 * e2 + 115605.82 * e3;
    }
    const double sin2 = sin_i * sin_i;
    const double f220 = 0.75 * (1.0 + 2.0 * cos_i + cos2);
    const double f221 = 1.5 * sin2;
    const double f321 = 1.875 * sin_i * (1.0 - 2.0 * cos_i - 3.0 * cos2);
    const double f322 = -1.875 * sin_i * (1.0 + 2.0 * cos_i - 3.0 * cos2);
    const double f441 = 35.0 * sin2 * f220;
    const double f442 = 39.3750 * sin2 * sin2;
    const double f522 = 9.84375 * sin_i * (sin2 * (1.0 - 2.0 * cos_i - 5.0 * cos2) +
                                           0.33333333 * (-2.0 + 4.0 * cos_i + 6.0 * cos2));
    const double f523 = sin_i * (4.92187512 * sin2 * (-2.0 - 4.0 * cos_i + 10.0 * cos2) +
                                 6.56250012 * (1.0 + 2.0 * cos_i - 3.0 * cos2));
    const double f542 = 29.53125 * sin_i * (2.0 - 8.0 * cos_i + cos2 * (-12.0 + 8.0 * cos_i + 10.0 * cos2));
    const double f543 = 29.53125 * sin_i * (-2.0 - 8.0 * cos_i + cos2 * (12.0 + 8.0 * cos_i - 10.0 * cos2));

    // Normalised harmonic coefficients sqrt(C^2 + S^2) of the tesseral terms.
    constexpr double root22 = 1.7891679e-6, root32 = 3.7393792e-7, root44 = 7.3636953e-9;
    constexpr double root52 = 1.1428639e-7, root54 = 2.1765803e-9;
    double k = 3.0 * (s.n0 * s.n0) * (a_ratio * a_ratio);
    double c = k * root22;
    s.d2201 = c * f220 * g201;
    s.d2211 = c * f221 * g211;
    k = k * a_ratio;
    c = k * root32;
    s.d3210 = c * f321 * g310;
    s.d3222 = c * f322 * g322;
    k = k * a_ratio;
    c = 2.0 * k * root44;
    s.d4410 = c * f441 * g410;
    s.d4422 = c * f442 * g422;
    k = k * a_ratio;
    c = k * root52;
    s.d5220 = c * f522 * g520;
    s.d5232 = c * f523 * g532;
    c = 2.0 * k * root54;
    s.d5421 = c * f542 * g521;
    s.d5433 = c * f543 * g533;
}

// The one-day (geosynchronous) resonance: three coefficients from the
// eccentricity and inclination functions of the 22, 31 and 33 harmonics.
void one_day_resonance(Satellite<double>& s, double e2, double cos_i, double sin_i, double a_ratio) {
    constexpr double q22 = 1.7891679e-6, q31 = 2.1460748e-6, q33 = 2.2123015e-7;
    const double g200 = 1.0 + e2 * (-2.5 + 0.8125 * e2);
    const double g310 = 1.0 + 2.0 * e2;
    const double g300 = 1.0 + e2 * (-6.0 + 6.60937 * e2);
    const double f220 = 0.75 * (1.0 + cos_i) * (1.0 + cos_i);
    const double f311 = 0.9375 * sin_i * sin_i * (1.0 + 3.0 * cos_i) - 0.75 * (1.0 + cos_i);
    const double f330 = 1.875 * (1.0 + cos_i) * (1.0 + cos_i) * (1.0 + cos_i);
    const double k = 3.0 * s.n0 * s.n0 * a_ratio * a_ratio;
    s.s2 = 2.0 * k * f220 * g200 * q22;
    s.s3 = 3.0 * k * f330 * g300 * q33 * a_ratio;
    s.s1 = k * f311 * g310 * q31 * a_ratio;
}

}  // namespace

void initialise_deep_space(Satellite<double>& s, double days_1950) {
    OrbitAngles o;
    o.sin_i = std::sin(s.i0);
    o.cos_i = std::cos(s.i0);
    o.sin_omega = std::sin(s.omega0);
    o.cos_omega = std::cos(s.omega0);
    o.sin_node = std::sin(s.node0);
    o.cos_node = std::cos(s.node0);
    o.e = s.e0;
    o.e2 = s.e0 * s.e0;
    o.beta2 = 1.0 - o.e2;
    o.beta = std::sqrt(o.beta2);
    o.n = s.n0;

    // The Moon's orbit at epoch: its node on the ecliptic regresses once in
    // 18.6 years; from it follow the Moon's inclination to the equator, its
    // node on the equator and its argument of perigee.
    const double day = days_1950 + 18261.5;  // days since 1900 January 0.5
    const double moon_node = std::fmod(4.5236020 - 9.2422029e-4 * day, kTwoPi);
    const double sin_mn = std::sin(moon_node);
    const double cos_mn = std::cos(moon_node);
    const double moon_cos_i = 0.91375164 - 0.03568096 * cos_mn;
    const double moon_sin_i = std::sqrt(1.0 - moon_cos_i * moon_cos_i);
    const double moon_sin_h = 0.089683511 * sin_mn / moon_sin_i;
    const double moon_cos_h = std::sqrt(1.0 - moon_sin_h * moon_sin_h);
    const double moon_perigee_longitude = 5.8351514 + 0.0019443680 * day;
    const double moon_g = moon_perigee_longitude +
                          std::atan2(0.39785416 * sin_mn / moon_sin_i,
                                     moon_cos_h * cos_mn + 0.91744867 * moon_sin_h * sin_mn) -
                          moon_node;

    // The Sun's orbit: the ecliptic's obliquity and the Sun's perigee are fixed.
    const BodyGeometry sun = body_geometry(o, 0.1945905, -0.98088458, 0.91744867, 0.39785416,
                                           o.cos_node, o.sin_node, 2.9864797e-6);
    const BodyGeometry moon = body_geometry(
        o, std::cos(moon_g), std::sin(moon_g), moon_cos_i, moon_sin_i,
        moon_cos_h * o.cos_node + moon_sin_h * o.sin_node,
        o.sin_node * moon_cos_h - o.cos_node * moon_sin_h, 4.7968065e-7);

    s.sun = periodic_terms(sun, std::fmod(6.2565837 + 0.017201977 * day, kTwoPi), kSunEccentricity, o.e2);
    s.moon = periodic_terms(moon, std::fmod(4.7199672 + 0.22997150 * day - moon_perigee_longitude, kTwoPi),
                            kMoonEccentricity, o.e2);

    // Secular rates: the Sun's and the Moon's added.
    // The node terms carry a factor 1 / sin i. They are zero near the
    // equator, and left out where sin i is zero or so small (subnormal)
    // that 1 / sin i would overflow.
    const BodyRates rs = secular_rates(sun, kSunMeanMotion, o.e2, s.i0);
    const BodyRates rm = secular_rates(moon, kMoonMeanMotion, o.e2, s.i0);
    const bool inclined = std::fabs(o.sin_i) >= std::numeric_limits<double>::min();
    const double sun_h = inclined ? rs.h / o.sin_i : rs.h;
    s.e_dot = rs.e + rm.e;
    s.i_dot = rs.i + rm.i;
    s.m_dot_ls = rs.l + rm.l;
    double omega_dot = rs.gh - o.cos_i * sun_h + rm.gh;
    double node_dot = sun_h;
    if (inclined) {
        omega_dot = omega_dot - o.cos_i / o.sin_i * rm.h;
        node_dot = node_dot + rm.h / o.sin_i;
    }
    s.omega_dot_ls = omega_dot;
    s.node_dot_ls = node_dot;

    // Resonances with the Earth's rotation.
    const bool one_day = s.n0 < 0.0052359877 && s.n0 > 0.0034906585;
    const bool half_day = s.n0 >= 8.26e-3 && s.n0 <= 9.24e-3 && s.e0 >= 0.5;
    if (!one_day && !half_day) return;
    const double a_ratio = std::pow(s.n0 / s.ke, kTwoThirds);  // 1 / a in Earth radii
    const double gst = std::fmod(s.gst0, kTwoPi);
    if (half_day) {
        s.resonance = kHalfDayResonance;
        half_day_resonance(s, s.e0, o.cos_i, o.sin_i, a_ratio);
        s.lambda0 = std::fmod(s.m0 + s.node0 + s.node0 - gst - gst, kTwoPi);
        s.lambda_dot0 = s.m_dot + s.m_dot_ls + 2.0 * (s.node_dot + s.node_dot_ls - kEarthRate) - s.n0;
    } else {
        s.resonance = kOneDayResonance;
        one_day_resonance(s, o.e2, o.cos_i, o.sin_i, a_ratio);
        s.lambda0 = std::fmod(s.m0 + s.node0 + s.omega0 - gst, kTwoPi);
        s.lambda_dot0 = s.m_dot + (s.omega_dot + s.node_dot) - kEarthRate + s.m_dot_ls + s.omega_dot_ls +
                        s.node_dot_ls - s.n0;
    }
}

}  // namespace orbivane::sgp4
