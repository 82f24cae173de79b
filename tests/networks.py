"""Seeded example dendrite networks for end-to-end tests.

Each factory returns ``(net, example_input_args)``: a network in eval mode
and a tuple of positional inputs. Calling a factory twice gives identical
weights and inputs, and leaves the global RNG as it was.
"""
import torch
import torch.nn.functional as F
from torch import nn

from veskari.utils_veskari import add_dendrites, wrap_layers, wrap_module

# Large enough that a wrongly routed dendrite weight changes the output
# well beyond assert_close tolerances.
INIT_SCALE = 0.5


class LayerGetter(nn.ModuleDict):
    """Runs its children in order and returns the outputs named in ``return_layers``,
    as torchvision's backbone getter keyed "0", "1", ... does."""

    def __init__(self, layers, return_layers):
        super().__init__(layers)
        self.return_layers = return_layers

    def forward(self, x):
        found = {}
        for name, layer in self.items():
            x = layer(x)
            if name in self.return_layers:
                found[self.return_layers[name]] = x
        return found


def _seeded(factory):
    def build():
        with torch.random.fork_rng(devices=[]):
            torch.manual_seed(1234)
            net, args = factory()
        return net.eval(), args
    build.__name__ = factory.__name__
    build.__doc__ = factory.__doc__
    return build


class ZooMLP(nn.Module):
    def __init__(self):
        super().__init__()
        self.inp = wrap_module(nn.Linear(8, 16))
        self.body = nn.Sequential(
            wrap_module(nn.Linear(16, 16)), nn.ReLU(),
            nn.Sequential(wrap_module(nn.Linear(16, 16)), nn.Tanh()))
        self.blocks = nn.ModuleList([
            nn.Sequential(wrap_module(nn.Linear(16, 16)), nn.ReLU()),
            wrap_module(nn.Linear(16, 12))])
        self.head = nn.Linear(12, 4)

    def forward(self, x):
        x = torch.relu(self.inp(x))
        x = self.body(x)
        for block in self.blocks:
            x = block(x)
        return self.head(x)


@_seeded
def mlp():
    """Linear neuron modules at several depths with 2, 3, 1, 0, 2 dendrites."""
    net = ZooMLP()
    add_dendrites(net.inp, 2, seed=1, init_scale=INIT_SCALE)
    add_dendrites(net.body[0], 3, seed=2, init_scale=INIT_SCALE)
    add_dendrites(net.body[2][0], 1, seed=3, init_scale=INIT_SCALE)
    add_dendrites(net.blocks[1], 2, seed=4, init_scale=INIT_SCALE)
    return net, (torch.randn(5, 8),)


class ZooResNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.conv1 = nn.Conv2d(8, 8, 3, padding=1)
        self.bn1 = nn.BatchNorm2d(8)
        self.conv2 = nn.Conv2d(8, 8, 3, padding=1)
        self.down = nn.Conv2d(8, 12, 3, stride=2, padding=1)
        self.head = nn.Linear(12, 5)

    def forward(self, x):
        x = torch.relu(self.stem(x))
        y = torch.relu(self.bn1(self.conv1(x)))
        x = torch.relu(x + self.conv2(y))
        x = torch.relu(self.down(x))
        return self.head(x.mean(dim=(2, 3)))


@_seeded
def resnet():
    """Residual conv net; Conv2d neuron modules (axis 1) and a Linear head."""
    net = wrap_layers(ZooResNet(), [nn.Conv2d, nn.Linear])
    add_dendrites(net.stem, 2, seed=1, init_scale=INIT_SCALE)
    add_dendrites(net.conv1, 1, seed=2, init_scale=INIT_SCALE)
    add_dendrites(net.conv2, 3, seed=3, init_scale=INIT_SCALE)
    add_dendrites(net.head, 2, seed=4, init_scale=INIT_SCALE)
    # Non-trivial running statistics, so eval-mode normalisation matters.
    net.bn1.running_mean.uniform_(-0.2, 0.2)
    net.bn1.running_var.uniform_(0.5, 1.5)
    return net, (torch.randn(2, 3, 8, 8),)


@_seeded
def transformer():
    """Encoder whose feed-forward linear1/linear2 are neuron modules."""
    # A non-relu/gelu activation keeps PyTorch off its fused fast path,
    # which reads linear1.weight directly and would skip the dendrites.
    layer = nn.TransformerEncoderLayer(
        d_model=16, nhead=2, dim_feedforward=24, dropout=0.0,
        activation=F.silu, batch_first=True)
    net = nn.TransformerEncoder(layer, num_layers=2, enable_nested_tensor=False)
    for i, enc in enumerate(net.layers):
        enc.linear1 = wrap_module(enc.linear1)
        enc.linear2 = wrap_module(enc.linear2)
        add_dendrites(enc.linear1, 2 + i, seed=10 + i, init_scale=INIT_SCALE)
        add_dendrites(enc.linear2, 1 + i, seed=20 + i, init_scale=INIT_SCALE)
    return net, (torch.randn(2, 5, 16),)


class ZooRecurrent(nn.Module):
    def __init__(self):
        super().__init__()
        self.rnn = wrap_module(nn.LSTM(6, 10, batch_first=True))
        self.head = wrap_module(nn.Linear(20, 3))
        # Non-zero initial state: only the main LSTM may receive it.
        self.h0 = nn.Parameter(torch.randn(1, 1, 10) * 0.5)
        self.c0 = nn.Parameter(torch.randn(1, 1, 10) * 0.5)

    def forward(self, x):
        batch = x.shape[0]
        hx = (self.h0.expand(1, batch, 10).contiguous(), self.c0.expand(1, batch, 10).contiguous())
        out, (h, c) = self.rnn(x, hx)
        # Uses the passed-through cell state as well as the output sequence.
        return self.head(torch.cat([out[:, -1], c[-1]], dim=-1))


@_seeded
def recurrent():
    """LSTM neuron module (recurrent processors, LSTM dendrites) + Linear head."""
    net = ZooRecurrent()
    add_dendrites(net.rnn, 2, seed=1, init_scale=INIT_SCALE)
    add_dendrites(net.head, 1, seed=2, init_scale=INIT_SCALE)
    return net, (torch.randn(3, 7, 6),)


ALL_NETWORKS = {
    "mlp": mlp,
    "resnet": resnet,
    "transformer": transformer,
    "recurrent": recurrent,
}
