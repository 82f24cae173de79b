"""save_pretrained and loading back, for causal language models whose head
is tied to the input embeddings: after wrapping and after converting, the
saved file must load into a network built the same way, with the tie intact
and the same outputs."""
import glob
import tempfile
import warnings

import torch

import veskari
from veskari._conversion.compare_outputs import Mismatch, largest_difference
from veskari.utils_veskari import add_dendrites, wrap_layers


def built(make, types, seed, convert):
    torch.manual_seed(seed)
    net, (args, kwargs) = make()
    net.eval()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the tied head is left unwrapped, with a warning
        wrap_layers(net, types)
        add_dendrites(net, 2, seed=seed, init_scale=0.5)
        if convert:
            net, _ = veskari.convert(net)
    return net, args, kwargs


def round_trip(make, types, convert):
    from safetensors.torch import load_file

    saved, args, kwargs = built(make, types, 0, convert)
    with tempfile.TemporaryDirectory() as folder:
        saved.save_pretrained(folder)
        state = {}
        for path in glob.glob(f"{folder}/*.safetensors"):
            state.update(load_file(path))
    loaded, _, _ = built(make, types, 1, convert)
    result = loaded.load_state_dict(state, strict=False)
    tied = loaded.get_output_embeddings().weight is loaded.get_input_embeddings().weight
    with torch.no_grad():
        want, got = saved(*args, **kwargs), loaded(*args, **kwargs)
        try:
            difference = f"{largest_difference(want, got):.3g}"
        except Mismatch as mismatch:
            difference = f"MISMATCH {mismatch}"
    missing = ", ".join(result.missing_keys + result.unexpected_keys) or "none"
    return f"saved; keys not in the file: {missing}; tie {'kept' if tied else 'LOST'}; " \
           f"difference {difference}"


def table(models, types):
    print("\n| tied model | saved after wrapping, loaded back | saved after converting, "
          "loaded back |")
    print("|---|---|---|")
    for name, make in models:
        cells = []
        for convert in (False, True):
            try:
                cells.append(round_trip(make, types, convert))
            except Exception as err:  # a failure is a cell, not the end of the table
                cells.append(f"ERROR {type(err).__name__}: {str(err)[:160]}")
        print(f"| {name} | {cells[0]} | {cells[1]} |", flush=True)

