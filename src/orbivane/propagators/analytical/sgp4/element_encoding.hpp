// Writing an element set as the two lines of a two-line element set: the
// inverse of decoding, to the precision the columns carry.
//
// Each field is rounded to the digits of its columns (the epoch to 1e-8
// of a day, angles to 1e-4 degree, the exponent fields to five digits);
// decoding the lines gives back the rounded values, the revolution number
// modulo 100000 (the format keeps five digits and wraps). Catalogue numbers
// from 100000 to 339999 are written in Alpha-5. Refused: a catalogue number
// above 339999, an epoch or launch year outside 1957-2056, and a value
// that does not fit its columns once rounded.
#pragma once

#include "element_set.hpp"

#include <cstdint>
#include <string>

namespace orbivane::sgp4 {

// Columns 1-69 of each line, then a NUL.
struct ElementLines {
    char line1[70];
    char line2[70];
};

// The catalogue number in columns 3-7: five digits, or Alpha-5 from
// 100000 (A0000) to 339999 (Z9999). Returns false above that.
bool catalogue_number_text(std::int64_t number, char (&out)[6]);

// Writes the lines; returns an empty string, or what cannot be written:
// "norad_cat_id 400000 is above 339999 (Z9999), the last number two-line
// text can carry".
std::string encode_element_lines(const ElementSet& set, ElementLines& out);

}  // namespace orbivane::sgp4
