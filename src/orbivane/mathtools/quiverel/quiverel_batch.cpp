// orbivane.mathtools.quiverel.quiverel: the batch kernels norm_array and
// normalize_array.
//
// A batch kernel reads the rows of a strided view, allocates its result with
// numpy.zeros (the module global `numpy`, looked up at every call, as Python
// code would), checks that the buffer it got can take the result, and runs
// the row loops of quiverel_rows.cpp into it. The result record holds one
// acquisition of the module's view owner, which keeps the array alive.
#include "quiverel_module.hpp"
#include "quiverel_rows.hpp"
#include "view_owner.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace orbivane::quiverel {
namespace {

using orbivane::CodeSite;
using orbivane::ProfiledCall;
using orbivane::Ref;

// ---------------------------------------------------------------------------
// View owner: orbivane.mathtools.quiverel.quiverel.memoryview
// ---------------------------------------------------------------------------

// The buffer request of a result view: strides, writability, item format.
constexpr int kResultFlags = PyBUF_STRIDES | PyBUF_WRITABLE | PyBUF_FORMAT;

orbivane::view_owner::OwnerType owner_type{"orbivane.mathtools.quiverel.quiverel.memoryview"};

// ---------------------------------------------------------------------------
// Batch kernels
// ---------------------------------------------------------------------------

struct Constants {
    PyObject* numpy;
    PyObject* zeros;
    PyObject* double_;
    PyObject* three;
    PyObject* zeros_kwnames;  // ("shape", "dtype")
} k;  // made by make_batch_constants

// The profile hook's code objects, each taking the one argument `a`.
CodeSite prof_norm_array{"norm_array", kSource, 41};
CodeSite prof_normalize_array{"normalize_array", kSource, 67};

int make_profile_code(CodeSite& site) {
    if (site.code) return 0;
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.file, site.name, site.line)));
    if (!empty) return -1;
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return -1;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:(s)}", "co_argcount", 1, "co_nlocals", 1,
                                          "co_varnames", "a"));
    if (!kwargs) return -1;
    Ref args = Ref::steal(PyTuple_New(0));
    if (!args) return -1;
    PyObject* code = PyObject_Call(replace.get(), args.get(), kwargs.get());
    if (!code) return -1;
    site.code = reinterpret_cast<PyCodeObject*>(code);
    return 0;
}

// The module global `numpy`: the module's dictionary first, then the
// builtins. The object found in the dictionary is kept for as long as the
// dictionary's version tag says that it is unchanged.
struct {
    uint64_t version = 0;
    PyObject* value = nullptr;
} numpy_global;

PyObject* lookup_numpy() {
    PyObject* dict = module_state.dict;
    const uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (numpy_global.value && numpy_global.version == version) return Py_NewRef(numpy_global.value);
    if (PyObject* found = PyDict_GetItemWithError(dict, k.numpy)) {
        Py_XSETREF(numpy_global.value, Py_NewRef(found));
        numpy_global.version = version;
        return Py_NewRef(found);
    }
    if (PyErr_Occurred()) return nullptr;
    Py_CLEAR(numpy_global.value);
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins) return nullptr;
    PyObject* found = PyObject_GetAttr(builtins, k.numpy);
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", k.numpy);
    }
    return found;
}

struct BatchSites {
    const char* name;
    CodeSite& profile;
    CodeSite tb_entry;  // the profile function failed on the call event
    CodeSite tb_setup;  // input checks and the result allocation
    CodeSite tb_row;    // a kernel of a row failed
    int result_ndim;
};

BatchSites norm_array_sites{"norm_array", prof_norm_array,
                            {"orbivane.mathtools.quiverel.quiverel.norm_array", kSource, 41},
                            {"orbivane.mathtools.quiverel.quiverel.norm_array", kSource, 46},
                            {"orbivane.mathtools.quiverel.quiverel.norm_array", kSource, 53},
                            1};
BatchSites normalize_array_sites{"normalize_array", prof_normalize_array,
                                 {"orbivane.mathtools.quiverel.quiverel.normalize_array", kSource, 67},
                                 {"orbivane.mathtools.quiverel.quiverel.normalize_array", kSource, 72},
                                 {"orbivane.mathtools.quiverel.quiverel.normalize_array", kSource, 79},
                                 2};

// Rows are read through the input's own strides; a row needs three direct
// columns. Nothing is checked for an empty input (a record for None included).
int check_input(const orbivane_memviewslice& a, const char* name) {
    if (a.shape[0] <= 0) return 0;
    if (a.shape[1] < 3) {
        PyErr_Format(PyExc_ValueError, "%s() needs rows of at least 3 columns, got %zd columns", name,
                     a.shape[1]);
        return -1;
    }
    for (int d = 0; d < 2; ++d) {
        if (a.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "%s() needs a direct view, but input dimension %d is indirect "
                         "(suboffsets[%d] = %zd)",
                         name, d, d, a.suboffsets[d]);
            return -1;
        }
    }
    return 0;
}

// A shape of one or two dimensions as Python writes it: "(4,)", "(4, 3)".
void format_shape(char* out, std::size_t size, int ndim, Py_ssize_t rows, Py_ssize_t columns) {
    if (ndim == 1)
        std::snprintf(out, size, "(%zd,)", rows);
    else
        std::snprintf(out, size, "(%zd, %zd)", rows, columns);
}

// Whether the buffer of what numpy.zeros returned can take the result of n
// rows: doubles in exactly the result's shape, writable and direct. The row
// loops write through the buffer's own strides, whatever they are. Returns
// 0, or -1 with ValueError: `numpy` is looked up at every call, and may name
// any object by now.
int check_result_buffer(const Py_buffer& buf, int ndim, Py_ssize_t n) {
    const char* mismatch = nullptr;
    if (buf.ndim != ndim)
        mismatch = "number of dimensions";
    else if (buf.itemsize != sizeof(double) || !buf.format ||
             (std::strcmp(buf.format, "d") != 0 && std::strcmp(buf.format, "@d") != 0 &&
              std::strcmp(buf.format, "=d") != 0 && std::strcmp(buf.format, "<d") != 0))
        mismatch = "item type";
    if (mismatch) {
        PyErr_Format(PyExc_ValueError,
                     "numpy.zeros returned a buffer of the wrong %s (expected %d dimension%s of "
                     "double, got %d of format '%s' and item size %zd)",
                     mismatch, ndim, ndim == 1 ? "" : "s", buf.ndim, buf.format ? buf.format : "B",
                     buf.itemsize);
        return -1;
    }
    if (!buf.shape || !buf.strides) {
        PyErr_SetString(PyExc_ValueError, "numpy.zeros returned a buffer without shape or strides");
        return -1;
    }
    if (buf.shape[0] != n || (ndim == 2 && buf.shape[1] != 3)) {
        char expected[48], got[48];
        format_shape(expected, sizeof expected, ndim, n, 3);
        format_shape(got, sizeof got, ndim, buf.shape[0], ndim == 2 ? buf.shape[1] : 0);
        PyErr_Format(PyExc_ValueError, "numpy.zeros returned a buffer of the wrong shape (expected %s, got %s)",
                     expected, got);
        return -1;
    }
    if (buf.readonly) {
        PyErr_SetString(PyExc_ValueError, "numpy.zeros returned a read-only buffer");
        return -1;
    }
    if (buf.suboffsets) {
        for (int d = 0; d < ndim; ++d) {
            if (buf.suboffsets[d] >= 0) {
                PyErr_SetString(PyExc_ValueError, "numpy.zeros returned an indirect buffer");
                return -1;
            }
        }
    }
    return 0;
}

// numpy.zeros(shape=(n,) or (n, 3), dtype=numpy.double), viewed as a
// writable strided buffer of doubles: `out` gets one acquisition of a new
// owner, which then holds the only reference to the array.
int allocate_result(Py_ssize_t n, int ndim, orbivane_memviewslice& out) {
    Ref array;
    {
        Ref numpy = Ref::steal(lookup_numpy());
        if (!numpy) return -1;
        Ref zeros = Ref::steal(PyObject_GetAttr(numpy.get(), k.zeros));
        if (!zeros) return -1;
        numpy.reset();
        Ref rows = Ref::steal(PyLong_FromSsize_t(n));
        if (!rows) return -1;
        Ref shape = Ref::steal(ndim == 1 ? PyTuple_Pack(1, rows.get()) : PyTuple_Pack(2, rows.get(), k.three));
        if (!shape) return -1;
        numpy = Ref::steal(lookup_numpy());
        if (!numpy) return -1;
        Ref dtype = Ref::steal(PyObject_GetAttr(numpy.get(), k.double_));
        if (!dtype) return -1;
        PyObject* args[] = {shape.get(), dtype.get()};
        array = Ref::steal(PyObject_Vectorcall(zeros.get(), args, 0, k.zeros_kwnames));
        if (!array) return -1;
    }
    Py_buffer buf;
    if (PyObject_GetBuffer(array.get(), &buf, kResultFlags) < 0) return -1;
    if (check_result_buffer(buf, ndim, n) < 0) {
        PyBuffer_Release(&buf);
        return -1;
    }
    Ref owner = Ref::steal(owner_type.from_buffer(buf, kResultFlags));
    if (!owner) return -1;
    array.reset();
    orbivane_memviewslice v{};
    v.memview = orbivane::view_owner::as_owner(owner.get());
    v.data = static_cast<char*>(v.memview->view.buf);
    for (int d = 0; d < ndim; ++d) {
        v.shape[d] = buf.shape[d];
        v.strides[d] = buf.strides[d];
        v.suboffsets[d] = -1;
    }
    orbivane_view_acquire(&v, 1);
    out = v;
    return 0;
}

// The row loops run on the fastest path the processor supports, chosen once
// at initialisation.
RowPath row_path = RowPath::scalar;

orbivane_memviewslice run_batch(const orbivane_memviewslice& a, BatchSites& sites) {
    ProfiledCall prof;
    orbivane_memviewslice result{};
    CodeSite* failed_at = &sites.tb_setup;
    const Py_ssize_t n = a.shape[0];
    if (prof.enter(sites.profile, module_state.dict) < 0) {
        failed_at = &sites.tb_entry;
        goto fail;
    }
    if (check_input(a, sites.name) < 0 || allocate_result(n, sites.result_ndim, result) < 0) goto fail;
    if (n > 0) {
        const Rows in{a.data, a.strides[0], a.strides[1]};
        const Results out{result.data, result.strides[0], result.strides[1]};
        if (sites.result_ndim == 1) {
            norm_rows(row_path, in, out, n);
        } else {
            // normalize's closing check point, and the loop's own check
            // after it, can only find an exception that was pending before
            // the first row: then row 0 is where the kernel fails.
            if (PyErr_Occurred()) {
                orbivane::add_traceback(tb_normalize, module_state.dict);
                failed_at = &sites.tb_row;
                goto fail;
            }
            normalize_rows(row_path, in, out, n);
        }
    }
    prof.leave(Py_None);
    return result;

fail:
    prof.leave(nullptr);
    orbivane::add_traceback(*failed_at, module_state.dict);
    orbivane_view_release(&result, 1);
    return orbivane_memviewslice{};
}

}  // namespace

orbivane_memviewslice norm_array(orbivane_memviewslice a) { return run_batch(a, norm_array_sites); }

orbivane_memviewslice normalize_array(orbivane_memviewslice a) {
    return run_batch(a, normalize_array_sites);
}

// All or nothing: the constants are stored only once every one exists, and
// a failed attempt drops what it made, so the next exec starts over.
int make_batch_constants() {
    if (k.numpy) return 0;
    Constants c{};
    Ref shape = Ref::steal(orbivane::intern("shape"));
    Ref dtype = Ref::steal(orbivane::intern("dtype"));
    if (!(c.numpy = orbivane::intern("numpy")) || !(c.zeros = orbivane::intern("zeros")) ||
        !(c.double_ = orbivane::intern("double")) || !(c.three = PyLong_FromLong(3)) || !shape ||
        !dtype || !(c.zeros_kwnames = PyTuple_Pack(2, shape.get(), dtype.get()))) {
        for (PyObject* made : {c.numpy, c.zeros, c.double_, c.three, c.zeros_kwnames}) Py_XDECREF(made);
        return -1;
    }
    k = c;
    return 0;
}

int ready_batch_types() {
    if (make_profile_code(prof_norm_array) < 0 || make_profile_code(prof_normalize_array) < 0) return -1;
    return owner_type.ready();
}

void choose_row_path() { row_path = fastest_path(); }

}  // namespace orbivane::quiverel
