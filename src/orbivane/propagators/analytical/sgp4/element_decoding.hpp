// Decoding the two lines of a two-line element set into an ElementSet.
//
// Columns are read where the format puts them, each field by its own
// fixed-column reader. Every line must hold columns 1 to 68 (trailing
// white space aside); the checksum in column 69 is optional, and anything
// after column 69 is ignored. Refused in any mode: a field that cannot be
// read, a wrong line number, catalogue numbers that differ between the
// lines, a line too short for its fields, an eccentricity outside [0, 1)
// and a mean motion not above zero. Strict decoding also checks both
// checksums, the fixed blanks and decimal points of the format and the
// angle ranges.
#pragma once

#include "element_set.hpp"

#include <string>
#include <string_view>

namespace orbivane::sgp4 {

// What was wrong, and where: columns are 1-based and inclusive.
struct DecodeError {
    int line = 0;
    int first_column = 0;
    int last_column = 0;
    const char* field = "";
    std::string text;     // the text found in those columns
    std::string problem;  // what is wrong with it, e.g. "is not a number"
};

// "line 2, columns 27-33 (eccentricity): '00067A3' is not a number"
std::string describe(const DecodeError& error);

// The text between single quotes, with the escapes Python's repr uses:
// "'98067a'", "'\\x00'".
std::string quoted_text(std::string_view text);

// Decodes the two lines (ASCII text, line terminators allowed) into `out`.
// Returns false, with `error` filled and `out` partly written, when the
// lines are refused.
bool decode_element_lines(std::string_view line1, std::string_view line2, bool strict, ElementSet& out,
                          DecodeError& error);

}  // namespace orbivane::sgp4
