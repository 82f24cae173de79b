"""Tensor storage that conversion adds to a network.

The storages (by data pointer) behind every parameter and buffer are
collected before and after blockwise_network + refresh_net; bytes of
storages that only the converted network holds are new. The trained
tensors are kept alive meanwhile, so a freed address cannot be reused and
miscounted as old.

Expected new storage, per converted layer: the cloned neuron-axis tensor
(node_index) and the view-shape tensor the block layer builds from a list.
Every other tensor is shared with the trained network. (A block's (1, 1, 1)
zero placeholder in skip_weights is not kept: the converted layer takes
skip_weights[1:].) The network is the walk benchmark's, at a smaller size.
"""
import copy
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402

import harness  # noqa: E402
import walk_bench  # noqa: E402
from veskari import reference  # noqa: E402
from veskari.modules_veskari import VSKNeuronModule  # noqa: E402


def storages(net):
    """{data pointer: bytes} of the storages behind parameters and buffers."""
    held = {}
    for t in list(net.parameters()) + list(net.buffers()):
        s = t.untyped_storage()
        held[s.data_ptr()] = s.nbytes()
    return held


def expected_new_bytes(trained):
    total = {"node_index": 0, "view_tuple": 0}
    for m in trained.modules():
        if type(m) is not VSKNeuronModule:
            continue
        total["node_index"] += m.this_node_index.untyped_storage().nbytes()
        ndim = len(m.dendrite_module.dendrite_values[0].this_output_dimensions)
        total["view_tuple"] += torch.tensor([1] * ndim).untyped_storage().nbytes()
    return total


def new_bytes(trained, blockwise, clean):
    net = copy.deepcopy(trained)
    keep = list(net.parameters()) + list(net.buffers())  # no address reuse
    before = storages(net)
    net = clean.refresh_net(blockwise.blockwise_network(net))
    after = storages(net)
    added = sum(n for ptr, n in after.items() if ptr not in before)
    del keep
    return added, sum(after.values()), sum(before.values())


def run():
    clean, blockwise = harness.native_modules()
    if clean is None or blockwise is None:
        print("memory: native converters not built; skipped")
        return []
    trained = walk_bench.template(width=3, depth=3)
    expected = expected_new_bytes(trained)
    want = sum(expected.values())
    print("== memory: new tensor storage after conversion ==")
    print(f"  trained network holds {sum(storages(trained).values())} bytes of storage")
    print("  expected new: " + ", ".join(f"{k} {v} B" for k, v in expected.items())
          + f" = {want} B")
    results = []
    for label, (bw, cl) in (("native", (blockwise, clean)), ("python", (reference, reference))):
        added, after, before = new_bytes(trained, bw, cl)
        print(f"  {label:<7} new {added} B (held after {after} B, before {before} B)")
        pair = (added / want, added / want)
        results.append(harness.Result(f"memory {label}: new bytes / expected", pair,
                                      1.0 if label == "native" else None))
        if label == "native":
            clones = expected["node_index"]
            results.append(harness.Result("memory native: new bytes / node_index clones",
                                          (added / clones, added / clones), None))
    return results


if __name__ == "__main__":
    for r in run():
        print(r.line())
