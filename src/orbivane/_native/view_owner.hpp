// The owner object of strided array views, shared by the modules that hand
// views out: the toolkit's batch results and the two parts of a Time's
// Julian date.
//
// Its record is orbivane_view_owner of view_record.h (160 bytes), which the
// installed client header repeats; clients acquire and release views of it
// through that header.
// Each module has its own type object, with its own name. An OwnerType
// makes owners of a buffer obtained from an exporting object (the toolkit's
// result arrays); a StorageOwnerType makes owners of a few doubles of their
// own, right after the record in the same allocation (a Time's Julian date).
#pragma once

#include "capi_support.hpp"
#include "view_record.h"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orbivane::view_owner {

inline orbivane_view_owner* as_owner(PyObject* o) noexcept {
    return reinterpret_cast<orbivane_view_owner*>(o);
}

namespace detail {

inline char double_format[] = "d";
inline const orbivane_typeinfo double_typeinfo = {"double", nullptr, sizeof(double), {0}, 0, 'R', 0, 0};

// One lock for every owner with storage of its own. Owners never take it
// themselves: clients built without atomic operations guard the count with
// it, and a shared lock serves them as well as one per owner would.
inline PyThread_type_lock shared_lock = nullptr;

inline PyObject* get_base(PyObject* self) { return Py_NewRef(as_owner(self)->obj); }

// Entries of the method table that clients may know but that these owners
// do not implement: every one reports itself and fails.
template <int Entry>
PyObject* unsupported(PyObject* self) {
    PyErr_Format(PyExc_NotImplementedError,
                 "%s: method table entry %d is not supported (only entries 7 and 8, _get_base, are)",
                 Py_TYPE(self)->tp_name, Entry);
    return nullptr;
}

inline orbivane_view_owner_vtable vtable = {
    {unsupported<0>, unsupported<1>, unsupported<2>, unsupported<3>, unsupported<4>, unsupported<5>,
     unsupported<6>},
    get_base,
    get_base,
};

inline void dealloc(PyObject* self) {
    orbivane_view_owner* o = as_owner(self);
    if (o->view.obj) PyBuffer_Release(&o->view);
    Py_CLEAR(o->obj);
    Py_CLEAR(o->_size);
    Py_CLEAR(o->_array_interface);
    if (o->lock && o->lock != shared_lock) PyThread_free_lock(o->lock);
    Py_TYPE(self)->tp_free(self);
}

// The strides an ndarray reports for a contiguous array: C order unless
// Fortran order was asked for, and Fortran order for an array that is only
// contiguous that way. Dimensions of extent 1 make an array contiguous
// whatever their strides, so these may differ from the source's. Written
// to `out` (ndim entries); false for an array that is neither.
inline bool contiguous_strides(const Py_buffer& src, bool fortran_requested, Py_ssize_t* out) {
    const bool c_order = !fortran_requested && PyBuffer_IsContiguous(&src, 'C');
    if (!c_order && !PyBuffer_IsContiguous(&src, 'F')) return false;
    Py_ssize_t step = src.itemsize;
    for (int i = 0; i < src.ndim; ++i) {
        const int d = c_order ? src.ndim - 1 - i : i;
        out[d] = step;
        step *= src.shape[d];
    }
    return true;
}

// The owner re-exports the buffer it holds, so numpy.asarray(owner) and
// memoryview(owner) see the same memory. Requests are honoured as an
// ndarray honours them, in the same order and with the same messages:
// contiguity first, then writability; format, shape and strides only
// when asked for, the strides of a contiguous buffer as an ndarray gives
// them. Strides that differ from the source's are kept in an allocation of
// the request's own (`internal`), freed when the request is released.
inline int getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const Py_buffer& src = as_owner(self)->view;
    const auto wants = [flags](int bits) { return (flags & bits) == bits; };
    const bool c_contiguous = PyBuffer_IsContiguous(&src, 'C');
    const char* refusal = nullptr;
    if (wants(PyBUF_C_CONTIGUOUS) && !c_contiguous)
        refusal = "ndarray is not C-contiguous";
    else if (wants(PyBUF_F_CONTIGUOUS) && !PyBuffer_IsContiguous(&src, 'F'))
        refusal = "ndarray is not Fortran contiguous";
    else if (wants(PyBUF_ANY_CONTIGUOUS) && !PyBuffer_IsContiguous(&src, 'A'))
        refusal = "ndarray is not contiguous";
    else if (!wants(PyBUF_STRIDES) && !c_contiguous)
        refusal = "ndarray is not C-contiguous";
    else if (wants(PyBUF_WRITABLE) && src.readonly)
        refusal = "buffer source array is read-only";
    if (refusal) {
        PyErr_SetString(PyExc_ValueError, refusal);
        view->obj = nullptr;
        return -1;
    }
    *view = src;
    view->obj = Py_NewRef(self);
    view->internal = nullptr;
    view->suboffsets = nullptr;
    if (!wants(PyBUF_FORMAT)) view->format = nullptr;
    if (!wants(PyBUF_ND)) {
        view->ndim = 0;
        view->shape = nullptr;
    }
    if (!wants(PyBUF_STRIDES)) {
        view->strides = nullptr;
        return 0;
    }
    Py_ssize_t strides[ORBIVANE_MAX_DIMS];
    if (src.ndim > ORBIVANE_MAX_DIMS || !contiguous_strides(src, wants(PyBUF_F_CONTIGUOUS), strides) ||
        std::memcmp(strides, src.strides, sizeof(Py_ssize_t) * static_cast<std::size_t>(src.ndim)) == 0)
        return 0;
    auto* own = static_cast<Py_ssize_t*>(PyMem_Malloc(sizeof(Py_ssize_t) * static_cast<std::size_t>(src.ndim)));
    if (!own) {
        Py_CLEAR(view->obj);
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(own, strides, sizeof(Py_ssize_t) * static_cast<std::size_t>(src.ndim));
    view->strides = own;
    view->internal = own;
    return 0;
}

inline void releasebuffer(PyObject*, Py_buffer* view) { PyMem_Free(view->internal); }

inline PyBufferProcs as_buffer = {getbuffer, releasebuffer};

// The fields every owner starts with; the caller fills `view` and `flags`.
inline void init_fields(orbivane_view_owner* o, PyObject* exporter, PyThread_type_lock lock) {
    o->__pyx_vtab = &vtable;
    o->obj = Py_NewRef(exporter);
    o->_size = Py_NewRef(Py_None);
    o->_array_interface = Py_NewRef(Py_None);
    o->lock = lock;
    o->acquisition_count = 0;
    o->dtype_is_object = 0;
    o->typeinfo = &double_typeinfo;
}

}  // namespace detail

// The owner type of one module, named "<module>.memoryview", for owners
// of buffers obtained from other objects.
class OwnerType {
public:
    explicit constexpr OwnerType(const char* name) noexcept : name_(name) {}
    OwnerType(const OwnerType&) = delete;
    OwnerType& operator=(const OwnerType&) = delete;

    // Readies the type object once; later calls do nothing.
    int ready() {
        if (type_.tp_flags & Py_TPFLAGS_READY) return 0;
        type_.tp_name = name_;
        type_.tp_basicsize = sizeof(orbivane_view_owner);
        type_.tp_flags = Py_TPFLAGS_DEFAULT;
        type_.tp_doc = "Keeps an array and its buffer alive for the strided views that refer to it.";
        type_.tp_dealloc = detail::dealloc;
        type_.tp_as_buffer = &detail::as_buffer;
        return PyType_Ready(&type_);
    }

    PyTypeObject* type() noexcept { return &type_; }

    // A new owner that takes over `buf`, a buffer of doubles obtained with
    // `flags`, and holds its own reference to the exporter and a lock of
    // its own. On failure the buffer is released.
    PyObject* from_buffer(Py_buffer& buf, int flags) {
        PyObject* self = type_.tp_alloc(&type_, 0);
        PyThread_type_lock lock = self ? PyThread_allocate_lock() : nullptr;
        if (!lock) {
            if (self && !PyErr_Occurred()) PyErr_SetString(PyExc_MemoryError, "cannot allocate lock");
            PyBuffer_Release(&buf);
            Py_XDECREF(self);
            return nullptr;
        }
        orbivane_view_owner* o = as_owner(self);
        detail::init_fields(o, buf.obj, lock);
        o->view = buf;
        if (std::strcmp(o->view.format, detail::double_format) != 0) o->view.format = detail::double_format;
        o->flags = flags;
        return self;
    }

protected:
    const char* name_;
    PyTypeObject type_{};
};

// The owner type of one module for owners of doubles of their own, which
// follow the record in the same allocation and live as long as it does
// (`view.buf` points to them). Such an owner holds no buffer of another
// object: `obj` is None and `view.obj` null.
//
// Owners of N doubles (`make`) are made and dropped as often as the objects
// whose values they hold: they keep a few dead blocks for reuse, as the
// interpreter does for floats and tuples, since the allocator's bookkeeping
// is most of their cost. Owners of a table of any size (`make_table`) keep
// its shape and strides in their own block, and are freed at once.
template <std::size_t N>
class StorageOwnerType : public OwnerType {
public:
    using OwnerType::OwnerType;

    int ready() {
        if (!detail::shared_lock && !(detail::shared_lock = PyThread_allocate_lock())) {
            PyErr_SetString(PyExc_MemoryError, "cannot allocate lock");
            return -1;
        }
        type_.tp_free = keep_block;
        return OwnerType::ready();
    }

    // A new owner. `view` describes its doubles as a read-only array of
    // `ndim` dimensions with the given shape and strides, which must
    // outlive the owner; `flags` are those of a read-only strided request.
    // The owner comes with one acquisition, and the reference that stands
    // for it, for the record the caller puts it in.
    orbivane_view_owner* make(int ndim, Py_ssize_t* shape, Py_ssize_t* strides) {
        Block* block = kept_count_ ? kept_[--kept_count_] : static_cast<Block*>(PyObject_Malloc(sizeof(Block)));
        if (!block) {
            PyErr_NoMemory();
            return nullptr;
        }
        orbivane_view_owner* o = &block->record;
        PyObject_Init(reinterpret_cast<PyObject*>(o), &type_);
        detail::init_fields(o, Py_None, detail::shared_lock);
        o->view = Py_buffer{block->storage, nullptr, Py_ssize_t{N * sizeof(double)}, sizeof(double), 1,
                            ndim, detail::double_format, shape, strides, nullptr, nullptr};
        o->flags = PyBUF_RECORDS_RO;
        o->acquisition_count = 1;
        return o;
    }

    // A new owner of a C-contiguous (rows, columns) table of doubles, seen
    // as a read-only array; with one acquisition, as `make` gives. The
    // doubles start on a 64-byte boundary of the block. A block of 4 MiB or
    // more is asked to live on huge pages, as NumPy asks for its arrays:
    // first touching the pages of a fresh table is then most of its cost
    // no longer.
    orbivane_view_owner* make_table(Py_ssize_t rows, Py_ssize_t columns) {
        const Py_ssize_t count = rows * columns;
        if (rows < 0 || columns < 0 || (columns && count / columns != rows) ||
            count > (PY_SSIZE_T_MAX - Py_ssize_t{sizeof(TableBlock)} - 64) / Py_ssize_t{sizeof(double)}) {
            PyErr_NoMemory();
            return nullptr;
        }
        constexpr std::size_t kHuge = std::size_t{1} << 21;
        const std::size_t bytes = sizeof(TableBlock) + 64 + static_cast<std::size_t>(count) * sizeof(double);
        const std::size_t alignment = bytes >= 2 * kHuge ? kHuge : 64;
        auto* block = static_cast<TableBlock*>(std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment));
        if (block && alignment == kHuge) madvise(block, (bytes + kHuge - 1) / kHuge * kHuge, MADV_HUGEPAGE);
        if (!block) {
            PyErr_NoMemory();
            return nullptr;
        }
        const auto start = reinterpret_cast<std::uintptr_t>(block + 1);
        auto* storage = reinterpret_cast<double*>((start + 63) & ~std::uintptr_t{63});
        block->shape[0] = rows;
        block->shape[1] = columns;
        block->strides[0] = columns * Py_ssize_t{sizeof(double)};
        block->strides[1] = sizeof(double);
        orbivane_view_owner* o = &block->record;
        PyObject_Init(reinterpret_cast<PyObject*>(o), &type_);
        detail::init_fields(o, Py_None, detail::shared_lock);
        o->view = Py_buffer{storage, nullptr, count * Py_ssize_t{sizeof(double)}, sizeof(double), 1, 2,
                            detail::double_format, block->shape, block->strides, nullptr, nullptr};
        o->flags = PyBUF_RECORDS_RO;
        o->acquisition_count = 1;
        return o;
    }

private:
    struct Block {
        orbivane_view_owner record;
        double storage[N];
    };
    static_assert(offsetof(Block, storage) == sizeof(orbivane_view_owner));

    struct TableBlock {
        orbivane_view_owner record;
        Py_ssize_t shape[2];
        Py_ssize_t strides[2];
    };

    static constexpr int kKept = 64;
    static inline Block* kept_[kKept];
    static inline int kept_count_ = 0;

    // tp_free, called by the owner's deallocation with the interpreter lock
    // held.
    static void keep_block(void* p) {
        if (static_cast<Block*>(p)->record.view.buf != static_cast<Block*>(p)->storage) {
            std::free(p);  // a table block
            return;
        }
        if (kept_count_ < kKept)
            kept_[kept_count_++] = static_cast<Block*>(p);
        else
            PyObject_Free(p);
    }
};

}  // namespace orbivane::view_owner
