"""The whole road on real architectures: wrap, add dendrites, convert, compare.

Small randomly initialised models from `transformers` (no download: configs
only), PyTorch's own transformer modules and a backbone under digit keys
(torchvision's segmentation and detection models too, where torchvision
loads). Per model it prints the layers wrapped, converted and left (and
why), the largest difference between the trained and the converted network
in sequential and threaded mode, the verdict of `veskari.convert`'s own
check, and how many warnings and log records of other libraries `convert`
let through. Then the models with tied embeddings go through
`save_pretrained` and back. Needs `pip install transformers`; not part of
`make test` (run it with `make real-models`).
"""
import copy
import logging
import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402
from torch import nn  # noqa: E402

import digit_backbone  # noqa: E402
import tied_saving  # noqa: E402
import veskari  # noqa: E402
from veskari import clean_veskari  # noqa: E402
from veskari._conversion.compare_outputs import Mismatch, largest_difference  # noqa: E402
from veskari.modules_veskari import VSKNeuronModule  # noqa: E402
from veskari.utils_veskari import (  # noqa: E402
    LayerLeftUnwrappedWarning,
    add_dendrites,
    wrap_layers,
)

# The attention's output projection is named on purpose: it must be left out.
TYPES = [nn.Linear, nn.Conv1d, nn.Conv2d, nn.modules.linear.NonDynamicallyQuantizableLinear]
try:
    from transformers.pytorch_utils import Conv1D  # GPT-2's Linear with a transposed weight

    TYPES.append(Conv1D)
except ImportError:
    pass


def hf(name, config_name, model_name, inputs, **config):
    def build():
        import transformers

        cfg = getattr(transformers, config_name)(**config)
        return getattr(transformers, model_name)(cfg), inputs()
    return name, build


def ids(vocab=64, length=7):
    return lambda: ((torch.randint(0, vocab, (2, length)),), {})


def seq2seq(vocab=64):
    return lambda: ((), {"input_ids": torch.randint(0, vocab, (2, 7)),
                         "decoder_input_ids": torch.randint(0, vocab, (2, 5))})


SMALL = dict(hidden_size=32, num_hidden_layers=2, num_attention_heads=2, intermediate_size=48)
MODELS = [
    hf("BERT", "BertConfig", "BertModel", ids(), vocab_size=64, **SMALL),
    hf("GPT-2", "GPT2Config", "GPT2LMHeadModel", ids(), vocab_size=64, n_embd=32, n_layer=2,
       n_head=2),
    hf("Llama", "LlamaConfig", "LlamaForCausalLM", ids(), vocab_size=64, num_key_value_heads=1,
       **SMALL),
    hf("Qwen2 (tied embeddings)", "Qwen2Config", "Qwen2ForCausalLM", ids(), vocab_size=64,
       num_key_value_heads=1, tie_word_embeddings=True, **SMALL),
    hf("T5", "T5Config", "T5ForConditionalGeneration", seq2seq(), vocab_size=64, d_model=32,
       d_kv=16, d_ff=48, num_layers=2, num_heads=2),
    hf("ViT", "ViTConfig", "ViTModel",
       lambda: ((torch.randn(2, 3, 32, 32),), {}), image_size=32, patch_size=8, **SMALL),
    hf("Whisper", "WhisperConfig", "WhisperForConditionalGeneration",
       lambda: ((), {"input_features": torch.randn(2, 16, 40),
                     "decoder_input_ids": torch.randint(0, 64, (2, 4))}),
       vocab_size=64, num_mel_bins=16, d_model=32, encoder_layers=2, decoder_layers=2,
       encoder_attention_heads=2, decoder_attention_heads=2, encoder_ffn_dim=48,
       decoder_ffn_dim=48, max_source_positions=20, max_target_positions=16,
       pad_token_id=0, bos_token_id=1, eos_token_id=2, decoder_start_token_id=1),
    ("nn.TransformerEncoder (relu)", lambda: (nn.TransformerEncoder(
        nn.TransformerEncoderLayer(32, 2, 48, dropout=0.0, batch_first=True), 2,
        enable_nested_tensor=False), ((torch.randn(2, 7, 32),), {}))),
    ("nn.TransformerDecoder", lambda: (nn.TransformerDecoder(
        nn.TransformerDecoderLayer(32, 2, 48, dropout=0.0, batch_first=True), 2),
        ((torch.randn(2, 5, 32), torch.randn(2, 7, 32)), {}))),
    ("digit-keyed backbone (stand-in)", digit_backbone.stand_in),
    ("torchvision lraspp_mobilenet_v3_large",
     digit_backbone.torchvision_model("lraspp_mobilenet_v3_large", num_classes=3)),
    ("torchvision deeplabv3_mobilenet_v3_large",
     digit_backbone.torchvision_model("deeplabv3_mobilenet_v3_large", num_classes=3)),
    ("torchvision fasterrcnn_mobilenet_v3_large_fpn",
     digit_backbone.torchvision_model("fasterrcnn_mobilenet_v3_large_fpn", num_classes=3)),
]
TIED = [MODELS[1], MODELS[3]]  # GPT-2 ties its head by default


def largest(want, got):
    try:
        return f"{largest_difference(want, got):.3g}"
    except Mismatch as mismatch:
        return f"MISMATCH {mismatch}"


class Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


def others_said(caught, records, since):
    """Warnings and log records of other libraries, from ``since`` on."""
    return (sum(not w.category.__module__.startswith("veskari") for w in caught[since[0]:])
            + sum(not r.name.startswith("veskari") for r in records.records[since[1]:]))


def run_one(name, build):
    torch.manual_seed(0)
    net, (args, kwargs) = build()
    net.eval()
    records = Records()
    loggers = [logging.getLogger(), logging.getLogger("transformers")]
    for logger in loggers:
        logger.addHandler(records)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            wrap_layers(net, TYPES, example_inputs=args, example_kwargs=kwargs)
            add_dendrites(net, 2, init_scale=0.5)
            wrapped = sum(isinstance(m, VSKNeuronModule) for m in net.modules())
            trained = copy.deepcopy(net)
            since = (len(caught), len(records.records))
            try:
                net, report = veskari.convert(net, example_inputs=args, example_kwargs=kwargs)
                verdict = f"passed ({report.max_difference:.3g})"
            except veskari.ConversionMismatchError as err:
                return f"| {name} | {wrapped} | 0 | | | | FAILED: {err} | |", []
            others = others_said(caught, records, since)
    finally:
        for logger in loggers:
            logger.removeHandler(records)
    ours = (veskari.ConversionWarning, LayerLeftUnwrappedWarning)
    notes = [f"{name}: {w.message}" for w in caught if issubclass(w.category, ours)]
    wrappers = [p for p, m in trained.named_modules() if isinstance(m, VSKNeuronModule)]
    left = sum(type(m) in TYPES and not any(p.startswith(w + ".") for w in wrappers)
               for p, m in trained.named_modules())
    with torch.no_grad():
        expected = trained(*args, **kwargs)
        sequential = largest(expected, net(*args, **kwargs))
        clean_veskari.doing_threading = True
        try:
            threaded = largest(expected, net(*args, **kwargs))
        finally:
            clean_veskari.doing_threading = False
    return (f"| {name} | {wrapped} | {len(report.converted)} | {left}{' *' if notes else ''} | "
            f"{sequential} | {threaded} | {verdict} | {others} |"), notes


def main():
    torch.set_num_threads(1)
    print("| model | wrapped | converted | left unwrapped | largest difference sequential | "
          "threaded | check | other libraries' messages in convert |")
    print("|---|---|---|---|---|---|---|---|")
    notes = []
    for name, build in MODELS:
        try:
            row, said = run_one(name, build)
        except ImportError as err:
            row, said = None, [f"{name}: not run, {err}"]
        except Exception as err:  # one model's failure is a row, not the end of the table
            row, said = f"| {name} | ERROR {type(err).__name__}: {err} | | | | | | |", []
        if row:
            print(row, flush=True)
        notes += said
    tied_saving.table(TIED, TYPES)
    print("\n* what the warnings said:")
    for note in notes:
        print("  " + note)


if __name__ == "__main__":
    main()
