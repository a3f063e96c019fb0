// Element sets and the records of an Orbit Mean-elements Message: the
// fields of one record (as a JSON object, a CSV row, or a KVN or XML
// message gives them) to Elements, and Elements to the fields a record
// is written with.
#pragma once

#include "elements.hpp"

#include <array>
#include <string>
#include <string_view>

namespace orbivane::sgp4 {

// The OMM keys read, in the order records are written (the first
// kWrittenKeys), then the metadata that is checked but not kept.
enum OmmKey : int {
    kObjectName, kObjectId, kEpoch, kMeanMotion, kEccentricity, kInclination, kRaOfAscNode,
    kArgOfPericenter, kMeanAnomaly, kEphemerisType, kClassificationType, kNoradCatId, kElementSetNo,
    kRevAtEpoch, kBstar, kMeanMotionDot, kMeanMotionDdot,
    kWrittenKeys,
    kCenterName = kWrittenKeys, kRefFrame, kTimeSystem, kMeanElementTheory,
    kOmmKeys
};

// "OBJECT_NAME", ..., by OmmKey.
extern const char* const kOmmKeyNames[kOmmKeys];

// The OmmKey of a key's text, or -1 for keys not read.
int omm_key_of(std::string_view key);

// One field's value as a record writes it: text (a JSON number is text
// too; blanks around it removed, and blank text is absent), or some other
// value, which no field takes (a JSON true, array or object, a Python
// list): its text is then what messages show.
struct FieldValue {
    enum class Kind : unsigned char { kAbsent, kText, kOther };
    Kind kind = Kind::kAbsent;
    std::string_view text;
};
using RecordValues = std::array<FieldValue, kOmmKeys>;

// The value of a Python object: None is absent, a str (UTF-8, kept alive by
// the caller) and an int or float (written by repr into `scratch`) are
// text, anything else is other (its repr in `scratch`).
FieldValue value_of_object(PyObject* value, std::string& scratch);

// A record refused, with what is wrong: "ECCENTRICITY: '0.0006A' is not a
// number", "EPOCH is missing".
struct RecordRefused {
    std::string message;
};

// The Elements of one record. Refused with RecordRefused: a value that is
// not of its field's form, a required field (NORAD_CAT_ID, EPOCH and the
// six mean elements) absent, metadata that makes the elements something
// other than SGP4 elements in TEME about the Earth with a UTC epoch, and
// whatever the keyword constructor refuses.
nanobind::object elements_of_record(const RecordValues& values);

// The values of the written keys for one element set: str for names,
// designators, EPOCH ("2008-09-20T12:25:40.104192", to the microsecond,
// no zone suffix) and CLASSIFICATION_TYPE; int and float otherwise.
// OBJECT_NAME and OBJECT_ID are "" when there are none.
nanobind::tuple record_of(const Elements& elements);

}  // namespace orbivane::sgp4
