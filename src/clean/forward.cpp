// VSKModulePyThread.forward: evaluate every branch (in sequence, or one
// thread per branch), merge the dendrite outputs in cascade order through
// the skip weights and the configured nonlinearity, then apply the main
// processor's post. Nothing is cached between calls or branches, so a change
// of the weights, the settings or the flag takes effect at its next use.
#include <optional>
#include <vector>

#include "clean.hpp"
#include "caller_modes.hpp"
#include "branch_steps.hpp"
#include "cascade.hpp"

namespace vsk::clean {

namespace {

// The notes that name a branch whose worker thread raised.
constexpr const char* kMainNote = "raised in the worker thread of the main branch";
constexpr const char* kDendriteNote = "dendrite branch %S failed in its worker thread: %R";

Ref layer_count_minus_one(PyObject* self) {
    return py_int(nn_length(nn_getattr(self, names.layer_array).get()) - 1);
}

// (prefix..., *args) as a vectorcall argument array.
std::vector<PyObject*> with_prefix(std::initializer_list<PyObject*> prefix, PyObject* args) {
    std::vector<PyObject*> argv(prefix);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        argv.push_back(PyTuple_GET_ITEM(args, i));
    return argv;
}

Ref as_tuple(const std::vector<PyObject*>& items) {
    Ref t = require(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i]));
    return t;
}

// Thread(target=self.<method>, args=(prefix..., *args), kwargs=kwargs): the
// very kwargs dict of this call; each thread's call unpacks it afresh.
Ref make_thread(const Frame& f, PyObject* method, std::initializer_list<PyObject*> prefix) {
    Ref thread_cls = global(f, names.Thread);
    Ref target = getattr(f.arg[0], method);
    Ref thread_args = as_tuple(with_prefix(prefix, f.varargs.get()));
    PyObject* argv[] = {nullptr, target.get(), thread_args.get(), f.varkw.get()};
    return require(PyObject_Vectorcall(thread_cls.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       names.thread_kwnames));
}

// self.<method>(prefix..., *args, **kwargs), run to completion.
void run_branch(const Frame& f, PyObject* method, std::initializer_list<PyObject*> prefix) {
    Ref bound = getattr(f.arg[0], method);
    std::vector<PyObject*> argv = with_prefix(prefix, f.varargs.get());
    Ref ignored = require(
        PyObject_VectorcallDict(bound.get(), argv.data(), argv.size(), kw_or_null(f.varkw.get())));
}

void run_threads(PyObject* threads, Py_ssize_t count, PyObject* method) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref key = py_int(i);
        Ref thread = Ref::borrow(PyDict_GetItemWithError(threads, key.get()));
        if (!thread) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            raise();
        }
        call_method(thread.get(), method);
    }
}

// Runs `annotate` on the pending exception, which stays pending. Best
// effort: the exception is what the caller must see, so a failure to
// annotate it is reported as unraisable.
template <typename Annotate>
void annotate_pending(Annotate&& annotate) {
    ErrorGuard pending;
    PyObject* exception = pending.exception();
    if (exception != nullptr && !guarded([&] { annotate(exception); }))
        PyErr_WriteUnraisable(exception);
}

// A main branch that raised in its worker thread makes the forward raise
// that exception, once every thread is joined.
void raise_main_failure(const RegisteredCall& call) {
    for (const BranchFailure& failure : call.failures()) {
        if (failure.branch.get() != Py_None) continue;
        PyObject* exception = failure.exception.get();
        PyErr_Restore(Py_NewRef(Py_TYPE(exception)), Py_NewRef(exception),
                      PyException_GetTraceback(exception));
        annotate_pending([](PyObject* pending) {
            Ref note = require(PyUnicode_FromString(kMainNote));
            call_method(pending, names.add_note, note.get());
        });
        raise();
    }
}

// Names on the pending exception every dendrite branch that raised in its
// worker thread, and how.
void note_dendrite_failures(const RegisteredCall& call) {
    annotate_pending([&](PyObject* pending) {
        for (const BranchFailure& failure : call.failures()) {
            if (failure.branch.get() == Py_None) continue;
            Ref note = require(
                PyUnicode_FromFormat(kDendriteNote, failure.branch.get(), failure.exception.get()));
            call_method(pending, names.add_note, note.get());
        }
    });
}

Ref forward_body(Frame& f) {
    PyObject* self = f.arg[0];

    // Phase 1: the mode is fixed for the whole call.
    Ref doing_multi = global(f, names.doing_threading);
    Py_ssize_t n = nn_length(nn_getattr(self, names.layer_array).get());
    Ref dendrite_outs = require(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(dendrite_outs.get(), i, Py_NewRef(Py_None));
    Ref threads = require(PyDict_New());
    PyObject* outs = dendrite_outs.get();

    // Phase 2: dispatch the dendrite branches, then the main branch. Worker
    // threads run in the caller's modes (see caller_modes.hpp).
    std::optional<RegisteredCall> threaded_call;
    auto register_call = [&] {
        if (!threaded_call) threaded_call.emplace(outs, current_modes());
    };
    Py_ssize_t m = nn_length(nn_getattr(self, names.layer_array).get()) - 1;
    for (Py_ssize_t c = 0; c < m; ++c) {
        Ref index = py_int(c);
        if (truth(doing_multi.get())) {
            register_call();
            Ref thread = make_thread(f, names.process_and_forward, {index.get(), outs});
            check(PyDict_SetItem(threads.get(), index.get(), thread.get()));
        } else {
            run_branch(f, names.process_and_forward, {index.get(), outs});
        }
    }
    if (truth(doing_multi.get())) {
        register_call();
        Ref thread = make_thread(f, names.process_and_pre, {outs});
        Ref key = layer_count_minus_one(self);
        check(PyDict_SetItem(threads.get(), key.get(), thread.get()));
    } else {
        run_branch(f, names.process_and_pre, {outs});
    }

    // Phase 3: every thread exists before the first starts; start in branch
    // order, then join in branch order.
    if (truth(doing_multi.get())) {
        run_threads(threads.get(), PyList_GET_SIZE(outs), names.start);
        run_threads(threads.get(), PyList_GET_SIZE(outs), names.join);
        if (threaded_call) raise_main_failure(*threaded_call);
    }

    // Phase 4: the cascade merge, on this thread once every branch is done.
    Ref current_out;
    Py_ssize_t count = nn_length(nn_getattr(self, names.layer_array).get());
    cascade::NativeRows rows(state, self, f.globals);
    try {
        cascade::merge(outs, count, rows, current_out);
    } catch (const PyErrOccurred&) {
        // Most likely on the None a failed dendrite thread left behind.
        if (threaded_call) note_dendrite_failures(*threaded_call);
        throw;
    }

    // Phase 5: the main processor's post on the merged value.
    branch::FreshReads reads{names, self};
    return branch::main_post(reads, std::move(current_out));
}

}  // namespace

const FunctionDef forward_def = {
    .name = "forward",
    .qualname = "VSKModulePyThread.forward",
    .params = params({"self"}),
    .varargs = "args",
    .varkw = "kwargs",
    .body = forward_body,
};

}  // namespace vsk::clean
