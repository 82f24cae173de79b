// The caller's modes, carried into the worker threads of a threaded forward,
// and the failures of those threads, carried back to the caller.
//
// PyTorch keeps grad mode, inference mode and the autocast state (enabled
// flag and dtype per device type, the cache flag) per thread, and a new
// thread starts with its defaults: without this a branch run under
// torch.inference_mode() fails ("Inference tensors cannot be saved for
// backward"), one run under torch.no_grad() builds a graph nobody uses, and
// one run under torch.autocast computes in another dtype than the same
// branch run sequentially. Torch-function modes are deliberately not
// carried: one mode object's __torch_function__ would then run on several
// threads at once.
//
// The forward registers its per-call output list with its caller's modes; a
// branch method that receives that list runs in them, and records an
// exception it raises there, which the forward reads once every thread is
// joined. All of it happens under the interpreter lock, so the table needs no
// lock of its own; no iterator into it is held across a call into Python,
// which may let another thread change it.
#pragma once

#include <optional>

#include "clean.hpp"

namespace vsk::clean {

inline CallerModes current_modes() {
    CallerModes modes;
    Ref inference = call_method(state.torch, names.is_inference_mode_enabled);
    Ref grad = call_method(state.torch, names.is_grad_enabled);
    Ref cache = call_method(state.torch, names.is_autocast_cache_enabled);
    modes.inference = truth(inference.get());
    modes.grad_enabled = truth(grad.get());
    modes.autocast_cache = truth(cache.get());
    PyObject* devices = state.autocast_devices;
    modes.autocast.reserve(static_cast<size_t>(PyTuple_GET_SIZE(devices)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(devices); ++i) {
        PyObject* device = PyTuple_GET_ITEM(devices, i);
        Ref enabled = call_method(state.torch, names.is_autocast_enabled, device);
        Ref dtype = call_method(state.torch, names.get_autocast_dtype, device);
        modes.autocast.push_back({truth(enabled.get()), std::move(dtype)});
    }
    return modes;
}

// Registers one threaded forward's output list, with its caller's modes and
// room for a failure per branch, for as long as the forward runs.
class RegisteredCall {
public:
    RegisteredCall(PyObject* outs, CallerModes modes) : outs_(outs) {
        CallRecord record{std::move(modes), {}};
        record.failures.reserve(static_cast<size_t>(PyList_GET_SIZE(outs)));
        (*state.threaded_calls)[outs] = std::move(record);
    }
    ~RegisteredCall() {
        // Unwinding daemon threads may run this at once, unlocked (see ref.hpp).
        if (compat::runtime_finalizing()) return;
        // Out of the table first: releasing the failures may run Python code.
        auto record = state.threaded_calls->extract(outs_);
    }
    RegisteredCall(const RegisteredCall&) = delete;
    RegisteredCall& operator=(const RegisteredCall&) = delete;

    // The failures recorded so far, in the order the threads raised.
    std::vector<BranchFailure> failures() const {
        auto found = state.threaded_calls->find(outs_);
        return found == state.threaded_calls->end() ? std::vector<BranchFailure>{}
                                                    : found->second.failures;
    }

private:
    PyObject* outs_;
};

namespace detail {

inline std::optional<CallerModes> registered_modes(PyObject* outs) {
    auto& table = *state.threaded_calls;
    if (table.empty()) return std::nullopt;
    auto found = table.find(outs);
    if (found == table.end()) return std::nullopt;
    return found->second.modes;
}

// Enters `context` and keeps it for leave_modes().
inline void enter(std::vector<Ref>& entered, Ref context) {
    entered.reserve(entered.size() + 1);  // so that keeping it cannot fail once entered
    call_method(context.get(), names.__enter__);
    entered.push_back(std::move(context));
}

inline Ref autocast(PyObject* device, const AutocastMode& mode, bool cache) {
    PyObject* argv[] = {nullptr, device, mode.dtype.get(), mode.enabled ? Py_True : Py_False,
                        cache ? Py_True : Py_False};
    Ref cls = getattr(state.torch, names.autocast);
    return require(PyObject_Vectorcall(cls.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       names.autocast_kwnames));
}

// Enters what the caller's modes have and this thread's lack; on a thread
// that already has them (a Thread stand-in running its target at once),
// nothing.
inline void enter_modes(const CallerModes& caller, std::vector<Ref>& entered) {
    CallerModes own = current_modes();
    if (caller.inference != own.inference) {
        enter(entered, call_method(state.torch, names.inference_mode,
                                   caller.inference ? Py_True : Py_False));
        own.grad_enabled = truth(call_method(state.torch, names.is_grad_enabled).get());
    }
    if (caller.grad_enabled != own.grad_enabled)
        enter(entered, call_method(state.torch, names.set_grad_enabled,
                                   caller.grad_enabled ? Py_True : Py_False));
    bool cache_set = caller.autocast_cache == own.autocast_cache;
    PyObject* devices = state.autocast_devices;
    for (size_t i = 0; i < caller.autocast.size(); ++i) {
        const AutocastMode& want = caller.autocast[i];
        const AutocastMode& have = own.autocast[i];
        if (want.enabled == have.enabled && want.dtype.get() == have.dtype.get()) continue;
        PyObject* device = PyTuple_GET_ITEM(devices, static_cast<Py_ssize_t>(i));
        enter(entered, autocast(device, want, caller.autocast_cache));
        cache_set = true;
    }
    // The cache flag alone: one device's state as it is, with the caller's flag.
    if (!cache_set && !own.autocast.empty())
        enter(entered,
              autocast(PyTuple_GET_ITEM(devices, 0), own.autocast[0], caller.autocast_cache));
}

// Leaves the entered modes, innermost first: context.__exit__(None, None,
// None). The branch's own exception, if any, survives; a failing __exit__ is
// reported as unraisable, since the branch's outcome is what its caller
// waits for.
inline void leave_modes(std::vector<Ref>& entered) {
    ErrorGuard keep;
    for (auto context = entered.rbegin(); context != entered.rend(); ++context) {
        PyObject* argv[] = {context->get(), Py_None, Py_None, Py_None};
        PyObject* r = PyObject_VectorcallMethod(names.__exit__, argv, 4, nullptr);
        if (r == nullptr) PyErr_WriteUnraisable(context->get());
        Py_XDECREF(r);
    }
    entered.clear();
}

// Records the pending exception as `branch`'s failure, if `outs` belongs to
// a threaded forward still in flight; it stays pending.
inline void record_failure(PyObject* outs, PyObject* branch) {
    ErrorGuard pending;
    PyObject* exception = pending.exception();
    auto& table = *state.threaded_calls;
    auto found = table.find(outs);
    if (exception == nullptr || found == table.end()) return;
    auto& failures = found->second.failures;
    // A stand-in Thread may run a target twice: the room is for one per branch.
    if (failures.size() < failures.capacity())
        failures.push_back({Ref::borrow(branch), Ref::borrow(exception)});
}

}  // namespace detail

// In a branch method: runs `body` in the caller's modes registered for
// `outs`, and records its failure there, as that of `branch` (None for the
// main branch). __exit__ runs from a handler, not a destructor: it runs
// Python code, which may release the interpreter lock, and a thread ended at
// shutdown unwinds through here (that forced unwinding is let through
// without __exit__).
template <typename Body>
VSK_CATCHES_FORCED_UNWIND void in_caller_modes(PyObject* outs, PyObject* branch, Body&& body) {
    std::optional<CallerModes> caller = detail::registered_modes(outs);
    if (!caller) {
        body();
        return;
    }
    std::vector<Ref> entered;
    try {
        detail::enter_modes(*caller, entered);
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Whatever failed is recorded as the exception guarded() makes of it.
        guarded([] { throw; });
        detail::leave_modes(entered);
        detail::record_failure(outs, branch);
        raise();
    }
    detail::leave_modes(entered);
}

}  // namespace vsk::clean
