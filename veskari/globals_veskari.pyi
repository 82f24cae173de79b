"""Run-time settings shared by training and conversion; the converters read
them through ``pc`` at the moment of use."""
from collections.abc import Callable, Container

import torch

class VeskariSettings:
    """The settings object; ``pc`` is the one the package uses."""

    def __init__(self) -> None: ...
    def reset(self) -> None:
        """Restore every setting to its default."""
    def get_extra_verbose(self) -> bool:
        """Whether the walks print their diagnostic lines."""
    def get_module_names_to_not_save(self) -> Container[str]:
        """Path names the walks skip (default ``[".base_model"]``)."""
    def get_modules_to_track(self) -> Container[type]:
        """Module types the clean walk leaves untouched."""
    def get_vsk_forward_function(self) -> Callable[[torch.Tensor], torch.Tensor]:
        """The dendrite nonlinearity (default ``torch.sigmoid``)."""
    def set_extra_verbose(self, value: bool) -> None: ...
    def set_module_names_to_not_save(self, names: Container[str]) -> None:
        """Path names such as ``".encoder[1].proj"``: root ``""``, attribute
        ``P + "." + name``, container child ``P + "[" + key + "]"``."""
    def set_modules_to_track(self, types: Container[type]) -> None: ...
    def set_vsk_forward_function(
        self, function: Callable[[torch.Tensor], torch.Tensor]
    ) -> None: ...

pc: VeskariSettings
