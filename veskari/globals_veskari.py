"""Run-time settings of the package, shared by training and conversion.

The converters read every setting through the getters of ``pc`` at the
moment of use, so a setter called between two uses takes effect at once.
"""
from __future__ import annotations

from collections.abc import Callable, Container

import torch

__all__ = ["Activation", "VeskariSettings", "pc"]

Activation = Callable[[torch.Tensor], torch.Tensor]


class VeskariSettings:
    """The settings object; ``pc`` below is the one the package uses."""

    def __init__(self) -> None:
        self.reset()

    def reset(self) -> None:
        """Restore every setting to its default."""
        self._extra_verbose = False
        self._modules_to_track: Container[type] = []
        # Path names (".encoder[1].proj" style) that the converters skip.
        self._module_names_to_not_save: Container[str] = [".base_model"]
        # Read by C++ too: while get_vsk_forward_function below is this very
        # function, unchanged, on a VeskariSettings instance, and the class
        # has no attribute of this name, the inference layer's native forward
        # reads this instance attribute instead of calling the getter
        # (src/prepared). Change the getter and that read together;
        # tests/test_module_reads.py fails if the getter changes.
        self._vsk_forward_function: Activation = torch.sigmoid

    # Getters read by the converters.
    def get_extra_verbose(self) -> bool:
        """Whether the walks print their diagnostic lines."""
        return self._extra_verbose

    def get_module_names_to_not_save(self) -> Container[str]:
        """Path names the walks skip (default ``[".base_model"]``)."""
        return self._module_names_to_not_save

    def get_modules_to_track(self) -> Container[type]:
        """Module types the clean walk leaves untouched."""
        return self._modules_to_track

    def get_vsk_forward_function(self) -> Activation:
        """The dendrite nonlinearity (default ``torch.sigmoid``)."""
        return self._vsk_forward_function

    # Setters for users.
    def set_extra_verbose(self, value: bool) -> None:
        self._extra_verbose = value

    def set_module_names_to_not_save(self, names: Container[str]) -> None:
        """Path names such as ``".encoder[1].proj"``: root ``""``, attribute
        ``P + "." + name``, container child ``P + "[" + key + "]"``."""
        self._module_names_to_not_save = names

    def set_modules_to_track(self, types: Container[type]) -> None:
        self._modules_to_track = types

    def set_vsk_forward_function(self, function: Activation) -> None:
        self._vsk_forward_function = function


pc = VeskariSettings()
