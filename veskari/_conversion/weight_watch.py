"""Which of a network's parameters a piece of code wrote, found exactly.

The conversion check runs copies that share the caller's parameter storage,
so a forward that writes its weights in place writes the caller's. A write
through a tensor's version counter is cheap to see, but a write through
``.data`` (a max-norm constraint: ``p.data.mul_(0.5)``) bumps no counter. So
each parameter is also fingerprinted by an exact digest of its bytes, taken
before and after: ``hashlib.blake2b`` reads CPU memory in place through a
memoryview of the tensor's span (no copy, no cast, no sum that two different
contents can share); a tensor on another device is brought over in chunks of
``CHUNK_BYTES``. Cost: one pass over the parameter bytes per fingerprint, at
blake2b's speed on one core (0.5 to 1 GB/s), so a check's two fingerprints
take 2 to 4 seconds per GiB of parameters, and no memory.

Tensors with no strided storage of their own (sparse, quantized, tensor
subclasses such as DTensor) are watched through their version counter only.
"""
from __future__ import annotations

import ctypes
import hashlib

import torch
from torch import nn

from veskari._internal.torch_private import write_count

__all__ = ["CHUNK_BYTES", "ParameterWatch", "digest"]

CHUNK_BYTES = 64 << 20

# A read-only memoryview over raw memory: part of the stable C API.
_PYBUF_READ = 0x100
_memory_view = ctypes.pythonapi.PyMemoryView_FromMemory
_memory_view.restype = ctypes.py_object
_memory_view.argtypes = (ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_int)


def digest(tensor: torch.Tensor) -> bytes | None:
    """An exact digest of the bytes of ``tensor``'s elements (of the span of
    storage they lie in, with their dtype and shape), or None when the
    tensor has no strided storage to read."""
    plain = tensor.detach()
    if (type(plain) is not torch.Tensor or plain.layout != torch.strided or plain.is_meta
            or plain.is_quantized):
        return None
    hasher = hashlib.blake2b(f"{plain.dtype}{tuple(plain.shape)}".encode(), digest_size=32)
    if plain.numel() == 0:
        return hasher.digest()
    elements = 1 + sum((size - 1) * stride
                       for size, stride in zip(plain.shape, plain.stride(), strict=True))
    span = plain.as_strided((elements,), (1,), plain.storage_offset())
    if span.device.type == "cpu":
        hasher.update(_memory_view(span.data_ptr(), elements * span.element_size(), _PYBUF_READ))
    else:
        raw = span.view(torch.uint8)
        for start in range(0, raw.numel(), CHUNK_BYTES):
            chunk = raw[start:start + CHUNK_BYTES].cpu()
            hasher.update(_memory_view(chunk.data_ptr(), chunk.numel(), _PYBUF_READ))
    return hasher.digest()


class ParameterWatch:
    """The parameters of ``net`` as they are now; :meth:`written` names those
    changed since (the parameter objects are held, so a module rebinding its
    attribute does not hide a write to the one it held)."""

    def __init__(self, net: nn.Module):
        self.parameters = list(net.named_parameters())
        self.versions = [_version(p) for _, p in self.parameters]
        self.digests = _digests(self.parameters)

    def written(self) -> list[str]:
        """Names of the parameters whose bytes or write counter changed."""
        now = _digests(self.parameters)
        return [name for (name, p), version, before, after
                in zip(self.parameters, self.versions, self.digests, now, strict=True)
                if _version(p) != version or before != after]


def _version(param: torch.Tensor) -> int | None:
    return None if param.is_inference() else write_count(param)


def _digests(named: list[tuple[str, nn.Parameter]]) -> list[bytes | None]:
    # Tied parameters are one tensor: read once.
    seen: dict[int, bytes | None] = {}
    return [seen[id(p)] if id(p) in seen else seen.setdefault(id(p), digest(p))
            for _, p in named]
