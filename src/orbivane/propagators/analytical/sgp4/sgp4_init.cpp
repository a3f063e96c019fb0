// Initialisation of the near-Earth part of the model, and the choice
// between the near-Earth (SGP4) and the deep-space (SDP4) theory.
//
// The steps follow the published theory: the Kozai mean motion of the
// element set is turned into the Brouwer mean motion and semimajor axis,
// the atmospheric density function is set from the perigee height, and the
// drag and zonal-harmonic coefficients are computed once for all times.
#include "sgp4_init.hpp"

#include <cmath>
#include <numbers>

namespace orbivane::sgp4 {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kTwoThirds = 2.0 / 3.0;

// Orbits whose period is at least this many minutes get the deep-space
// theory.
constexpr double kDeepSpacePeriod = 225.0;

// Height (km) of the reference altitudes of the density function: the
// atmosphere's boundary q0 and the default density parameter s.
constexpr double kQ0Height = 120.0;
constexpr double kSHeight = 78.0;

double fourth_power(double x) { return x * x * x * x; }

}  // namespace

double greenwich_sidereal_angle(double days_1950) {
    // IAU 1982 series in Julian centuries of UT1 from J2000, in seconds of time.
    const double centuries = (days_1950 + 2433281.5 - 2451545.0) / 36525.0;
    const double seconds = -6.2e-6 * centuries * centuries * centuries +
                           0.093104 * centuries * centuries +
                           (876600.0 * 3600.0 + 8640184.812866) * centuries + 67310.54841;
    double angle = std::fmod(seconds * (std::numbers::pi / 180.0) / 240.0, kTwoPi);
    return angle < 0.0 ? angle + kTwoPi : angle;
}

Satellite<double> initialise(const ElementSet& elements, Gravity gravity, Mode mode) {
    const GravityConstants g = gravity_constants(gravity);
    Satellite<double> s{};
    s.ke = g.ke;
    s.j2 = g.j2;
    s.j3_over_j2 = g.j3_over_j2;
    s.radius_km = g.radius;
    s.speed_km_s = g.radius * g.ke / 60.0;
    s.afspc = mode == Mode::afspc ? 1.0 : 0.0;

    // Element set units to the model's: radians and radians per minute.
    constexpr double deg = std::numbers::pi / 180.0;
    constexpr double minutes_per_radian_day = 1440.0 / kTwoPi;
    const double e0 = elements.eccentricity;
    const double i0 = elements.inclination * deg;
    const double n_kozai = elements.mean_motion / minutes_per_radian_day;
    s.e0 = e0;
    s.i0 = i0;
    s.node0 = elements.ra_of_asc_node * deg;
    s.omega0 = elements.arg_of_pericenter * deg;
    s.m0 = elements.mean_anomaly * deg;
    s.bstar = elements.bstar;

    // Elements the theory cannot start from. Every other field stays zero,
    // which propagation never reaches past the error code.
    if (!(e0 >= 0.0 && e0 < 1.0)) {
        s.epoch_code = 1.0;
        return s;
    }
    if (!(n_kozai > 0.0)) {
        s.epoch_code = 2.0;
        return s;
    }

    // Brouwer mean motion and semimajor axis from the Kozai mean motion.
    const double e0sq = e0 * e0;
    const double beta0sq = 1.0 - e0sq;
    const double beta0 = std::sqrt(beta0sq);
    const double cos_i = std::cos(i0);
    const double sin_i = std::sin(i0);
    const double cos2 = cos_i * cos_i;
    const double k3c2m1 = 3.0 * cos2 - 1.0;
    const double a_kozai = std::pow(g.ke / n_kozai, kTwoThirds);
    const double d1 = 0.75 * g.j2 * k3c2m1 / (beta0 * beta0sq);
    double delta = d1 / (a_kozai * a_kozai);
    const double a1 = a_kozai * (1.0 - delta * delta - delta * (1.0 / 3.0 + 134.0 * delta * delta / 81.0));
    delta = d1 / (a1 * a1);
    const double n0 = n_kozai / (1.0 + delta);
    if (!(n0 > 0.0)) {
        s.epoch_code = 2.0;
        return s;
    }
    const double a0 = std::pow(g.ke / n0, kTwoThirds);
    const double p0 = a0 * beta0sq;
    const double perigee = a0 * (1.0 - e0);  // Earth radii from the centre
    s.n0 = n0;
    s.cos_i0 = cos_i;
    s.sin_i0 = sin_i;
    s.k3c2m1 = k3c2m1;
    s.k1mc2 = 1.0 - cos2;
    s.k7c2m1 = 7.0 * cos2 - 1.0;

    // Density function: s and (q0 - s)^4, lowered for perigees under 156 km.
    const double perigee_km = (perigee - 1.0) * g.radius;
    double s_param = kSHeight / g.radius + 1.0;
    double q0ms4 = fourth_power((kQ0Height - kSHeight) / g.radius);
    if (perigee_km < 156.0) {
        const double s_km = perigee_km < 98.0 ? 20.0 : perigee_km - kSHeight;
        q0ms4 = fourth_power((kQ0Height - s_km) / g.radius);
        s_param = s_km / g.radius + 1.0;
    }
    s.simple_drag = perigee < 220.0 / g.radius + 1.0 ? 1.0 : 0.0;

    // Drag coefficients C1 to C5.
    const double xi = 1.0 / (a0 - s_param);
    const double eta = a0 * e0 * xi;
    const double eta2 = eta * eta;
    const double e_eta = e0 * eta;
    const double psi2 = std::fabs(1.0 - eta2);
    const double coef = q0ms4 * std::pow(xi, 4.0);
    const double coef1 = coef / std::pow(psi2, 3.5);
    const double c2 = coef1 * n0 *
                      (a0 * (1.0 + 1.5 * eta2 + e_eta * (4.0 + eta2)) +
                       0.375 * g.j2 * xi / psi2 * k3c2m1 * (8.0 + 3.0 * eta2 * (8.0 + eta2)));
    const double c1 = s.bstar * c2;
    const double c3 = e0 > 1.0e-4 ? -2.0 * coef * xi * g.j3_over_j2 * n0 * sin_i / e0 : 0.0;
    s.c1 = c1;
    s.c4 = 2.0 * n0 * coef1 * a0 * beta0sq *
           (eta * (2.0 + 0.5 * eta2) + e0 * (0.5 + 2.0 * eta2) -
            g.j2 * xi / (a0 * psi2) *
                (-3.0 * k3c2m1 * (1.0 - 2.0 * e_eta + eta2 * (1.5 - 0.5 * e_eta)) +
                 0.75 * s.k1mc2 * (2.0 * eta2 - e_eta * (1.0 + eta2)) * std::cos(2.0 * s.omega0)));
    s.c5 = 2.0 * coef1 * a0 * beta0sq * (1.0 + 2.75 * (eta2 + e_eta) + e_eta * eta2);
    s.eta = eta;

    // Secular rates from J2 and J4.
    const double cos4 = cos2 * cos2;
    const double pinv2 = 1.0 / (p0 * p0);
    const double t1 = 1.5 * g.j2 * pinv2 * n0;
    const double t2 = 0.5 * t1 * g.j2 * pinv2;
    const double t3 = -0.46875 * g.j4 * pinv2 * pinv2 * n0;
    const double k1m5c2 = 1.0 - 5.0 * cos2;
    s.m_dot = n0 + 0.5 * t1 * beta0 * k3c2m1 + 0.0625 * t2 * beta0 * (13.0 - 78.0 * cos2 + 137.0 * cos4);
    s.omega_dot = -0.5 * t1 * k1m5c2 + 0.0625 * t2 * (7.0 - 114.0 * cos2 + 395.0 * cos4) +
                  t3 * (3.0 - 36.0 * cos2 + 49.0 * cos4);
    const double node_dot_j2 = -t1 * cos_i;
    s.node_dot = node_dot_j2 + (0.5 * t2 * (4.0 - 19.0 * cos2) + 2.0 * t3 * (3.0 - 7.0 * cos2)) * cos_i;
    s.node_drag = 3.5 * beta0sq * node_dot_j2 * c1;

    // Drag terms of the argument of perigee, mean anomaly and longitude.
    s.omega_drag = s.bstar * c3 * std::cos(s.omega0);
    s.m_drag = e0 > 1.0e-4 ? -kTwoThirds * coef * s.bstar / e_eta : 0.0;
    s.l2 = 1.5 * c1;
    const double m_factor = 1.0 + eta * std::cos(s.m0);
    s.cube_m0 = m_factor * m_factor * m_factor;
    s.sin_m0 = std::sin(s.m0);

    // Long-period coefficients; the one of the mean longitude is singular
    // at i = 180 deg, where its divisor is held at a small number.
    s.ay_coef = -0.5 * g.j3_over_j2 * sin_i;
    const double one_plus_cos = std::fabs(cos_i + 1.0) > 1.5e-12 ? 1.0 + cos_i : 1.5e-12;
    s.l_coef = -0.25 * g.j3_over_j2 * sin_i * (3.0 + 5.0 * cos_i) / one_plus_cos;

    // The epoch as the theory defines it: one Julian date, rounded to a
    // double, less that of 1949 December 31, 0h. The lunar-solar terms of
    // high orbits are sensitive to that rounding (its last bit moves them by
    // millimetres), so the epoch is formed exactly so.
    const double epoch_1950 = (elements.epoch_jd1 + elements.epoch_jd2) - 2433281.5;
    s.gst0 = greenwich_sidereal_angle(epoch_1950);

    if (kTwoPi / n0 >= kDeepSpacePeriod) {
        s.deep_space = 1.0;
        s.simple_drag = 1.0;
        initialise_deep_space(s, epoch_1950);
    } else if (s.simple_drag == 0.0) {
        // Higher powers of t in the drag terms of the full near-Earth theory.
        const double c1sq = c1 * c1;
        s.d2 = 4.0 * a0 * xi * c1sq;
        const double temp = s.d2 * xi * c1 / 3.0;
        s.d3 = (17.0 * a0 + s_param) * temp;
        s.d4 = 0.5 * temp * a0 * xi * (221.0 * a0 + 31.0 * s_param) * c1;
        s.l3 = s.d2 + 2.0 * c1sq;
        s.l4 = 0.25 * (3.0 * s.d3 + c1 * (12.0 * s.d2 + 10.0 * c1sq));
        s.l5 = 0.2 * (3.0 * s.d4 + 12.0 * c1 * s.d3 + 6.0 * s.d2 * s.d2 + 15.0 * c1sq * (2.0 * s.d2 + c1sq));
    }
    return s;
}

}  // namespace orbivane::sgp4
