// Element sets and the records of an Orbit Mean-elements Message: the
// fields of one record (as a JSON object, a CSV row, or a KVN or XML
// message gives them) to Elements, and Elements to the fields a record
// is written with.
#pragma once

#include "elements.hpp"

#include <string>

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

// A record refused, with what is wrong: "ECCENTRICITY: '0.0006A' is not a
// number", "EPOCH is missing".
struct RecordRefused {
    std::string message;
};

// The Elements of one record, whose values are given by key (borrowed;
// nullptr when the record has no such key). A value is a str, or a JSON
// number; None, and a str of blanks, count as absent. Refused with
// RecordRefused: a value that is not of its field's form, a required
// field (NORAD_CAT_ID, EPOCH and the six mean elements) absent, metadata
// that makes the elements something other than SGP4 elements in TEME about
// the Earth with a UTC epoch, and whatever the keyword constructor refuses.
nanobind::object elements_of_record(PyObject* const (&values)[kOmmKeys]);

// The values of the written keys for one element set: str for names,
// designators, EPOCH ("2008-09-20T12:25:40.104192", to the microsecond,
// no zone suffix) and CLASSIFICATION_TYPE; int and float otherwise.
// OBJECT_NAME and OBJECT_ID are "" when there are none.
nanobind::tuple record_of(const Elements& elements);

}  // namespace orbivane::sgp4
