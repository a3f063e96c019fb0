// Initialisation of the model: from one element set to the record of
// constants that propagation reads. Scalar code, run once a satellite.
#pragma once

#include "element_set.hpp"
#include "sgp4_gravity.hpp"
#include "sgp4_satellite.hpp"

namespace orbivane::sgp4 {

// The record of one satellite. Never fails: elements that the model cannot
// propagate give a record whose epoch_code is the error code that
// propagation then reports at every time (1: eccentricity outside [0, 1),
// 2: mean motion not above zero).
Satellite<double> initialise(const ElementSet& elements, Gravity gravity, Mode mode);

// The deep-space part: the lunar-solar secular rates and periodic
// coefficients, and the resonance terms. Reads the near-Earth part of sat,
// which initialise() has filled. days_1950 is the epoch in days since
// 1949 December 31, 0h (Julian date 2433281.5).
void initialise_deep_space(Satellite<double>& sat, double days_1950);

// Greenwich sidereal angle (radians, in [0, 2 pi)) at a UT1 instant given
// in days since 1949 December 31, 0h. Both operation modes use this series,
// as the revised model does.
double greenwich_sidereal_angle(double days_1950);

}  // namespace orbivane::sgp4
