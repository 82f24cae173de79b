// Whether a plan's rows still view memory their storage holds.
//
// `is_set_to` proves a weight has the storage, offset, sizes and strides its
// rows were cut from, but a storage can shrink in place and stay the same
// storage: FSDP frees an unsharded parameter with
// `untyped_storage().resize_(0)` and gives it its bytes back later, and
// anyone may call resize_ on it. The rows would then read past the end of
// the allocation, where the native forward's fresh slice raises. So the
// bytes the alias's elements reach are recorded once, with the storage's
// size probe, and compared with its size before every use.
#include "prepared.hpp"

namespace vsk::prepared {

namespace {

long long as_long_long(PyObject* value) {
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) raise();
    return v;
}

// The bytes of its storage that `alias`'s elements reach (the end of its
// farthest element), none for a tensor without elements; -1 when the
// geometry is not one a tensor of memory has, or its extent overflows.
long long extent_of(PyObject* alias) {
    Ref sizes = call_method(alias, names.size);
    Ref strides = call_method(alias, names.stride);
    if (!PyTuple_Check(sizes.get()) || !PyTuple_Check(strides.get()) ||
        PyTuple_GET_SIZE(sizes.get()) != PyTuple_GET_SIZE(strides.get()))
        return -1;
    long long last = as_long_long(call_method(alias, names.storage_offset).get());
    for (Py_ssize_t d = 0; d < PyTuple_GET_SIZE(sizes.get()); ++d) {
        long long size = as_long_long(PyTuple_GET_ITEM(sizes.get(), d));
        long long stride = as_long_long(PyTuple_GET_ITEM(strides.get(), d));
        if (size == 0) return 0;
        long long reach = 0;
        if (size < 0 || stride < 0 || __builtin_mul_overflow(size - 1, stride, &reach) ||
            __builtin_add_overflow(last, reach, &last))
            return -1;
    }
    long long itemsize = as_long_long(call_method(alias, names.element_size).get());
    long long bytes = 0;
    if (last < 0 || itemsize <= 0 || __builtin_mul_overflow(last + 1, itemsize, &bytes)) return -1;
    return bytes;
}

}  // namespace

bool record_extent(PlanEntry& made) {
    made.extent = extent_of(made.alias.get());
    if (made.extent < 0) return false;
    Ref storage = call_method(made.alias.get(), names.untyped_storage);
    made.storage_nbytes = getattr(storage.get(), names.nbytes);
    return extent_holds(made);
}

bool extent_holds(const PlanEntry& made) {
    return as_long_long(call(made.storage_nbytes.get()).get()) >= made.extent;
}

}  // namespace vsk::prepared
