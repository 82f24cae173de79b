// Carries the caller's autograd mode into the worker threads of a threaded
// forward. PyTorch keeps grad and inference mode per thread and a new thread
// starts with grad enabled, so without this a branch run under
// torch.inference_mode() fails ("Inference tensors cannot be saved for
// backward") and one run under torch.no_grad() builds a graph nobody uses.
//
// The forward registers its per-call output list with the mode it started
// in; a branch method that receives that list runs in the same mode. All of
// it happens under the interpreter lock, so the table needs no lock of its own.
#pragma once

#include "clean.hpp"

namespace vsk::clean {

inline GradMode current_grad_mode() {
    Ref inference = call_method(state.torch, names.is_inference_mode_enabled);
    Ref grad = call_method(state.torch, names.is_grad_enabled);
    return {truth(grad.get()), truth(inference.get())};
}

// Registers one threaded call's output list for as long as the call runs.
class ThreadedCall {
public:
    ThreadedCall(PyObject* outs, GradMode mode) : outs_(outs) {
        (*state.threaded_calls)[outs] = mode;
    }
    ~ThreadedCall() {
        // Unwinding daemon threads may run this at once, unlocked (see ref.hpp).
        if (!compat::runtime_finalizing()) state.threaded_calls->erase(outs_);
    }
    ThreadedCall(const ThreadedCall&) = delete;
    ThreadedCall& operator=(const ThreadedCall&) = delete;

private:
    PyObject* outs_;
};

namespace detail {

// The entered context manager for the registered mode of `outs`; null when
// there is none or it is a fresh thread's own mode.
inline Ref enter_registered_mode(PyObject* outs) {
    auto& table = *state.threaded_calls;
    if (table.empty()) return nullptr;
    auto found = table.find(outs);
    if (found == table.end()) return nullptr;
    GradMode mode = found->second;
    Ref context;
    if (mode.inference)
        context = call_method(state.torch, names.inference_mode, Py_True);
    else if (!mode.grad_enabled)
        context = call_method(state.torch, names.set_grad_enabled, Py_False);
    else
        return nullptr;
    call_method(context.get(), names.__enter__);
    return context;
}

// context.__exit__(None, None, None). The branch's own exception, if any,
// survives; a failing __exit__ is reported as unraisable, since the branch's
// outcome is what its caller waits for.
inline void leave_mode(PyObject* context) {
    ErrorGuard keep;
    PyObject* argv[] = {context, Py_None, Py_None, Py_None};
    PyObject* r = PyObject_VectorcallMethod(names.__exit__, argv, 4, nullptr);
    if (r == nullptr) PyErr_WriteUnraisable(context);
    Py_XDECREF(r);
}

}  // namespace detail

// In a branch method: runs `body` in the registered mode of `outs`, if any.
// __exit__ runs from a handler, not a destructor: it runs Python code, which
// may release the interpreter lock, and a thread ended at shutdown unwinds
// through here (that forced unwinding is let through without __exit__).
template <typename Body>
VSK_CATCHES_FORCED_UNWIND void in_registered_mode(PyObject* outs, Body&& body) {
    Ref context = detail::enter_registered_mode(outs);
    if (!context) {
        body();
        return;
    }
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        detail::leave_mode(context.get());
        throw;
    }
    detail::leave_mode(context.get());
}

}  // namespace vsk::clean
