"""veskari: dendrite-augmented PyTorch networks.

The training side lives in :mod:`veskari.modules_veskari` and
:mod:`veskari.utils_veskari`; settings in :mod:`veskari.globals_veskari`.
Two native converters turn a trained network into an inference network:
``veskari.blockwise_veskari.blockwise_network`` then
``veskari.clean_veskari.refresh_net``. ``veskari.deploy.compilable`` makes a
converted network traceable by ``torch.compile`` and ``torch.export``.

This file imports nothing heavy, so that importing a submodule costs only
what that submodule needs.
"""

__version__ = "0.1.0"
