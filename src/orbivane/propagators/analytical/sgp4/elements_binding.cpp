// Python face of the element-set type: construction from text, from a TLE
// and from named fields; read-only fields; repr, equality, hashing and
// pickling.
#include "bindings.hpp"
#include "element_fields.hpp"
#include "elements.hpp"

#include <nanobind/stl/string.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace nb = nanobind;
using namespace nanobind::literals;

namespace orbivane::sgp4 {

namespace {

// The module users import the type from; pickles name it there.
constexpr const char* kPublicModule = "orbivane.propagators.analytical.sgp4.elements";

// copyreg.__newobj__, kept for the life of the process.
PyObject* newobj = nullptr;

nb::object object_id_of(const ElementSet& s) { return s.object_id[0] ? nb::object(nb::str(s.object_id)) : nb::none(); }

EpochParts epoch_of(const ElementSet& s) { return {s.epoch_jd1, s.epoch_jd2}; }

bool operator==(const Elements& a, const Elements& b) {
    const ElementSet& x = a.set;
    const ElementSet& y = b.set;
    return x.norad_cat_id == y.norad_cat_id && x.classification_type == y.classification_type &&
           std::strcmp(x.object_id, y.object_id) == 0 && x.epoch_jd1 == y.epoch_jd1 && x.epoch_jd2 == y.epoch_jd2 &&
           x.mean_motion_dot == y.mean_motion_dot && x.mean_motion_ddot == y.mean_motion_ddot &&
           x.bstar == y.bstar && x.ephemeris_type == y.ephemeris_type && x.element_set_no == y.element_set_no &&
           x.inclination == y.inclination && x.ra_of_asc_node == y.ra_of_asc_node &&
           x.eccentricity == y.eccentricity && x.arg_of_pericenter == y.arg_of_pericenter &&
           x.mean_anomaly == y.mean_anomaly && x.mean_motion == y.mean_motion && x.rev_at_epoch == y.rev_at_epoch &&
           a.object_name.equal(b.object_name);
}

// A hash of the identifying fields, equal for equal objects (a zero of
// either sign hashes as +0.0).
Py_hash_t hash_of(const Elements& e) {
    const ElementSet& s = e.set;
    std::uint64_t h = static_cast<std::uint64_t>(s.norad_cat_id);
    for (const double d : {s.epoch_jd1, s.epoch_jd2, s.mean_motion, s.eccentricity, s.inclination})
        h = (h ^ std::bit_cast<std::uint64_t>(d + 0.0)) * 0x100000001b3ULL;
    return static_cast<Py_hash_t>(h >> 1);
}

std::string repr_of(const Elements& e) {
    const ElementSet& s = e.set;
    std::string r = "Elements(norad_cat_id=" + std::to_string(s.norad_cat_id);
    if (!e.object_name.is_none()) r += std::string(", object_name=") + nb::repr(e.object_name).c_str();
    if (s.object_id[0]) r += std::string(", object_id='") + s.object_id + "'";
    return r + ", epoch='" + iso_text_ms(epoch_of(s)) + "')";
}

// The state a pickle keeps: every field, the epoch as its two parts.
nb::tuple state_of(const Elements& e) {
    const ElementSet& s = e.set;
    return nb::make_tuple(s.norad_cat_id, nb::str(&s.classification_type, 1), object_id_of(s), s.epoch_jd1,
                          s.epoch_jd2, s.mean_motion_dot, s.mean_motion_ddot, s.bstar, s.ephemeris_type,
                          s.element_set_no, s.inclination, s.ra_of_asc_node, s.eccentricity, s.arg_of_pericenter,
                          s.mean_anomaly, s.mean_motion, s.rev_at_epoch, e.object_name);
}

Elements elements_of_state(const nb::tuple& state) {
    if (state.size() != 18) throw nb::type_error("an Elements state is a tuple of 18 fields");
    FieldValues v;
    v.norad_cat_id = int_of(state[0]);
    v.classification_type = state[1];
    v.object_id = state[2];
    const double jd1 = float_of(state[3]);
    const double jd2 = float_of(state[4]);
    if (!std::isfinite(jd1) || !std::isfinite(jd2) || jd1 - std::floor(jd1) != 0.5 || !(jd2 >= 0.0 && jd2 < 1.0))
        throw nb::value_error("the epoch of an Elements state is a day's 0h and a fraction in [0, 1)");
    v.epoch = {jd1, jd2};
    v.mean_motion_dot = float_of(state[5]);
    v.mean_motion_ddot = float_of(state[6]);
    v.bstar = float_of(state[7]);
    v.ephemeris_type = int_of(state[8]);
    v.element_set_no = int_of(state[9]);
    v.inclination = float_of(state[10]);
    v.ra_of_asc_node = float_of(state[11]);
    v.eccentricity = float_of(state[12]);
    v.arg_of_pericenter = float_of(state[13]);
    v.mean_anomaly = float_of(state[14]);
    v.mean_motion = float_of(state[15]);
    v.rev_at_epoch = int_of(state[16]);
    v.object_name = state[17];
    return elements_of(v);
}

constexpr const char* kClassDoc = R"(One element set: every field of a two-line element set, decoded and checked.

Fields are read-only and named as in an Orbit Mean-elements Message
(lower-cased), in its units. Make one with Elements.from_lines(line1, line2),
Elements.from_tle(tle) or Elements(**fields) with the field names as keywords.
Elements compare equal when all their fields are equal, hash, and pickle.)";

constexpr const char* kInitDoc = R"(Elements from named fields, as an Orbit Mean-elements Message gives them.

epoch is a UTC Time or ISO text, "2008-09-20T12:25:40.104192" (or
"2008-264T12:25:40.104192"), read exactly. Angles are in degrees, the mean
motion in revolutions a day. Refused with ValueError: an epoch outside the
years 0000 to 9999, an eccentricity outside [0, 1), a mean motion not above
zero, a value that is not finite, a count out of its range (norad_cat_id up to
nine digits) and, with strict=True, an angle out of its range (inclination in
[0, 180], the others in [0, 360)).)";

constexpr const char* kFromLinesDoc = R"(Decodes the two lines of a two-line element set.

Columns are those of the format; line terminators and anything after
column 69 are ignored. ValueError names the line, the columns, the field and
the text refused. strict=True also checks both checksums, the blanks and
decimal points of the format, and the angle ranges.)";

constexpr const char* kFromTleDoc = R"(Decodes the lines of a TLE, strictly when the TLE was made with
strict_validation true.)";

}  // namespace

void bind_elements(nb::module_& m) {
    import_element_sources();
    newobj = nb::object(nb::module_::import_("copyreg").attr("__newobj__")).release().ptr();

    nb::class_<Elements> cls(m, "Elements", nb::is_final(), kClassDoc);
    cls.attr("__module__") = kPublicModule;

    cls.def_static(
           "from_lines",
           [](nb::str line1, nb::str line2, bool strict) { return Elements{decoded_lines(line1, line2, strict), nb::none()}; },
           "line1"_a, "line2"_a, nb::kw_only(), "strict"_a = false, kFromLinesDoc)
        .def_static("from_tle", [](nb::handle tle) { return Elements{decoded_tle(tle), nb::none()}; }, "tle"_a,
                    nb::sig("@staticmethod\ndef from_tle(tle: orbivane.propagators.analytical.sgp4.tle.TLE) -> "
                            "orbivane.propagators.analytical.sgp4.elements.Elements"),
                    kFromTleDoc);

    cls.def(
        "__init__",
        [](Elements* self, std::int64_t norad_cat_id, nb::handle epoch, double mean_motion, double eccentricity,
           double inclination, double ra_of_asc_node, double arg_of_pericenter, double mean_anomaly, double bstar,
           double mean_motion_dot, double mean_motion_ddot, nb::handle object_name, nb::handle object_id,
           nb::handle classification_type, std::int64_t ephemeris_type, std::int64_t element_set_no,
           std::int64_t rev_at_epoch, bool strict) {
            FieldValues v;
            v.norad_cat_id = norad_cat_id;
            v.epoch = epoch_parts_of(epoch, "epoch");
            v.mean_motion = mean_motion;
            v.eccentricity = eccentricity;
            v.inclination = inclination;
            v.ra_of_asc_node = ra_of_asc_node;
            v.arg_of_pericenter = arg_of_pericenter;
            v.mean_anomaly = mean_anomaly;
            v.bstar = bstar;
            v.mean_motion_dot = mean_motion_dot;
            v.mean_motion_ddot = mean_motion_ddot;
            v.object_name = object_name;
            v.object_id = object_id;
            v.classification_type = classification_type;
            v.ephemeris_type = ephemeris_type;
            v.element_set_no = element_set_no;
            v.rev_at_epoch = rev_at_epoch;
            v.strict = strict;
            new (self) Elements(elements_of(v));
        },
        nb::kw_only(), "norad_cat_id"_a, "epoch"_a, "mean_motion"_a, "eccentricity"_a, "inclination"_a,
        "ra_of_asc_node"_a, "arg_of_pericenter"_a, "mean_anomaly"_a, "bstar"_a = 0.0, "mean_motion_dot"_a = 0.0,
        "mean_motion_ddot"_a = 0.0, "object_name"_a = nb::none(), "object_id"_a = nb::none(),
        "classification_type"_a = "U", "ephemeris_type"_a = 0, "element_set_no"_a = 0, "rev_at_epoch"_a = 0,
        "strict"_a = false,
        nb::sig("def __init__(self, *, norad_cat_id: int, epoch: orbivane.time.time.Time | str, mean_motion: float, "
                "eccentricity: float, inclination: float, ra_of_asc_node: float, arg_of_pericenter: float, "
                "mean_anomaly: float, bstar: float = 0.0, mean_motion_dot: float = 0.0, "
                "mean_motion_ddot: float = 0.0, object_name: str | None = None, object_id: str | None = None, "
                "classification_type: str = 'U', ephemeris_type: int = 0, element_set_no: int = 0, "
                "rev_at_epoch: int = 0, strict: bool = False) -> None"),
        kInitDoc);

    // Fields, as read-only properties.
    cls.def_prop_ro("norad_cat_id", [](const Elements& e) { return e.set.norad_cat_id; },
                    "Catalogue number (int; Alpha-5 text decoded, A0000 is 100000).")
        .def_prop_ro("classification_type", [](const Elements& e) { return nb::str(&e.set.classification_type, 1); },
                     "Classification letter: 'U' unclassified, 'C' classified, 'S' secret.")
        .def_prop_ro("object_id", [](const Elements& e) { return object_id_of(e.set); },
                     "International designator, as '1998-067A'; None when the text leaves it blank.")
        .def_prop_ro("object_name", [](const Elements& e) { return e.object_name; },
                     "Name of the object (str), or None when not given.")
        .def_prop_ro("epoch", [](const Elements& e) { return epoch_time(epoch_of(e.set)); },
                     "Epoch of the elements, a Time in scale UTC.")
        .def_prop_ro("epoch_jd1", [](const Elements& e) { return e.set.epoch_jd1; },
                     "Julian date (UTC) of 0h of the epoch's day: a whole number plus one half.")
        .def_prop_ro("epoch_jd2", [](const Elements& e) { return e.set.epoch_jd2; },
                     "Fraction of the epoch's day in [0, 1), correctly rounded from the text's digits.")
        .def_prop_ro("mean_motion_dot", [](const Elements& e) { return e.set.mean_motion_dot; },
                     "First time derivative of the mean motion over 2, in rev/day^2, as the text gives it.")
        .def_prop_ro("mean_motion_ddot", [](const Elements& e) { return e.set.mean_motion_ddot; },
                     "Second time derivative of the mean motion over 6, in rev/day^3, as the text gives it.")
        .def_prop_ro("bstar", [](const Elements& e) { return e.set.bstar; },
                     "Drag term B*, in 1/earth radii.")
        .def_prop_ro("ephemeris_type", [](const Elements& e) { return e.set.ephemeris_type; },
                     "Ephemeris type (int, 0 to 9; 0 for element sets meant for SGP4/SDP4).")
        .def_prop_ro("element_set_no", [](const Elements& e) { return e.set.element_set_no; },
                     "Element set number (int, 0 to 9999).")
        .def_prop_ro("inclination", [](const Elements& e) { return e.set.inclination; },
                     "Inclination, in degrees.")
        .def_prop_ro("ra_of_asc_node", [](const Elements& e) { return e.set.ra_of_asc_node; },
                     "Right ascension of the ascending node, in degrees.")
        .def_prop_ro("eccentricity", [](const Elements& e) { return e.set.eccentricity; },
                     "Eccentricity, in [0, 1).")
        .def_prop_ro("arg_of_pericenter", [](const Elements& e) { return e.set.arg_of_pericenter; },
                     "Argument of perigee, in degrees.")
        .def_prop_ro("mean_anomaly", [](const Elements& e) { return e.set.mean_anomaly; },
                     "Mean anomaly, in degrees.")
        .def_prop_ro("mean_motion", [](const Elements& e) { return e.set.mean_motion; },
                     "Mean motion, in revolutions a day.")
        .def_prop_ro("rev_at_epoch", [](const Elements& e) { return e.set.rev_at_epoch; },
                     "Revolution number at epoch (int).");

    cls.def("__repr__", &repr_of)
        .def(
            "__eq__", [](const Elements& a, const Elements& b) { return a == b; }, nb::is_operator())
        .def(
            "__ne__", [](const Elements& a, const Elements& b) { return !(a == b); }, nb::is_operator())
        .def("__hash__", &hash_of)
        .def("__reduce__",
             [](const Elements& e) {
                 return nb::make_tuple(nb::handle(newobj), nb::make_tuple(nb::type<Elements>()), state_of(e));
             })
        .def("__setstate__",
             [](Elements& self, const nb::tuple& state) { new (&self) Elements(elements_of_state(state)); });
}

}  // namespace orbivane::sgp4
