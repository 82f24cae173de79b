"""Pure-Python statement of what the two native converters do.

`veskari.blockwise_veskari` and `veskari.clean_veskari` are C++; this module
is the executable statement of what they do, written as the interpreter-level
code they stand for, and the oracle of the tests and benchmarks. The tests
compare the native modules with it (outputs, path lists, diagnostics and
the order of every read and call), and the benchmarks time it as the
Python baseline. Every function therefore makes
the same attribute reads, calls and comparisons in the same order as its
native counterpart; a change of behaviour in either side must be made in
both, or the parity tests fail.

Names are looked up as module globals at the moment of use, as the native
modules do; `doing_threading` here switches this module's own forward.
The block class is named `VSKLayer` because the clean walk recognises
blocks by that class name.
"""
import contextlib
from threading import Thread

import torch
from torch import nn

from veskari import globals_veskari as GVS
from veskari import modules_veskari as VS
from veskari._internal.torch_private import autocast_supported_devices

doing_threading = False


# ----------------------------------------------------------------- clean side

# The threaded forwards in flight, by id of their per-call output list: the
# caller's modes for the branch threads, and the (branch, exception) of every
# branch that raised in its thread (branch None: the main one).
_threaded_calls: dict[int, "_ThreadedCall"] = {}
_AUTOCAST_DEVICES = tuple(autocast_supported_devices())
MAIN_FAILURE_NOTE = "raised in the worker thread of the main branch"


class _ThreadedCall:
    def __init__(self):
        self.modes = _current_modes()
        self.failures = []


def _current_modes():
    """PyTorch's thread-local modes: a new thread starts with its defaults.
    Torch-function modes are not among them, on purpose."""
    return (torch.is_inference_mode_enabled(), torch.is_grad_enabled(),
            torch.is_autocast_cache_enabled(),
            [(torch.is_autocast_enabled(device), torch.get_autocast_dtype(device))
             for device in _AUTOCAST_DEVICES])


def _register_threaded_call(dendrite_outs):
    if id(dendrite_outs) not in _threaded_calls:
        _threaded_calls[id(dendrite_outs)] = _ThreadedCall()


def _enter_modes(caller, entered):
    """Enters what the caller's modes have and this thread's lack."""
    inference, grad, cache, autocast = caller
    own_inference, own_grad, own_cache, own_autocast = _current_modes()
    if inference != own_inference:
        entered.enter_context(torch.inference_mode(inference))
        own_grad = torch.is_grad_enabled()
    if grad != own_grad:
        entered.enter_context(torch.set_grad_enabled(grad))
    cache_set = cache == own_cache
    for device, (enabled, dtype), (own_enabled, own_dtype) in zip(_AUTOCAST_DEVICES, autocast,
                                                                  own_autocast, strict=True):
        if enabled == own_enabled and dtype is own_dtype:
            continue
        entered.enter_context(torch.autocast(device, dtype=dtype, enabled=enabled,
                                             cache_enabled=cache))
        cache_set = True
    if not cache_set and own_autocast:  # the cache flag alone
        entered.enter_context(torch.autocast(_AUTOCAST_DEVICES[0], dtype=own_autocast[0][1],
                                             enabled=own_autocast[0][0], cache_enabled=cache))


@contextlib.contextmanager
def _in_caller_modes(dendrite_outs, branch):
    """A branch of a threaded forward runs in its caller's modes; what it
    raises there is recorded for the forward."""
    call = _threaded_calls.get(id(dendrite_outs))
    if call is None:
        yield
        return
    entered = contextlib.ExitStack()
    try:
        _enter_modes(call.modes, entered)
        yield
    except BaseException as failure:
        entered.close()
        if (_threaded_calls.get(id(dendrite_outs)) is call
                and len(call.failures) < len(dendrite_outs)):
            call.failures.append((branch, failure))
        raise
    entered.close()

class PyModulePyThread(nn.Module):
    def __init__(self, original_module):
        super(PyModulePyThread, self).__init__()
        self.layer_array = original_module.layer_array
        self.processor_array = original_module.processor_array
        if hasattr(original_module, "skip_weights") and len(original_module.skip_weights) > 1:
            self.skip_weights = original_module.skip_weights[1:]
        self.register_buffer("node_index", original_module.node_index.clone().detach())
        self.register_buffer("num_cycles", original_module.num_cycles)
        self.register_buffer("view_tuple", original_module.view_tuple)

    def process_and_forward(self, *args2, **kwargs2):
        c = args2[0]
        dendrite_outs = args2[1]
        args2 = args2[2:]
        with _in_caller_modes(dendrite_outs, c):
            if self.processor_array[c] != None:  # noqa: E711 -- a rich comparison, as the converter makes it
                args2, kwargs2 = self.processor_array[c].pre(*args2, **kwargs2)
            out_values = self.layer_array[c](*args2, **kwargs2)
            if self.processor_array[c] != None:  # noqa: E711
                out = self.processor_array[c].post(out_values)
            else:
                out = out_values
            dendrite_outs[c] = out

    def process_and_pre(self, *args, **kwargs):
        dendrite_outs = args[0]
        args = args[1:]
        with _in_caller_modes(dendrite_outs, None):
            out = self.layer_array[-1].forward(*args, **kwargs)
            if self.processor_array[-1] is not None:
                out = self.processor_array[-1].pre(out)
            dendrite_outs[len(self.layer_array) - 1] = out

    def forward(self, *args, **kwargs):
        doing_multi = doing_threading
        dendrite_outs = [None] * len(self.layer_array)
        threads = {}
        try:
            for c in range(0, len(self.layer_array) - 1):
                if doing_multi:
                    _register_threaded_call(dendrite_outs)
                    threads[c] = Thread(target=self.process_and_forward,
                                        args=(c, dendrite_outs, *args), kwargs=kwargs)
                else:
                    self.process_and_forward(c, dendrite_outs, *args, **kwargs)
            if doing_multi:
                _register_threaded_call(dendrite_outs)
                threads[len(self.layer_array) - 1] = Thread(
                    target=self.process_and_pre, args=(dendrite_outs, *args), kwargs=kwargs)
            else:
                self.process_and_pre(dendrite_outs, *args, **kwargs)
            call = _threaded_calls.get(id(dendrite_outs))
            if doing_multi:
                for i in range(0, len(dendrite_outs)):
                    threads[i].start()
                for i in range(0, len(dendrite_outs)):
                    threads[i].join()
                for branch, failure in (call.failures if call else []):
                    if branch is None:
                        failure.add_note(MAIN_FAILURE_NOTE)
                        raise failure
            try:
                for out_index in range(0, len(self.layer_array)):
                    current_out = dendrite_outs[out_index]
                    if len(self.layer_array) > 1 and hasattr(self, "skip_weights"):
                        for in_index in range(0, out_index):
                            skip_weight = self.skip_weights[out_index - 1][in_index, :]
                            skip_weight = skip_weight.view(self.view_tuple.tolist())
                            current_out = (current_out + skip_weight.to(current_out.device)
                                           * dendrite_outs[in_index])
                        if out_index < len(self.layer_array) - 1:
                            current_out = GVS.pc.get_vsk_forward_function()(current_out)
                    dendrite_outs[out_index] = current_out
            except BaseException as error:  # most likely on the None of a failed dendrite thread
                for branch, failure in (call.failures if call else []):
                    if branch is not None:
                        error.add_note(f"dendrite branch {branch!s} failed in its worker "
                                       f"thread: {failure!r}")
                raise
            if self.processor_array[-1] is not None:
                current_out = self.processor_array[-1].post(current_out)
            return current_out
        finally:
            _threaded_calls.pop(id(dendrite_outs), None)


ModuleType = PyModulePyThread


def get_pretrained_vsk_attr(pretrained_dendrite, member):
    if pretrained_dendrite is None:
        return None
    return getattr(pretrained_dendrite, member)


def get_pretrained_vsk_var(pretrained_dendrite, submodule_id):
    # The clean walk's variant: a lookup by sub-module path.
    if pretrained_dendrite is None:
        return None
    return pretrained_dendrite.get_submodule(submodule_id)


def make_module(module):
    return ModuleType(module)


def refresh_net(pretrained_dendrite):
    net = refresh_vsk(pretrained_dendrite, 0, "", [])
    return net


def refresh_vsk(net, depth, name_so_far, converted_list):
    if GVS.pc.get_extra_verbose():
        print("CL calling convert on " + str(net) + " depth " + "%d" % depth)
        print("CL calling convert on " + str(name_so_far) + ": " + str(type(net).__name__)
              + ", depth " + "%d" % depth)
    if type(net) is ModuleType:
        if GVS.pc.get_extra_verbose():
            print("this is only being called because something in your model is pointed to "
                  "twice by two different variables.  Highest thing on the list is one of "
                  "the duplicates")
        return net
    all_members = net.__dir__()
    if (issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList)
            or issubclass(type(net), list)):
        for submodule_id, _layer in net.named_children():
            if net != net.get_submodule(submodule_id):
                converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
                setattr(net, submodule_id,
                        refresh_vsk(net.get_submodule(submodule_id), depth + 1,
                                    name_so_far + "[" + str(submodule_id) + "]", converted_list))
            if type(net.get_submodule(submodule_id)).__name__ == "VSKLayer":
                setattr(net, submodule_id, make_module(get_pretrained_vsk_var(net, submodule_id)))
    else:
        if type(net) in GVS.pc.get_modules_to_track():
            return net
        for member in all_members:
            try:
                getattr(net, member, None)
            except (KeyboardInterrupt, SystemExit):  # a user's interrupt stops the walk
                raise
            except BaseException:  # the probe swallows every other error
                continue
            sub_name = name_so_far + "." + member
            if member == "device" or member == "dtype":
                continue
            if sub_name in GVS.pc.get_module_names_to_not_save():
                continue
            if name_so_far == "":
                if (sub_name in GVS.pc.get_module_names_to_not_save()
                        or sub_name in converted_list):
                    if GVS.pc.get_extra_verbose():
                        print("Skipping %s during save" % sub_name)
                    continue
            if (issubclass(type(getattr(net, member, None)), nn.Module)
                    or member == "layer_array"):
                converted_list += [sub_name]
                if net != getattr(net, member):
                    setattr(net, member,
                            refresh_vsk(getattr(net, member), depth + 1, sub_name, converted_list))
            if type(getattr(net, member, None)).__name__ == "VSKLayer":
                setattr(net, member, make_module(get_pretrained_vsk_attr(net, member)))
    if type(net).__name__ == "VSKLayer":
        net = make_module(net)
    return net


# ------------------------------------------------------------ block-wise side

class VSKLayer(nn.Module):
    def __init__(self, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites,
                 node_index, num_cycles, view_tuple):
        super(VSKLayer, self).__init__()
        self.layer_array = layer_array
        self.register_buffer("num_cycles", num_cycles)
        self.register_buffer("view_tuple", torch.tensor(view_tuple))
        self.processor_array = processor_array
        if dendrites_to_dendrites:
            self.skip_weights = dendrites_to_dendrites
        else:
            self.skip_weights = nn.ParameterList([torch.zeros(1, 1, 1)])
        if dendrites_to_top:
            self.skip_weights.append(dendrites_to_top[len(dendrites_to_top) - 1])
        else:
            self.skip_weights = nn.ParameterList()
        if len(self.skip_weights) == 0:
            del self.skip_weights
        self.node_index = node_index
        self.internal_nonlinearity = GVS.pc.get_vsk_forward_function()



def unWrap_params(model):
    for p in model.parameters():
        if "wrapped" in p.__dir__():
            del p.wrapped


def convert_to_vsk_layer_block(pretrained_dendrite):
    unWrap_params(pretrained_dendrite)
    layer_array = []
    processor_array = []
    for layer_id in range(0, len(pretrained_dendrite.dendrite_module.layers)):
        layer_array.append(pretrained_dendrite.dendrite_module.layers[layer_id])
        if pretrained_dendrite.dendrite_module.processors == []:
            processor_array.append(None)
        else:
            if pretrained_dendrite.dendrite_module.processors[layer_id] is not None:
                pretrained_dendrite.dendrite_module.processors[layer_id].pre = \
                    pretrained_dendrite.dendrite_module.processors[layer_id].pre_d
                pretrained_dendrite.dendrite_module.processors[layer_id].post = \
                    pretrained_dendrite.dendrite_module.processors[layer_id].post_d
            processor_array.append(pretrained_dendrite.dendrite_module.processors[layer_id])
    layer_array.append(pretrained_dendrite.main_module)
    if pretrained_dendrite.processor is not None:
        pretrained_dendrite.processor.pre = pretrained_dendrite.processor.post_n1
        pretrained_dendrite.processor.post = pretrained_dendrite.processor.post_n2
    processor_array.append(pretrained_dendrite.processor)
    view_tuple = []
    for dim in range(0, len(pretrained_dendrite.dendrite_module.dendrite_values[0]
                            .this_output_dimensions)):
        if dim == pretrained_dendrite.dendrite_module.dendrite_values[0].this_node_index:
            view_tuple.append(-1)
        else:
            view_tuple.append(1)
    return VSKLayer(nn.Sequential(*layer_array), processor_array,
                    pretrained_dendrite.dendrites_to_top,
                    pretrained_dendrite.dendrite_module.dendrites_to_dendrites,
                    pretrained_dendrite.this_node_index,
                    pretrained_dendrite.dendrite_module.num_cycles, view_tuple)


def blockwise_network(net):
    return optimize_module(net, 0, "", [])


def optimize_module(net, depth, name_so_far, converted_list):
    all_members = net.__dir__()
    if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
        for submodule_id, _layer in net.named_children():
            if type(net.get_submodule(submodule_id)) is VS.VSKNeuronModule:
                if GVS.pc.get_extra_verbose():
                    print("Seq sub is VSK so optimizing: %s" % name_so_far
                          + "[" + str(submodule_id) + "]")
                setattr(net, submodule_id,
                        convert_to_vsk_layer_block(net.get_submodule(submodule_id)))
                continue
            if net != net.get_submodule(submodule_id):
                converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
                setattr(net, submodule_id,
                        optimize_module(net.get_submodule(submodule_id), depth + 1,
                                        name_so_far + "[" + str(submodule_id) + "]",
                                        converted_list))
                continue
            if GVS.pc.get_extra_verbose():
                print("%s is a self pointer so skipping"
                      % (name_so_far + "[" + str(submodule_id) + "]"))
    else:
        for member in all_members:
            try:
                getattr(net, member, None)
            except (KeyboardInterrupt, SystemExit):  # a user's interrupt stops the walk
                raise
            except BaseException:  # the probe swallows every other error
                continue
            sub_name = name_so_far + "." + member
            if sub_name in GVS.pc.get_module_names_to_not_save() or sub_name in converted_list:
                if GVS.pc.get_extra_verbose():
                    print("Skipping %s during save" % sub_name)
                continue
            if type(getattr(net, member, None)) is VS.VSKNeuronModule:
                if GVS.pc.get_extra_verbose():
                    print("Sub is in conversion list so initiating optimization for: %s"
                          % name_so_far + "." + member)
                setattr(net, member, convert_to_vsk_layer_block(getattr(net, member)))
                continue
            if issubclass(type(getattr(net, member, None)), nn.Module):
                if net != getattr(net, member):
                    converted_list += [sub_name]
                    setattr(net, member,
                            optimize_module(getattr(net, member), depth + 1, sub_name,
                                            converted_list))
                else:
                    if GVS.pc.get_extra_verbose():
                        print("%s is a self pointer so skipping" % sub_name)
    return net
