// Epochs of element sets as two-part Julian dates (UTC), read from and
// written to text without passing through one large Julian date.
#pragma once

#include <string>
#include <string_view>

namespace orbivane::sgp4 {

// jd1 is the Julian date of the epoch day's 0h (a whole number plus one
// half), jd2 the fraction of that day, in [0, 1).
struct EpochParts {
    double jd1 = 0.0;
    double jd2 = 0.0;
};

// Reads an epoch in the calendar form "YYYY-MM-DDTHH:MM:SS[.f...]" or the
// ordinal form "YYYY-DDDTHH:MM:SS[.f...]", optionally ending in "Z", with
// up to 11 decimals of a second. The day fraction is the correctly rounded
// quotient of the exact time of day and the length of the day. Returns an
// empty string on success, otherwise what is wrong with the text.
std::string parse_iso_epoch(std::string_view text, EpochParts& out);

// The epoch as calendar text to the nearest millisecond,
// "2008-09-20T12:25:40.104".
std::string iso_text_ms(EpochParts epoch);

}  // namespace orbivane::sgp4
