"""One trial forward that records which neuron modules ran.

``wrap_layers(example_inputs=...)`` uses it to find layers whose parent
never calls them, and ``veskari.convert`` to find neuron modules whose
dendrites do not count. No hook is used: a forward hook would switch
PyTorch's transformer fast path off, and the trial would not see the
network the user runs. Instead every neuron module's forward adds itself to
:data:`recording` while a trial runs.
"""
from __future__ import annotations

from typing import Any

import torch
from torch import nn

# The ids of the neuron modules called so far in the running trial, or None.
recording: set[int] | None = None


def positional(example_inputs: Any) -> tuple[Any, ...]:
    """Example inputs as positional arguments: a tuple is the arguments, anything
    else the one argument, None none."""
    if example_inputs is None:
        return ()
    return example_inputs if isinstance(example_inputs, tuple) else (example_inputs,)


def trial_forward(net: nn.Module, args: tuple[Any, ...], kwargs: dict[str, Any],
                  note: str) -> tuple[Any, set[int]]:
    """``net(*args, **kwargs)`` once, without grad, on a CPU random stream
    seeded 0 (the caller's left as it was); the output, and the ids of the
    neuron modules whose forward ran. ``note`` is added to what it raises."""
    global recording
    outer, recording = recording, set()
    called = recording
    try:
        with torch.no_grad(), torch.random.fork_rng(devices=[]):
            torch.default_generator.manual_seed(0)
            return net(*args, **kwargs), called
    except Exception as err:
        err.add_note(note)
        raise
    finally:
        recording = outer
