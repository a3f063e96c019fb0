// Python face of element-set files, one call per file: a catalogue text to
// Elements, Elements to catalogue text, OMM records to Elements and
// Elements to the fields of OMM records. The public readers and writers
// (_two_line.py, _omm.py) find and parse the files and call these.
#include "bindings.hpp"
#include "catalogue_text.hpp"
#include "element_decoding.hpp"
#include "element_encoding.hpp"
#include "elements.hpp"
#include "omm_parsers.hpp"
#include "omm_records.hpp"
#include "omm_xml.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <cstring>
#include <optional>

namespace nb = nanobind;
using namespace nanobind::literals;

namespace orbivane::sgp4 {

namespace {

// Records decoded between two looks at the interpreter (Ctrl-C, object
// creation): a few milliseconds of work.
constexpr std::size_t kChunk = 4096;

// OMM keys as interned str, made once and kept for the life of the
// process (the module is never unloaded).
PyObject* omm_keys[kOmmKeys] = {};

nb::str text_of_message(const std::string& message) {
    return nb::steal<nb::str>(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
}

// The outcome of a reader: the element sets, and the records left out.
class Reading {
public:
    explicit Reading(bool skip) : skip_(skip) {}

    void add(nb::object elements) { elements_.append(std::move(elements)); }

    // Raises ValueError, or (skipping) notes the record and goes on.
    void refuse(int record, const std::string& message) {
        if (!skip_) throw nb::value_error(text_of_message(message).c_str());
        skipped_.append(nb::make_tuple(record, text_of_message(message)));
    }

    nb::tuple result() const { return nb::make_tuple(elements_, skipped_); }

private:
    bool skip_;
    nb::list elements_;
    nb::list skipped_;
};

std::string_view bytes_of(nb::handle text) {
    if (PyBytes_Check(text.ptr()))
        return {PyBytes_AS_STRING(text.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(text.ptr()))};
    if (!PyUnicode_Check(text.ptr()))
        throw nb::type_error(("text must be str or bytes, not '" + std::string(Py_TYPE(text.ptr())->tp_name) + "'")
                                 .c_str());
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

nb::tuple read_two_line_text(nb::handle text, const std::string& source, bool strict, bool skip) {
    // The text is immutable and kept alive by the caller, so it is read
    // without the interpreter's lock.
    const std::string_view data = bytes_of(text);
    std::optional<CatalogueText> catalogue;
    {
        nb::gil_scoped_release unlocked;
        catalogue.emplace(data);
    }
    Reading reading(skip);
    std::vector<CatalogueRecord> records;
    records.reserve(kChunk);
    for (bool more = true; more;) {
        {
            nb::gil_scoped_release unlocked;
            more = catalogue->read(kChunk, strict, records);
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        for (const CatalogueRecord& r : records) {
            if (!r.error.empty()) {
                reading.refuse(r.number, source + ", " + r.error);
                continue;
            }
            nb::object name = nb::none();
            if (r.has_name) {
                PyObject* s = PyUnicode_DecodeUTF8(r.name.data(), static_cast<Py_ssize_t>(r.name.size()), nullptr);
                if (!s) {
                    PyErr_Clear();
                    reading.refuse(r.number, source + ", line " + std::to_string(r.first_line) + ": " +
                                                 quoted_text(r.name) + " is not UTF-8 text");
                    continue;
                }
                name = nb::steal(s);
            }
            reading.add(nb::cast(Elements{r.set, std::move(name)}));
        }
    }
    return reading.result();
}

const Elements& elements_at(nb::handle item, std::size_t index) {
    if (!nb::isinstance<Elements>(item) || !nb::inst_ready(item))
        throw nb::type_error(("element set " + std::to_string(index) + " is not an Elements, but '" +
                              Py_TYPE(item.ptr())->tp_name + "'")
                                 .c_str());
    return *nb::inst_ptr<Elements>(item);
}

// The name line of an element set: its name, with "0 " put before a name
// that starts as a line of the set would ("1 ", "2 ") or as the "0 NAME"
// form does, so that reading keeps it whole.
std::string name_line(const Elements& e, std::size_t index) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(e.object_name.ptr(), &size);
    if (!name) throw nb::python_error();
    const std::string_view text(name, static_cast<std::size_t>(size));
    if (text.find_first_of("\r\n") != std::string_view::npos)
        throw nb::value_error(("element set " + std::to_string(index) + ": object_name " + quoted_text(text) +
                               " holds a line break, which a name line cannot")
                                  .c_str());
    const bool numbered = !text.empty() && text[0] >= '0' && text[0] <= '2' && (text.size() == 1 || text[1] == ' ');
    return numbered ? "0 " + std::string(text) : std::string(text);
}

nb::str two_line_text(nb::iterable elements) {
    std::string text;
    std::size_t index = 0;
    for (nb::handle item : elements) {
        const Elements& e = elements_at(item, ++index);
        if (!e.object_name.is_none() && PyUnicode_GET_LENGTH(e.object_name.ptr()) > 0)
            text += name_line(e, index) + "\n";
        ElementLines lines;
        const std::string problem = encode_element_lines(e.set, lines);
        if (!problem.empty())
            throw nb::value_error(("element set " + std::to_string(index) + ": " + problem).c_str());
        text.append(lines.line1, 69).append("\n").append(lines.line2, 69).append("\n");
    }
    return text_of_message(text);
}

// The Elements of record `number`, or its refusal, in `reading`.
void read_record(const RecordValues& values, const std::string& refusal, int number, const std::string& source,
                 Reading& reading) {
    try {
        if (!refusal.empty()) throw RecordRefused{refusal};
        reading.add(elements_of_record(values));
    } catch (const RecordRefused& refused) {
        reading.refuse(number, source + ", record " + std::to_string(number) + ": " + refused.message);
    }
}

// The Elements of records parsed from a file, or the file's refusal when
// `problem` is not empty.
nb::tuple read_parsed(const ParsedRecords& parsed, const std::string& problem, const std::string& source,
                      bool skip) {
    if (!problem.empty()) throw nb::value_error(text_of_message(source + ": " + problem).c_str());
    Reading reading(skip);
    for (std::size_t i = 0; i < parsed.values.size(); ++i) {
        if (i % kChunk == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
        read_record(parsed.values[i], parsed.refusals[i], static_cast<int>(i + 1), source, reading);
    }
    return reading.result();
}

nb::tuple read_omm_text(nb::handle text, const std::string& format, const std::string& source, bool skip) {
    const std::string_view data = bytes_of(text);
    ParsedRecords parsed;
    std::string problem;
    {
        nb::gil_scoped_release unlocked;
        problem = format == "json" ? parse_omm_json(data, parsed) : parse_omm_csv(data, parsed);
    }
    return read_parsed(parsed, problem, source, skip);
}

// The table of pyexpat's capsule, or nullptr when the capsule is not one
// of the version laid out in pyexpat_capi.hpp.
const expat::CApi* expat_of(nb::handle capsule) {
    if (!PyCapsule_IsValid(capsule.ptr(), expat::kCapsuleName)) return nullptr;
    const auto* api = static_cast<const expat::CApi*>(PyCapsule_GetPointer(capsule.ptr(), expat::kCapsuleName));
    const bool usable = api && api->magic && std::strcmp(api->magic, expat::kMagic) == 0 &&
                        api->size >= static_cast<int>(sizeof(expat::CApi)) && api->major_version == 2;
    return usable ? api : nullptr;
}

// The document is parsed without the interpreter's lock, a piece at a
// time; the records then become Elements as those of JSON and CSV do.
nb::tuple read_omm_xml_text(nb::handle text, const std::string& source, bool skip, nb::handle capsule) {
    const expat::CApi* expat = expat_of(capsule);
    if (!expat) throw nb::type_error("capsule must be pyexpat.expat_CAPI of version 1.1, for expat 2");
    const std::string_view data = bytes_of(text);
    ParsedRecords parsed;
    std::string problem;
    {
        OmmXmlReader reader(*expat, data, PyUnicode_Check(text.ptr()), parsed);
        for (bool more = true; more;) {
            {
                nb::gil_scoped_release unlocked;
                more = reader.read_piece();
            }
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
        }
        problem = reader.problem();
    }
    return read_parsed(parsed, problem, source, skip);
}

// Records as Python gives them: dicts of OMM keys, or, for a record the
// caller refused already, the message (a str).
nb::tuple read_omm_records(nb::handle records, const std::string& source, bool skip) {
    std::array<std::string, kOmmKeys> scratch;  // the text of values that are no str
    Reading reading(skip);
    int number = 0;
    for (nb::handle item : nb::cast<nb::list>(records)) {
        if (++number % static_cast<int>(kChunk) == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
        RecordValues values;
        std::string refusal;
        if (PyUnicode_Check(item.ptr())) {
            refusal = nb::borrow<nb::str>(item).c_str();
        } else if (!PyDict_Check(item.ptr())) {
            refusal = std::string("is not a mapping of OMM fields, but '") + Py_TYPE(item.ptr())->tp_name + "'";
        } else {
            for (std::size_t k = 0; k < kOmmKeys; ++k) {
                PyObject* value = PyDict_GetItemWithError(item.ptr(), omm_keys[k]);
                if (!value && PyErr_Occurred()) throw nb::python_error();
                if (value) values[k] = value_of_object(value, scratch[k]);
            }
        }
        read_record(values, refusal, number, source, reading);
    }
    return reading.result();
}

// The values of an OMM message as ElementTree builds it: the text of each
// leaf element whose name (its namespace aside) is an OMM key.
class XmlMessage {
public:
    // Attribute names, interned once for the life of the process.
    static inline PyObject* tag_name = nullptr;
    static inline PyObject* text_name = nullptr;

    void collect(PyObject* element, int depth) {
        const Py_ssize_t children = PySequence_Size(element);
        if (children < 0) throw nb::python_error();
        if (children > 0) {
            if (depth > 16) throw RecordRefused{"has elements nested deeper than an OMM's"};
            for (Py_ssize_t i = 0; i < children; ++i) {
                const nb::object child = nb::steal(PySequence_GetItem(element, i));
                if (!child) throw nb::python_error();
                collect(child.ptr(), depth + 1);
            }
            return;
        }
        const nb::object tag = nb::steal(PyObject_GetAttr(element, tag_name));
        if (!tag) throw nb::python_error();
        if (!PyUnicode_Check(tag.ptr())) return;  // a comment or processing instruction
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(tag.ptr(), &size);
        if (!data) throw nb::python_error();
        std::string_view name(data, static_cast<std::size_t>(size));
        if (const std::size_t brace = name.rfind('}'); brace != std::string_view::npos) name.remove_prefix(brace + 1);
        const int k = omm_key_of(name);
        if (k < 0) return;
        const auto key = static_cast<std::size_t>(k);
        texts_[key] = nb::steal(PyObject_GetAttr(element, text_name));
        if (!texts_[key]) throw nb::python_error();
        values[key] = value_of_object(texts_[key].ptr(), scratch_[key]);
    }

    RecordValues values;

private:
    std::array<nb::object, kOmmKeys> texts_;  // keep the values' text alive
    std::array<std::string, kOmmKeys> scratch_;
};

nb::tuple read_omm_xml(nb::handle messages, const std::string& source, bool skip) {
    Reading reading(skip);
    int number = 0;
    for (nb::handle message : nb::cast<nb::list>(messages)) {
        if (++number % static_cast<int>(kChunk) == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
        XmlMessage fields;
        std::string refusal;
        try {
            fields.collect(message.ptr(), 0);
        } catch (const RecordRefused& refused) {
            refusal = refused.message;
        }
        read_record(fields.values, refusal, number, source, reading);
    }
    return reading.result();
}

nb::list omm_values(nb::iterable elements) {
    nb::list records;
    std::size_t index = 0;
    for (nb::handle item : elements) records.append(record_of(elements_at(item, ++index)));
    return records;
}

}  // namespace

void bind_element_files(nb::module_& m) {
    for (int k = 0; k < kOmmKeys; ++k) {
        omm_keys[k] = PyUnicode_InternFromString(kOmmKeyNames[k]);
        if (!omm_keys[k]) throw nb::python_error();
    }
    nb::list written;
    for (int k = 0; k < kWrittenKeys; ++k) written.append(nb::handle(omm_keys[k]));
    m.attr("_OMM_KEYS") = nb::tuple(written);

    m.def("_read_two_line_text", &read_two_line_text, "text"_a, "source"_a, "strict"_a, "skip"_a,
          "(elements, skipped) of a catalogue text (str or bytes); messages start with source.");
    m.def("_two_line_text", &two_line_text, "elements"_a,
          "Catalogue text of the element sets: a name line where object_name is set, then the two lines.");
    m.def("_read_omm_text", &read_omm_text, "text"_a, "format"_a, "source"_a, "skip"_a,
          "(elements, skipped) of OMM text (str or bytes) in format 'json' or 'csv'.");
    m.def("_read_omm_records", &read_omm_records, "records"_a, "source"_a, "skip"_a,
          "(elements, skipped) of OMM records: dicts of OMM keys; a str in the list is a record refused already, "
          "with that message.");
    XmlMessage::tag_name = PyUnicode_InternFromString("tag");
    XmlMessage::text_name = PyUnicode_InternFromString("text");
    if (!XmlMessage::tag_name || !XmlMessage::text_name) throw nb::python_error();
    m.def("_read_omm_xml", &read_omm_xml, "messages"_a, "source"_a, "skip"_a,
          "(elements, skipped) of the omm elements of an ElementTree.");
    m.def("_expat_usable", [](nb::handle capsule) { return expat_of(capsule) != nullptr; }, "capsule"_a,
          "Whether the capsule is pyexpat's table of expat's entry points, of the version this module drives.");
    m.def("_read_omm_xml_text", &read_omm_xml_text, "text"_a, "source"_a, "skip"_a, "capsule"_a,
          "(elements, skipped) of an OMM document in XML (str or bytes), parsed by the expat of the capsule "
          "pyexpat.expat_CAPI.");
    m.def("_omm_values", &omm_values, "elements"_a,
          "The values of the keys _OMM_KEYS for each element set, as a list of tuples.");
}

}  // namespace orbivane::sgp4
