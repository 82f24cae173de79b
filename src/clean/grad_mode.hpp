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

#include <unordered_map>

#include "ref.hpp"

namespace vsk::clean {

struct GradMode {
    bool grad_enabled;
    bool inference;
};

inline std::unordered_map<PyObject*, GradMode>& threaded_calls() {
    static auto* table = new std::unordered_map<PyObject*, GradMode>();
    return *table;
}

inline PyObject* torch_module() {
    static PyObject* torch = nullptr;
    if (torch == nullptr) torch = require(PyImport_ImportModule("torch")).release();
    return torch;
}

inline GradMode current_grad_mode() {
    static PyObject* is_inference_name = nullptr;
    static PyObject* is_grad_name = nullptr;
    Ref inference = call_method(torch_module(),
                                cached_name(is_inference_name, "is_inference_mode_enabled"));
    Ref grad = call_method(torch_module(), cached_name(is_grad_name, "is_grad_enabled"));
    return {truth(grad.get()), truth(inference.get())};
}

// Registers one threaded call's output list for as long as the call runs.
class ThreadedCall {
public:
    ThreadedCall(PyObject* outs, GradMode mode) : outs_(outs) { threaded_calls()[outs] = mode; }
    ~ThreadedCall() {
        // Unwinding daemon threads may run this at once, unlocked (see ref.hpp).
        if (!interpreter_finalizing()) threaded_calls().erase(outs_);
    }
    ThreadedCall(const ThreadedCall&) = delete;
    ThreadedCall& operator=(const ThreadedCall&) = delete;

private:
    PyObject* outs_;
};

// In a branch method: enters the registered mode of `outs`, if any and if it
// differs from a fresh thread's, and leaves it on scope exit.
class BranchGradMode {
public:
    explicit BranchGradMode(PyObject* outs) {
        auto& table = threaded_calls();
        if (table.empty()) return;
        auto found = table.find(outs);
        if (found == table.end()) return;
        GradMode mode = found->second;
        static PyObject* inference_name = nullptr;
        static PyObject* no_grad_name = nullptr;
        static PyObject* enter_name = nullptr;
        if (mode.inference)
            context_ = call_method(torch_module(), cached_name(inference_name, "inference_mode"),
                                   Py_True);
        else if (!mode.grad_enabled)
            context_ = call_method(torch_module(), cached_name(no_grad_name, "set_grad_enabled"),
                                   Py_False);
        else
            return;
        call_method(context_.get(), cached_name(enter_name, "__enter__"));
    }

    ~BranchGradMode() {
        // No __exit__ call from a thread being ended at shutdown (see ref.hpp).
        if (!context_ || interpreter_finalizing()) return;
        ErrorGuard keep;  // the branch's own exception, if any, survives
        static PyObject* exit_name = PyUnicode_InternFromString("__exit__");
        PyObject* argv[] = {context_.get(), Py_None, Py_None, Py_None};
        PyObject* r = exit_name ? PyObject_VectorcallMethod(exit_name, argv, 4, nullptr) : nullptr;
        if (r == nullptr) PyErr_WriteUnraisable(context_.get());
        Py_XDECREF(r);
    }

    BranchGradMode(const BranchGradMode&) = delete;
    BranchGradMode& operator=(const BranchGradMode&) = delete;

private:
    Ref context_;
};

}  // namespace vsk::clean
