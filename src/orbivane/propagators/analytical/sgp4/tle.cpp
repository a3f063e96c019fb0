// orbivane.propagators.analytical.sgp4.tle: one two-line element set.
//
// TLE normalises both lines into fixed-width buffers inside its record and
// decodes the satellite number and the epoch from line 1. Compiled modules
// use the record and its one-slot method table directly (tle.h), so the
// layout, the table and the unnamed "__pyx_vtable__" capsule are fixed.
#include "capi_support.hpp"
#include "tle.h"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <locale.h>

// Set by a host program that embeds the interpreter before the module is
// initialised; the module then runs as __main__. The module never writes it.
extern "C" {
__attribute__((visibility("default"))) int __pyx_module_is_main_orbivane__propagators__analytical__sgp4__tle = 0;
}

namespace {

using orbivane::CodeSite;
using orbivane::ExecResult;
using orbivane::Immortal;
using orbivane::ProfiledCall;
using orbivane::Ref;

constexpr const char* kSource = "orbivane/propagators/analytical/sgp4/tle";
constexpr const char* kQualified = "orbivane.propagators.analytical.sgp4.tle.TLE";

orbivane::ModuleState module_state{
    "tle", "orbivane.propagators.analytical.sgp4.tle", kSource,
    "init orbivane.propagators.analytical.sgp4.tle"};

// Code sites: profiler frames carry the short names, traceback entries the
// qualified ones. Lines follow the order of the type's members.
CodeSite prof_init{"PyInit_tle", kSource, 1};
CodeSite prof_cinit{"__cinit__", kSource, 30};
CodeSite prof_parse{"parse_line1", kSource, 60};
CodeSite prof_line1{"__get__", kSource, 100};
CodeSite prof_line2{"__get__", kSource, 105};
CodeSite prof_satno{"__get__", kSource, 110};
CodeSite prof_epoch{"__get__", kSource, 120};
CodeSite prof_reduce{"__reduce__", kSource, 130};
CodeSite prof_setstate{"__setstate__", kSource, 135};
CodeSite tb_cinit{"orbivane.propagators.analytical.sgp4.tle.TLE.__cinit__", kSource, 30};
CodeSite tb_parse{"orbivane.propagators.analytical.sgp4.tle.TLE.parse_line1", kSource, 60};
CodeSite tb_line1{"orbivane.propagators.analytical.sgp4.tle.TLE.line1.__get__", kSource, 100};
CodeSite tb_line2{"orbivane.propagators.analytical.sgp4.tle.TLE.line2.__get__", kSource, 105};
CodeSite tb_satno{"orbivane.propagators.analytical.sgp4.tle.TLE.satno.__get__", kSource, 110};
CodeSite tb_epoch{"orbivane.propagators.analytical.sgp4.tle.TLE.epoch.__get__", kSource, 120};
CodeSite tb_reduce{"orbivane.propagators.analytical.sgp4.tle.TLE.__reduce__", kSource, 130};
CodeSite tb_setstate{"orbivane.propagators.analytical.sgp4.tle.TLE.__setstate__", kSource, 135};

// Constants made once, at the first execution of the module.
struct Constants {
    PyObject* line1;
    PyObject* line2;
    PyObject* strict_validation;
    PyObject* pyx_state;
    PyObject* jd;
    PyObject* format;
    PyObject* strip;
    PyObject* upper;
    PyObject* one;             // the float 1.0
    PyObject* format_kwnames;  // ("format",)
} k;

// Types bound at initialisation, for the life of the process.
Immortal bound_types[17];
Immortal time_type;  // orbivane.time.time.Time, called by parse_line1

orbivane_TLE_vtable TLE_vtable;
PyTypeObject TLE_Type;

orbivane_TLE* as_tle(PyObject* o) { return reinterpret_cast<orbivane_TLE*>(o); }

void add_traceback(CodeSite& site) { orbivane::add_traceback(site, module_state.dict); }

// ---------------------------------------------------------------------------
// Normalisation and storage
// ---------------------------------------------------------------------------

// The characters that str.strip() removes from an ASCII string.
constexpr bool is_ascii_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
}

// Copies at most n bytes, stopping at a NUL, zero-fills the rest of the n
// bytes and puts a NUL after them: dst must hold n + 1 bytes.
void copy_field(char* dst, const char* src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i]; ++i) dst[i] = src[i];
    std::memset(dst + i, 0, n + 1 - i);
}

// Strips, upper-cases and ASCII-encodes one line into a 70-byte buffer.
// ASCII text, the usual case, is handled in place; anything else goes
// through str.strip(), str.upper() and the strict ASCII codec, so that
// Unicode whitespace and full Unicode case mapping apply.
int store_line(PyObject* line, char (&out)[70]) {
    constexpr size_t kMax = sizeof out - 1;
    if (PyUnicode_IS_ASCII(line)) {
        const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(line));
        size_t begin = 0, end = static_cast<size_t>(PyUnicode_GET_LENGTH(line));
        while (begin < end && is_ascii_space(s[begin])) ++begin;
        while (end > begin && is_ascii_space(s[end - 1])) --end;
        size_t n = end - begin < kMax ? end - begin : kMax;
        if (const void* nul = std::memchr(s + begin, 0, n)) n = static_cast<size_t>(static_cast<const unsigned char*>(nul) - (s + begin));
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = s[begin + i];
            out[i] = static_cast<char>(c - (static_cast<unsigned char>(c - 'a') < 26u ? 'a' - 'A' : 0));
        }
        std::memset(out + n, 0, sizeof out - n);
        return 0;
    }
    Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(line, k.strip));
    if (!stripped) return -1;
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(stripped.get(), k.upper));
    if (!upper) return -1;
    Ref bytes = Ref::steal(PyUnicode_AsASCIIString(upper.get()));
    if (!bytes) return -1;
    const char* s = PyBytes_AS_STRING(bytes.get());
    const size_t len = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()));
    size_t n = 0;
    for (; n < kMax && n < len && s[n]; ++n) out[n] = s[n];
    std::memset(out + n, 0, sizeof out - n);
    return 0;
}

// ---------------------------------------------------------------------------
// Line-1 decoding
// ---------------------------------------------------------------------------

// The blanks that strtod skips in the "C" locale: isspace() there is the
// six characters below, without the separators 0x1C to 0x1F that
// str.strip() also removes.
constexpr bool is_c_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// strtod in the "C" locale, whatever locale the process runs in. Plain
// decimals of at most 15 digits, the usual day field, take an exact short
// cut: both the digits as an integer (< 2^53) and the power of ten (<= 1e22)
// are exact doubles, so their correctly rounded quotient is the correctly
// rounded value that strtod returns. The short cut skips exactly the blanks
// that strtod skips, so both paths read every text alike.
double c_strtod(const char* s) {
    static const double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = s;
    while (is_c_space(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int64_t digits = 0;
    int count = 0, fraction = 0;
    bool point = false;
    for (;; ++p) {
        if (*p >= '0' && *p <= '9') {
            digits = digits * 10 + (*p - '0');
            ++count;
            fraction += point;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    const bool exponent_or_hex = *p == 'e' || *p == 'E' || *p == 'x' || *p == 'X';
    if (count > 0 && count <= 15 && !exponent_or_hex) {
        const double value = static_cast<double>(digits) / powers_of_ten[fraction];
        return negative ? -value : value;
    }
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c_locale ? strtod_l(s, nullptr, c_locale) : std::strtod(s, nullptr);
}

// Python's number protocol, with the float case done inline.
PyObject* subtract_one(PyObject* jd) {
    if (PyFloat_CheckExact(jd)) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(jd) - 1.0);
    return PyNumber_Subtract(jd, k.one);
}

PyObject* add_day(PyObject* base, double day) {
    if (PyFloat_CheckExact(base)) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(base) + day);
    Ref d = Ref::steal(PyFloat_FromDouble(day));
    return d ? PyNumber_Add(base, d.get()) : nullptr;
}

// Builds the epoch Time from the year and day columns; null on failure.
PyObject* build_epoch(const char* year_text, double epoch_day) {
    // TLE is registered, and so reachable (through sys.modules from an
    // import hook, or through object.__subclasses__() after a failed
    // import), before Time is bound.
    PyObject* time = time_type.get();
    if (!time) {
        PyErr_SetString(PyExc_ImportError,
                        "orbivane.propagators.analytical.sgp4.tle is not fully initialised "
                        "(Time is not bound)");
        return nullptr;
    }
    Ref year = Ref::steal(PyUnicode_DecodeASCII(year_text, static_cast<Py_ssize_t>(std::strlen(year_text)), nullptr));
    if (!year) return nullptr;
    Ref jd;
    {
        PyObject* args[] = {year.get()};
        Ref start = Ref::steal(PyObject_Vectorcall(time, args, 1, nullptr));
        if (!start) return nullptr;
        jd = Ref::steal(PyObject_GetAttr(start.get(), k.jd));
        if (!jd) return nullptr;
    }
    Ref base = Ref::steal(subtract_one(jd.get()));
    if (!base) return nullptr;
    Ref value = Ref::steal(add_day(base.get(), epoch_day));
    if (!value) return nullptr;
    PyObject* args[] = {value.get(), k.jd};
    return PyObject_Vectorcall(time, args, 1, k.format_kwnames);
}

void parse_line1(orbivane_TLE* self) {
    ProfiledCall prof;
    if (prof.enter(prof_parse, module_state.dict) < 0) {
        add_traceback(tb_parse);
        return;
    }
    const char* line = self->_line1;
    copy_field(self->_satno, line + 2, 5);

    char epoch_year_char[3];
    copy_field(epoch_year_char, line + 18, 2);
    const int epoch_year = std::atoi(epoch_year_char);
    const int full_year = epoch_year < 57 ? epoch_year + 2000 : epoch_year + 1900;
    // Two columns read by atoi give -9 to 99, so the full year always has
    // four digits (1957 to 2056) and fills the 5-byte text exactly.
    char epoch_year_char_formatted[5];
    for (int i = 3, y = full_year; i >= 0; --i, y /= 10) epoch_year_char_formatted[i] = static_cast<char>('0' + y % 10);
    epoch_year_char_formatted[4] = '\0';

    char epoch_day_char[13];
    copy_field(epoch_day_char, line + 20, 12);
    const double epoch_day = c_strtod(epoch_day_char);

    PyObject* epoch = build_epoch(epoch_year_char_formatted, epoch_day);
    if (!epoch) {
        prof.leave(nullptr);
        add_traceback(tb_parse);
        return;
    }
    Py_SETREF(self->epoch, epoch);
    prof.leave(Py_None);
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

// Binds and checks the arguments, stores both lines and decodes line 1.
int tle_cinit(orbivane_TLE* self, PyObject* args, PyObject* kwds) {
    PyObject* names[] = {k.line1, k.line2, k.strict_validation};
    PyObject* values[3];
    const orbivane::Signature sig{"__cinit__", names, 3, 2};
    if (orbivane::bind_arguments(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                                 orbivane::Keywords::from_dict(kwds), values) < 0) {
        add_traceback(tb_cinit);
        return -1;
    }
    int strict = 0;
    if (values[2] && (strict = PyObject_IsTrue(values[2])) < 0) {
        add_traceback(tb_cinit);
        return -1;
    }
    if (!PyUnicode_CheckExact(values[0])) {
        orbivane::raise_argument_type("line1", "str", values[0]);
        return -1;
    }
    if (!PyUnicode_CheckExact(values[1])) {
        orbivane::raise_argument_type("line2", "str", values[1]);
        return -1;
    }

    ProfiledCall prof;
    if (prof.enter(prof_cinit, module_state.dict) < 0 || store_line(values[0], self->_line1) < 0 ||
        store_line(values[1], self->_line2) < 0) {
        prof.leave(nullptr);
        add_traceback(tb_cinit);
        return -1;
    }
    self->strict_validation = strict;
    // TLE_new pointed the record at TLE's own table, so creation always
    // decodes with TLE's parse_line1, whatever the record's actual type.
    self->vtab->parse_line1(self);
    if (PyErr_Occurred()) {
        prof.leave(nullptr);
        add_traceback(tb_cinit);
        return -1;
    }
    prof.leave(Py_None);
    return 0;
}

PyObject* TLE_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    orbivane_TLE* t = as_tle(self.get());
    t->vtab = &TLE_vtable;
    t->epoch = Py_NewRef(Py_None);
    if (tle_cinit(t, args, kwds) < 0) return nullptr;
    return self.release();
}

int TLE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_tle(self)->epoch);
    return 0;
}

int TLE_clear(PyObject* self) {
    Py_SETREF(as_tle(self)->epoch, Py_NewRef(Py_None));
    return 0;
}

void TLE_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_tle(self)->epoch);
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// Properties and pickling
// ---------------------------------------------------------------------------

// Runs a Python-visible body between the profiler's call and return events
// and appends its traceback entry when it fails.
template <class Body>
PyObject* profiled(CodeSite& prof_site, CodeSite& tb_site, Body&& body) {
    ProfiledCall prof;
    PyObject* result = prof.enter(prof_site, module_state.dict) < 0 ? nullptr : body();
    prof.leave(result);
    if (!result) add_traceback(tb_site);
    return result;
}

// The text of a NUL-padded buffer, decoded as strict ASCII.
PyObject* buffer_text(const char* buf, size_t size) {
    const size_t n = strnlen(buf, size);
    if (n == 0) return PyUnicode_New(0, 0);
    return PyUnicode_DecodeASCII(buf, static_cast<Py_ssize_t>(n), nullptr);
}

PyObject* TLE_get_line1(PyObject* self, void*) {
    return profiled(prof_line1, tb_line1, [&] { return buffer_text(as_tle(self)->_line1, 70); });
}

PyObject* TLE_get_line2(PyObject* self, void*) {
    return profiled(prof_line2, tb_line2, [&] { return buffer_text(as_tle(self)->_line2, 70); });
}

// The satellite number as an int when int() accepts the stripped text,
// otherwise the stripped text itself.
PyObject* satno_value(orbivane_TLE* self) {
    Ref text = Ref::steal(buffer_text(self->_satno, 6));
    if (!text) return nullptr;
    const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(text.get()));
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text.get());
    while (begin < end && is_ascii_space(s[begin])) ++begin;
    while (end > begin && is_ascii_space(s[end - 1])) --end;
    Ref stripped = Ref::steal(PyUnicode_Substring(text.get(), begin, end));
    if (!stripped) return nullptr;
    PyObject* number = PyLong_FromUnicodeObject(stripped.get(), 10);
    if (number) return number;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyErr_Clear();
    return stripped.release();
}

PyObject* TLE_get_satno(PyObject* self, void*) {
    return profiled(prof_satno, tb_satno, [&] { return satno_value(as_tle(self)); });
}

PyObject* TLE_get_epoch(PyObject* self, void*) {
    return profiled(prof_epoch, tb_epoch, [&] { return Py_NewRef(as_tle(self)->epoch); });
}

PyObject* refuse_pickling() {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* TLE_reduce(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return profiled(prof_reduce, tb_reduce, [&]() -> PyObject* {
        if (nargs > 0) {
            orbivane::raise_argtuple_invalid("__reduce__", true, 0, 0, nargs);
            return nullptr;
        }
        if (orbivane::reject_keywords("__reduce__", orbivane::Keywords::from_vectorcall(kwnames, nullptr)) < 0)
            return nullptr;
        return refuse_pickling();
    });
}

PyObject* TLE_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return profiled(prof_setstate, tb_setstate, [&]() -> PyObject* {
        PyObject* names[] = {k.pyx_state};
        PyObject* state;
        const orbivane::Signature sig{"__setstate__", names, 1, 1};
        if (orbivane::bind_arguments(sig, args, nargs,
                                     orbivane::Keywords::from_vectorcall(kwnames, args + nargs), &state) < 0)
            return nullptr;
        return refuse_pickling();
    });
}

PyGetSetDef TLE_getset[] = {
    {"line1", TLE_get_line1, nullptr, "TLE.line1: str", nullptr},
    {"line2", TLE_get_line2, nullptr, "TLE.line2: str", nullptr},
    {"satno", TLE_get_satno, nullptr, "TLE.satno: int | str", nullptr},
    {"epoch", TLE_get_epoch, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Both refuse: a TLE is neither pickled nor copied. object.__reduce_ex__
// defers to an overriding __reduce__, so every protocol and the copy module
// end up here.
PyMethodDef TLE_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(TLE_reduce)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(TLE_setstate)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module initialisation
// ---------------------------------------------------------------------------

// All or nothing: the constants are stored only once every one exists, and
// a failed attempt drops what it made, so the next exec starts over. TLE is
// registered after this step, so no TLE code runs without them.
int make_constants() {
    if (k.line1) return 0;
    Constants c{};
    if (!(c.line1 = orbivane::intern("line1")) || !(c.line2 = orbivane::intern("line2")) ||
        !(c.strict_validation = orbivane::intern("strict_validation")) ||
        !(c.pyx_state = orbivane::intern("__pyx_state")) || !(c.jd = orbivane::intern("jd")) ||
        !(c.format = orbivane::intern("format")) || !(c.strip = orbivane::intern("strip")) ||
        !(c.upper = orbivane::intern("upper")) || !(c.one = PyFloat_FromDouble(1.0)) ||
        !(c.format_kwnames = PyTuple_Pack(1, c.format))) {
        for (PyObject* made : {c.line1, c.line2, c.strict_validation, c.pyx_state, c.jd, c.format,
                               c.strip, c.upper, c.one, c.format_kwnames})
            Py_XDECREF(made);
        return -1;
    }
    k = c;
    return 0;
}

int register_tle(PyObject* module) {
    TLE_vtable.parse_line1 = parse_line1;
    if (!(TLE_Type.tp_flags & Py_TPFLAGS_READY)) {
        TLE_Type.tp_name = kQualified;
        TLE_Type.tp_basicsize = sizeof(orbivane_TLE);
        TLE_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        TLE_Type.tp_new = TLE_new;
        TLE_Type.tp_dealloc = TLE_dealloc;
        TLE_Type.tp_traverse = TLE_traverse;
        TLE_Type.tp_clear = TLE_clear;
        TLE_Type.tp_getset = TLE_getset;
        TLE_Type.tp_methods = TLE_methods;
        if (PyType_Ready(&TLE_Type) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(&TLE_vtable, nullptr, nullptr));
    if (!capsule || PyDict_SetItemString(TLE_Type.tp_dict, "__pyx_vtable__", capsule.get()) < 0)
        return -1;
    PyType_Modified(&TLE_Type);
    return PyModule_AddObjectRef(module, "TLE", reinterpret_cast<PyObject*>(&TLE_Type));
}

enum class SizeCheck { warn_if_larger, accept_larger };

// Binds module.name as a type no smaller than the record we were built with.
int bind_type(Immortal& slot, PyObject* module, const char* module_name, const char* name,
              Py_ssize_t expected, SizeCheck check) {
    Ref attr = Ref::steal(PyObject_GetAttrString(module, name));
    if (!attr) return -1;
    if (!PyType_Check(attr.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name);
        return -1;
    }
    const auto* type = reinterpret_cast<PyTypeObject*>(attr.get());
    const Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item && item < 8) item = 8;
    if (basic + item < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                     "from C header, got %zd from PyObject",
                     module_name, name, expected, basic + item);
        return -1;
    }
    if (check == SizeCheck::warn_if_larger && basic > expected) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                      "from C header, got %zd from PyObject",
                      module_name, name, expected, basic);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return -1;
    }
    slot.set(attr.release());
    return 0;
}

// The instance record of orbivane.time.time.Time that we are built against.
struct TimeRecord {
    PyObject_HEAD
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    Py_ssize_t length;
    PyObject* _scale;
    int _is_scalar;
    struct {
        PyObject* memview;
        char* data;
        Py_ssize_t shape[8], strides[8], suboffsets[8];
    } _jd12;
};

int bind_external_types() {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || bind_type(bound_types[0], builtins.get(), "builtins", "type",
                               sizeof(PyHeapTypeObject), SizeCheck::warn_if_larger) < 0)
        return -1;
    builtins.reset();

    struct NumpyType {
        const char* name;
        Py_ssize_t size;
        SizeCheck check;
    };
    constexpr auto W = SizeCheck::warn_if_larger;
    constexpr auto A = SizeCheck::accept_larger;
    const NumpyType numpy_types[] = {
        {"dtype", sizeof(PyArray_Descr), A},
        {"flatiter", sizeof(PyArrayIterObject), A},
        {"broadcast", sizeof(PyArrayMultiIterObject), A},
        {"ndarray", sizeof(PyArrayObject_fields), A},
        {"generic", sizeof(PyObject), W},
        {"number", sizeof(PyObject), W},
        {"integer", sizeof(PyObject), W},
        {"signedinteger", sizeof(PyObject), W},
        {"unsignedinteger", sizeof(PyObject), W},
        {"inexact", sizeof(PyObject), W},
        {"floating", sizeof(PyObject), W},
        {"complexfloating", sizeof(PyObject), W},
        {"flexible", sizeof(PyObject), W},
        {"character", sizeof(PyObject), W},
        {"ufunc", sizeof(PyUFuncObject), A},
    };
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (size_t i = 0; i < std::size(numpy_types); ++i) {
        const NumpyType& t = numpy_types[i];
        if (bind_type(bound_types[i + 1], numpy.get(), "numpy", t.name, t.size, t.check) < 0) return -1;
    }
    numpy.reset();

    Ref time_module = Ref::steal(PyImport_ImportModule("orbivane.time.time"));
    if (!time_module) return -1;
    return bind_type(time_type, time_module.get(), "orbivane.time.time", "Time", sizeof(TimeRecord),
                     SizeCheck::warn_if_larger);
}

ExecResult exec_steps(PyObject* module) {
    if (orbivane::exec_bind_instance(module, module_state) < 0 ||
        orbivane::exec_check_version(module_state) < 0 || make_constants() < 0)
        return ExecResult::failed_without_entry();
    if (__pyx_module_is_main_orbivane__propagators__analytical__sgp4__tle) {
        Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
        if (!main_name || PyObject_SetAttrString(module, "__name__", main_name.get()) < 0)
            return ExecResult::failed_at(1);
    }
    if (orbivane::exec_register_in_sys_modules(module, module_state) < 0 || register_tle(module) < 0 ||
        bind_external_types() < 0)
        return ExecResult::failed_at(1);

    ProfiledCall prof;
    if (prof.enter(prof_init, module_state.dict) < 0) return ExecResult::failed_at(1);
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) {
        prof.leave(Py_None);
        return ExecResult::failed_at(1);
    }
    prof.leave(Py_None);
    return ExecResult::ok();
}

PyObject* tle_create(PyObject* spec, PyModuleDef*) { return orbivane::create_module(spec, module_state); }

int tle_exec(PyObject* module) {
    return orbivane::exec_module(module, module_state, [&] { return exec_steps(module); });
}

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(tle_create)},
    {Py_mod_exec, reinterpret_cast<void*>(tle_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tle", "\nWritten by the orbivane developers.\n", 0, module_methods,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tle(void) { return PyModuleDef_Init(&module_def); }
