// What the files that make Times from their forms share (forms.cpp,
// text_forms.cpp, range.cpp).
#pragma once

#include "time_object.hpp"

namespace orbivane::time {

enum class Format { none, jd, mjd, unix, iso, year, datetime };

inline bool is_numeric(Format f) { return f == Format::jd || f == Format::mjd || f == Format::unix; }

inline const char* format_text(Format f) {
    switch (f) {
        case Format::jd: return "jd";
        case Format::mjd: return "mjd";
        case Format::unix: return "unix";
        case Format::iso: return "iso";
        case Format::year: return "year";
        case Format::datetime: return "datetime";
        default: return "none";
    }
}

// A text in a scale: a year of one to four digits, or ISO 8601 (zoned text
// only in UTC). `argument` names it in errors ("val" or "val[3]").
int pair_of_text(PyObject* text, Format f, Scale scale, const char* argument, Pair* out);

// One item of any form but numbers: a text or a datetime; -1 with an error
// that names `argument`.
int pair_of_item(PyObject* v, Format f, Scale scale, const char* argument, Pair* out);

}  // namespace orbivane::time
