// Whether a tensor may carry a tangent: the rows are cut from detached
// aliases, which carry none, so a weight's tangent would be dropped from
// the output's. A tangent lives only inside an open forward-mode AD level
// (torch.autograd.forward_ad.dual_level(), which torch.func.jvp opens too)
// and every torch.func transform wraps the tensors it sees, so while either
// is at work the native forward runs, slicing the weights themselves.
#include "prepared.hpp"

namespace vsk::prepared {

bool tangents_possible() {
    if (state.transforms_active == nullptr || truth(call(state.transforms_active).get()))
        return true;
    // forward_ad keeps -1 there outside every level; anything else counts as open.
    PyObject* level = PyDict_GetItemWithError(state.forward_ad_globals, names._current_level);
    if (level == nullptr && PyErr_Occurred()) raise();
    if (level == nullptr || !PyLong_CheckExact(level)) return true;
    long value = PyLong_AsLong(level);
    if (value == -1 && PyErr_Occurred()) raise();
    return value != -1;
}

}  // namespace vsk::prepared
