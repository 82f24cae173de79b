"""A trained checkpoint loaded into a network converted as a skeleton on meta."""
import copy
import io
import re

import pytest
import torch
import torch.nn.functional as F
from torch import nn

import veskari
from helpers import snapshot
from networks import ALL_NETWORKS
from veskari.utils_veskari import add_dendrites, wrap_layers


class Block(nn.Module):
    """Attention and MLP of a transformer block, with the head tied to the embedding."""

    def __init__(self, width=16, heads=2, vocabulary=11):
        super().__init__()
        self.heads = heads
        self.embed, self.norm = nn.Embedding(vocabulary, width), nn.LayerNorm(width)
        self.qkv, self.proj = nn.Linear(width, 3 * width), nn.Linear(width, width)
        self.up, self.down = nn.Linear(width, 4 * width), nn.Linear(4 * width, width)
        self.head = nn.Linear(width, vocabulary, bias=False)
        self.head.weight = self.embed.weight

    def forward(self, ids):
        x = self.embed(ids)
        q, k, v = (t.unflatten(-1, (self.heads, -1)).transpose(1, 2)
                   for t in self.qkv(self.norm(x)).chunk(3, dim=-1))
        x = x + self.proj(F.scaled_dot_product_attention(q, k, v).transpose(1, 2).flatten(2))
        return self.head(x + self.down(F.gelu(self.up(self.norm(x)))))


def block():
    net = add_dendrites(wrap_layers(Block(), [nn.Linear]), 2, init_scale=0.5)
    return net.eval(), (torch.arange(12).remainder(11).view(2, 6),)


@pytest.mark.parametrize("shards", [1, 2])
@pytest.mark.parametrize("build", [*ALL_NETWORKS.values(), block],
                         ids=[*ALL_NETWORKS, "transformer block"])
def test_a_trained_checkpoint_fills_a_skeleton_converted_on_meta(build, shards):
    trained, args = build()
    saved = io.BytesIO()
    torch.save(trained.state_dict(), saved)
    saved.seek(0)
    state = torch.load(saved)
    expected, _ = veskari.convert(trained)
    with torch.device("meta"):
        skeleton, report = veskari.convert(build()[0])
    keys, came = list(state), set()
    for part in [keys] if shards == 1 else [keys[:len(keys) // 2], keys[len(keys) // 2:]]:
        shard = report.translate({key: state[key] for key in part})
        assert not skeleton.load_state_dict(shard, strict=shards == 1, assign=True).unexpected_keys
        came |= set(shard)
    want, got = expected.state_dict(), skeleton.state_dict()
    assert came == set(got) and list(want) == list(got)
    assert all(torch.equal(want[key], got[key]) for key in want)
    assert all(len({id(skeleton.get_parameter(k)) for k in tie}) == 1 for tie in report.tied)
    with torch.no_grad():
        assert torch.equal(expected(*args), skeleton(*args))
    dropped = [key for record in report.keys.values() for key in record.dropped]
    assert dropped and not set(dropped) & came


def test_a_network_on_meta_is_not_checked():
    with torch.device("meta"):
        net = block()[0]
    with pytest.raises(ValueError, match="cannot check a network on the meta device"):
        veskari.convert(net, torch.zeros(2, 3, dtype=torch.long))


@pytest.mark.parametrize("change, error, message", [
    (lambda state, old, new: None, TypeError, "needs a state_dict .* got NoneType"),
    (lambda state, old, new: {**state, new: state[old] + 1}, ValueError,
     "'{old}' and '{new}' are one weight under two names but hold different values"),
    (lambda state, old, new: {**state, new: state[old].clone()}, None, ""),
    (lambda state, old, new: {**state, "head.weight": state["embed.weight"] + 1}, ValueError,
     "'embed.weight' and 'head.weight' are tied keys but hold different values"),
    (lambda state, old, new: {**state, old: 3}, TypeError, "under '{old}' is of type int, not"),
    (lambda state, old, new: {**state, "qkv.this_node_index": [1]}, TypeError,
     "under 'qkv.this_node_index' is of type list"),
], ids=["not a mapping", "two names", "two names, equal", "tied", "renamed int", "cloned list"])
def test_translate_chooses_nothing_silently(change, error, message):
    trained = block()[0]
    state = {key: value.clone() for key, value in trained.state_dict().items()}
    net, report = veskari.convert(trained)
    old, new = next(iter(report.keys["qkv"].renamed.items()))
    given, before = change(state, old, new), snapshot(net)
    kept = copy.deepcopy(given)
    if error is None:
        assert torch.equal(report.translate(given)[new], state[old])
    else:
        with pytest.raises(error, match=message.format(old=re.escape(old), new=re.escape(new))):
            report.translate(given)
    assert before == snapshot(net) and repr(given) == repr(kept)
