"""Whole networks end to end: the trained network, what veskari.convert returns,
and the plain native form (convert(prepare=False)).

Two example networks with two dendrites on every wrapped layer, batch 4, one
intra-op thread, timed interleaved in one run under each way of calling:
torch.inference_mode(), torch.no_grad(), and a plain call with grad enabled
(which, with trainable skip weights, takes the native forward by design).
The per-layer figures of prepared_bench.py time one layer alone; here the
layers' own arithmetic (attention, convolutions) counts too.
"""
import copy
import os
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import torch  # noqa: E402
from torch import nn  # noqa: E402

import harness  # noqa: E402
import veskari  # noqa: E402
from veskari.utils_veskari import add_dendrites, wrap_layers  # noqa: E402

REPEATS = 21
WINDOW = 0.02
BATCH = 4
MODES = {"inference_mode": torch.inference_mode, "no_grad": torch.no_grad,
         "grad": torch.enable_grad}


class ResidualBlock(nn.Module):
    def __init__(self, channels):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1)

    def forward(self, x):
        return torch.relu(x + self.conv2(torch.relu(self.conv1(x))))


def residual_convnet():
    net = nn.Sequential(nn.Conv2d(3, 16, 3, padding=1), nn.ReLU(),
                        *(ResidualBlock(16) for _ in range(3)),
                        nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(16, 10))
    return net, [nn.Conv2d, nn.Linear], (torch.randn(BATCH, 3, 16, 16),)


def transformer_encoder():
    layer = nn.TransformerEncoderLayer(128, 4, 512, batch_first=True, dropout=0.0,
                                       activation=nn.functional.silu)
    net = nn.Sequential(nn.TransformerEncoder(layer, 2, enable_nested_tensor=False),
                        nn.Linear(128, 128))
    return net, [nn.Linear], (torch.randn(BATCH, 32, 128),)


NETWORKS = {"conv net": residual_convnet, "transformer": transformer_encoder}


def network_case(label, factory):
    torch.manual_seed(0)
    trained, types, args = factory()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # out_proj is left unwrapped, as it should be
        add_dendrites(wrap_layers(trained, types), 2)
    trained.eval()
    native, _ = veskari.convert(copy.deepcopy(trained), prepare=False)
    converted, _ = veskari.convert(copy.deepcopy(trained), example_inputs=args)
    fns = {"trained": lambda: trained(*args), "convert()": lambda: converted(*args),
           "prepare=False": lambda: native(*args)}
    results = []
    for mode, context in MODES.items():
        with context():
            want = trained(*args)
            for name in ("convert()", "prepare=False"):
                torch.testing.assert_close(fns[name](), want, rtol=1e-5, atol=1e-5)
            t = harness.timed_in_window(f"{label}, {mode}", fns, "trained", REPEATS, WINDOW, 5)
        for other in ("trained", "prepare=False"):
            pair = harness.ratio(t["convert()"], t[other])
            print(f"  convert()/{other:<14} {pair[0]:.3f} {pair[1]:.3f}")
            results.append(harness.Result(f"{label}, {mode}: convert()/{other}", pair, None))
    return results


def run():
    print(f"== whole networks end to end, batch {BATCH} (torch intra-op threads: 1) ==")
    results = []
    with harness.single_thread_torch():
        for label, factory in NETWORKS.items():
            results += network_case(label, factory)
    return results


if __name__ == "__main__":
    for r in run():
        print(r.line())
