// Elements from named fields, checked as decoding checks text.
#pragma once

#include "elements.hpp"

#include <cstdint>

namespace orbivane::sgp4 {

// The fields as given, before any check. The epoch is already in parts.
struct FieldValues {
    std::int64_t norad_cat_id = 0;
    nanobind::handle classification_type;  // a one-letter str
    nanobind::handle object_id;            // None or a str such as "1998-067A"
    EpochParts epoch;
    double mean_motion_dot = 0.0;
    double mean_motion_ddot = 0.0;
    double bstar = 0.0;
    std::int64_t ephemeris_type = 0;
    std::int64_t element_set_no = 0;
    double inclination = 0.0;
    double ra_of_asc_node = 0.0;
    double eccentricity = 0.0;
    double arg_of_pericenter = 0.0;
    double mean_anomaly = 0.0;
    double mean_motion = 0.0;
    std::int64_t rev_at_epoch = 0;
    nanobind::handle object_name;  // None or a str
    bool strict = false;           // also check the angle ranges
};

// The checked Elements: TypeError for a field of the wrong type, ValueError
// for a value out of its range, naming the field and the value.
Elements elements_of(const FieldValues& values);

}  // namespace orbivane::sgp4
