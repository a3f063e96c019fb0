// The Earth models that SGP4/SDP4 can run with, and the operation modes.
//
// The model works in its own units: lengths in Earth radii, time in
// minutes. ke is sqrt(mu) in those units, so that a mean motion n (rad/min)
// and a semimajor axis a (Earth radii) satisfy n^2 a^3 = ke^2.
#pragma once

#include <cmath>

namespace orbivane::sgp4 {

enum class Gravity { wgs72old, wgs72, wgs84 };

// "improved" is the revised model; "afspc" reproduces the original
// operational handling of the node in the Lyddane form of the lunar-solar
// periodics (kept in [0, 2 pi) before and after it is perturbed).
enum class Mode { improved, afspc };

struct GravityConstants {
    double mu;          // km^3/s^2
    double radius;      // equatorial radius, km
    double ke;          // sqrt(mu), Earth radii^1.5 per minute
    double j2, j3, j4;  // zonal harmonics
    double j3_over_j2;
};

inline GravityConstants gravity_constants(Gravity g) {
    // ke of the old WGS-72 model is the rounded figure that the original
    // program used; the other two derive it from mu and the radius.
    auto derived_ke = [](double mu, double radius) {
        return 60.0 / std::sqrt(radius * radius * radius / mu);
    };
    switch (g) {
        case Gravity::wgs72old: {
            const double j2 = 0.001082616, j3 = -0.00000253881;
            return {398600.79964, 6378.135, 0.0743669161, j2, j3, -0.00000165597, j3 / j2};
        }
        case Gravity::wgs84: {
            const double j2 = 0.00108262998905, j3 = -0.00000253215306;
            return {398600.5, 6378.137, derived_ke(398600.5, 6378.137), j2, j3, -0.00000161098761, j3 / j2};
        }
        case Gravity::wgs72:
        default: {
            const double j2 = 0.001082616, j3 = -0.00000253881;
            return {398600.8, 6378.135, derived_ke(398600.8, 6378.135), j2, j3, -0.00000165597, j3 / j2};
        }
    }
}

}  // namespace orbivane::sgp4
