// The decoded fields of one element set, as the model and the element-set
// type share them. Names and units follow the Orbit Mean-elements Message.
#pragma once

#include <cstdint>

namespace orbivane::sgp4 {

struct ElementSet {
    std::int64_t norad_cat_id = 0;      // up to nine digits
    char classification_type = 'U';    // 'U', 'C' or 'S' (or another letter as given)
    char object_id[16] = {};           // international designator, e.g. "1998-067A"; "" when blank
    // The epoch, UTC, as a two-part Julian date: epoch_jd1 is the Julian date
    // of the epoch day's 0h (a whole number plus one half), epoch_jd2 the
    // fraction of that day, decoded from the text's digits.
    double epoch_jd1 = 0.0;
    double epoch_jd2 = 0.0;
    double mean_motion_dot = 0.0;      // rev/day^2, as the text gives it (first derivative / 2)
    double mean_motion_ddot = 0.0;     // rev/day^3, as the text gives it (second derivative / 6)
    double bstar = 0.0;                // 1/earth radii
    int ephemeris_type = 0;
    int element_set_no = 0;
    double inclination = 0.0;          // deg
    double ra_of_asc_node = 0.0;       // deg
    double eccentricity = 0.0;
    double arg_of_pericenter = 0.0;    // deg
    double mean_anomaly = 0.0;         // deg
    double mean_motion = 0.0;          // rev/day
    std::int64_t rev_at_epoch = 0;
};

}  // namespace orbivane::sgp4
