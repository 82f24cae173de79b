"""The large-model routes on small real architectures: a skeleton built inside
veskari.skeleton(), converted, then filled from a whole checkpoint, from
save_pretrained's shards and from a distributed checkpoint, is bitwise the
network converted after loading; a tensor left on meta is named, not used."""
import re
import warnings

import pytest
import torch
import torch.distributed.checkpoint as dcp
from torch import nn

import veskari
from veskari.utils_veskari import add_dendrites, wrap_layers

transformers = pytest.importorskip("transformers")
safetensors_torch = pytest.importorskip("safetensors.torch")
from transformers.pytorch_utils import Conv1D  # noqa: E402

SMALL = dict(hidden_size=16, num_hidden_layers=1, num_attention_heads=2, intermediate_size=32,
             vocab_size=64, max_position_embeddings=32, bos_token_id=0, eos_token_id=0)
CONFIGS = {
    "bert": lambda: transformers.BertConfig(**SMALL),
    "gpt2": lambda: transformers.GPT2Config(n_embd=16, n_layer=1, n_head=2, vocab_size=64,
                                            n_positions=32, bos_token_id=0, eos_token_id=0),
    "llama": lambda: transformers.LlamaConfig(**SMALL, num_key_value_heads=1),
    "qwen2 tied": lambda: transformers.Qwen2Config(**SMALL, num_key_value_heads=1,
                                                   tie_word_embeddings=True),
}
IDS = torch.arange(10).view(2, 5)


def wrapped(config):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the tied head is left unwrapped, with a warning
        model = transformers.AutoModel.from_config(config) if config.model_type == "bert" \
            else transformers.AutoModelForCausalLM.from_config(config)
        return add_dendrites(wrap_layers(model, [nn.Linear, Conv1D]), 2, init_scale=0.5).eval()


def converted_skeleton(config):
    with veskari.skeleton():
        model = wrapped(config)
    return veskari.convert(model)


def output(model):
    with torch.no_grad():
        result = model(input_ids=IDS)
    return result.last_hidden_state if "last_hidden_state" in result else result.logits


def read_whole(path, report):
    return [report.translate(torch.load(path / "trained.pt", mmap=True))]


def read_shards(path, report):
    return [report.translate(safetensors_torch.load_file(file))
            for file in sorted(path.glob("*.safetensors"))]


def read_distributed(path, report):
    metadata = dcp.FileSystemReader(path / "dcp").read_metadata().state_dict_metadata
    state = {key: torch.empty(m.size, dtype=m.properties.dtype) for key, m in metadata.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "assuming the intent is to load in a single process"
        dcp.load(state, checkpoint_id=path / "dcp")
    return [report.translate(state)]


@pytest.mark.parametrize("name", sorted(CONFIGS))
def test_every_route_fills_a_skeleton_bitwise(name, tmp_path):
    torch.manual_seed(0)
    trained = wrapped(CONFIGS[name]())
    trained.save_pretrained(tmp_path, max_shard_size="20KB")
    torch.save(trained.state_dict(), tmp_path / "trained.pt")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dcp.save(trained.state_dict(), checkpoint_id=tmp_path / "dcp")
    assert len(list(tmp_path.glob("*.safetensors"))) > 1
    expected, _ = veskari.convert(trained)
    want = expected.state_dict()
    config = transformers.AutoConfig.from_pretrained(tmp_path)
    for read in (read_whole, read_shards, read_distributed):
        model, report = converted_skeleton(config)
        for shard in read(tmp_path, report):
            assert not model.load_state_dict(shard, strict=False, assign=True).unexpected_keys
        model.tie_weights()
        veskari.check_loaded(model)
        got = model.state_dict()
        assert list(got) == list(want) and all(torch.equal(want[k], got[k]) for k in want)
        for a, b in zip(expected.buffers(), model.buffers(), strict=True):  # non-persistent too
            assert torch.equal(a, b)
        assert torch.equal(output(expected), output(model)), read.__name__


@pytest.mark.parametrize("name, build, left", [
    ("llama", "device", "model.rotary_emb.inv_freq (buffer)"),
    ("bert", "device", "embeddings.position_ids (buffer)"),
    ("bert", "skeleton", "pooler.dense.layer_array.2.weight (parameter)"),
])
def test_a_tensor_left_on_meta_is_named_before_any_output(name, build, left):
    torch.manual_seed(0)
    config = CONFIGS[name]()
    state = wrapped(config).state_dict()
    if build == "device":  # the route that leaves non-persistent buffers on meta
        with torch.device("meta"):
            model, report = veskari.convert(wrapped(config))
    else:
        model, report = converted_skeleton(config)
        state.pop("pooler.dense.main_module.weight")
    model.load_state_dict(report.translate(state), strict=False, assign=True)
    for check in (veskari.check_loaded, output):
        with pytest.raises(ValueError, match=r"still on the meta device.*" + re.escape(left)):
            check(model)
