"""The skeleton routes on small real architectures, bitwise the network
converted after loading; a tensor left on meta is named, never used."""
import re
import warnings

import pytest
import torch
import torch.distributed.checkpoint as dcp
from torch import nn

import veskari
from helpers import assert_same_tensors, distributed_checkpoint, filled_skeleton
from veskari.utils_veskari import add_dendrites, wrap_layers

transformers = pytest.importorskip("transformers")
from safetensors.torch import load_file  # noqa: E402  (comes with transformers)
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


def wrapped(config):
    auto = transformers.AutoModel if config.model_type == "bert" \
        else transformers.AutoModelForCausalLM
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a tied head is left unwrapped, with a warning
        model = wrap_layers(auto.from_config(config), [nn.Linear, Conv1D])
    return add_dendrites(model, 2, init_scale=0.5).eval()


def output(model):
    with torch.no_grad():
        result = model(input_ids=torch.arange(10).view(2, 5))
    return result.get("last_hidden_state", result.get("logits"))


@pytest.mark.parametrize("name", sorted(CONFIGS))
def test_every_route_fills_a_skeleton_bitwise(name, tmp_path):
    torch.manual_seed(0)
    trained = wrapped(CONFIGS[name]())
    trained.save_pretrained(tmp_path, max_shard_size="20KB")  # drops a tied pair's second key
    torch.save(trained.state_dict(), tmp_path / "whole.pt")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dcp.save(trained.state_dict(), checkpoint_id=tmp_path / "dcp")
    shards = sorted(tmp_path.glob("*.safetensors"))
    assert len(shards) > 1
    expected, _ = veskari.convert(trained)
    config = transformers.AutoConfig.from_pretrained(tmp_path)
    for states in ([torch.load(tmp_path / "whole.pt", mmap=True)], map(load_file, shards),
                   [distributed_checkpoint(tmp_path / "dcp")]):
        model = filled_skeleton(lambda: wrapped(config), states)
        assert_same_tensors(expected, model)
        assert torch.equal(output(expected), output(model))


@pytest.mark.parametrize("name, build, left", [
    ("llama", "device", "model.rotary_emb.inv_freq (buffer)"),
    ("bert", "device", "embeddings.position_ids (buffer)"),
    ("bert", "skeleton", "pooler.dense.layer_array.2.weight (parameter)"),
])
def test_a_tensor_left_on_meta_is_named_before_any_output(name, build, left):
    config = CONFIGS[name]()
    state = wrapped(config).state_dict()
    with veskari.skeleton() if build == "skeleton" else torch.device("meta"):
        model = wrapped(config)
    if build == "skeleton":
        del state["pooler.dense.main_module.weight"]
    model, report = veskari.convert(model)
    model.load_state_dict(report.translate(state), strict=False, assign=True)
    for check in (veskari.check_loaded, output):
        with pytest.raises(ValueError, match=r"still on the meta device.*" + re.escape(left)):
            check(model)
