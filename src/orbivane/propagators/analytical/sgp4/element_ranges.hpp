// The value ranges of element-set fields, shared by the text decoder and the
// field-by-field constructor. Written so that NaN is never in range.
#pragma once

#include "calendar.hpp"

#include <cmath>
#include <cstdint>

namespace orbivane::sgp4 {

// Catalogue numbers that two-line text can carry: five digits, or Alpha-5
// (a letter for the two leading digits) up to Z9999.
inline constexpr std::int64_t kMaxTextCatalogueNumber = 339999;
// Catalogue numbers an element set may hold: nine digits.
inline constexpr std::int64_t kMaxCatalogueNumber = 999999999;

// Epochs that calendar text can write, years 0000 to 9999: the Julian date
// of the epoch day's 0h lies between those of 0000-01-01 and 9999-12-31.
inline constexpr double kFirstEpochDay = calendar::jd_of_day_start(0, 1, 1);
inline constexpr double kLastEpochDay = calendar::jd_of_day_start(9999, 12, 31);

inline bool epoch_day_in_range(double jd1) { return jd1 >= kFirstEpochDay && jd1 <= kLastEpochDay; }
inline bool eccentricity_in_range(double e) { return e >= 0.0 && e < 1.0; }
inline bool mean_motion_in_range(double n) { return n > 0.0 && std::isfinite(n); }
// Strict validation only: inclination in [0, 180] degrees, the other
// angles in [0, 360).
inline bool inclination_in_range(double degrees) { return degrees >= 0.0 && degrees <= 180.0; }
inline bool angle_in_range(double degrees) { return degrees >= 0.0 && degrees < 360.0; }

}  // namespace orbivane::sgp4
