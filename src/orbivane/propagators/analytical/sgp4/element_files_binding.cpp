// Python face of element-set files, one call per file: a catalogue text to
// Elements, Elements to catalogue text, OMM records to Elements and
// Elements to the fields of OMM records. The public readers and writers
// (element_files.py, omm.py) find and parse the files and call these.
#include "bindings.hpp"
#include "catalogue_text.hpp"
#include "element_decoding.hpp"
#include "element_encoding.hpp"
#include "elements.hpp"
#include "omm_records.hpp"

#include <nanobind/stl/string.h>

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

// The values of one record by key: borrowed from a dict, or from a row
// whose columns the header names.
void values_of_dict(PyObject* record, PyObject* (&values)[kOmmKeys]) {
    for (int k = 0; k < kOmmKeys; ++k) {
        values[k] = PyDict_GetItemWithError(record, omm_keys[k]);
        if (!values[k] && PyErr_Occurred()) throw nb::python_error();
    }
}

nb::tuple read_omm_records(nb::handle records, nb::handle header, const std::string& source, bool skip) {
    // Columns of the header's keys, when the records are rows.
    Py_ssize_t columns[kOmmKeys];
    std::fill(std::begin(columns), std::end(columns), -1);
    Py_ssize_t width = 0;
    if (!header.is_none()) {
        for (nb::handle name : nb::cast<nb::list>(header)) {
            std::string_view key;
            if (PyUnicode_Check(name.ptr())) {
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
                if (!data) throw nb::python_error();
                key = {data, static_cast<std::size_t>(size)};
            }
            while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
            while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
            for (int k = 0; k < kOmmKeys; ++k)
                if (key == kOmmKeyNames[k] && columns[k] < 0) columns[k] = width;
            ++width;
        }
    }
    const nb::list items = nb::cast<nb::list>(records);
    Reading reading(skip);
    PyObject* values[kOmmKeys];
    const Py_ssize_t count = static_cast<Py_ssize_t>(items.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i % static_cast<Py_ssize_t>(kChunk) == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        const int number = static_cast<int>(i + 1);
        const std::string where = source + ", record " + std::to_string(number) + ": ";
        if (PyUnicode_Check(item)) {  // a record the caller refused already
            reading.refuse(number, where + nb::borrow<nb::str>(item).c_str());
            continue;
        }
        try {
            if (header.is_none()) {
                if (!PyDict_Check(item))
                    throw RecordRefused{std::string("is not an object of OMM fields, but '") + Py_TYPE(item)->tp_name +
                                        "'"};
                values_of_dict(item, values);
            } else {
                const Py_ssize_t n = PyList_Check(item) ? PyList_GET_SIZE(item) : -1;
                if (n != width)
                    throw RecordRefused{"has " + std::to_string(n) + " values for the header's " +
                                        std::to_string(width) + " columns"};
                for (int k = 0; k < kOmmKeys; ++k) values[k] = columns[k] < 0 ? nullptr : PyList_GET_ITEM(item, columns[k]);
            }
            reading.add(elements_of_record(values));
        } catch (const RecordRefused& refused) {
            reading.refuse(number, where + refused.message);
        }
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
    m.def("_read_omm_records", &read_omm_records, "records"_a, "header"_a.none(), "source"_a, "skip"_a,
          "(elements, skipped) of OMM records: a list of dicts (header None) or of rows named by the header's "
          "keys; a str in the list is a record refused already, with that message.");
    m.def("_omm_values", &omm_values, "elements"_a,
          "The values of the keys _OMM_KEYS for each element set, as a list of tuples.");
}

}  // namespace orbivane::sgp4
