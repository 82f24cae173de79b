"""Run-time settings of the package, shared by training and conversion.

The converters read every setting through the getters of ``pc`` at the
moment of use, so a setter called between two uses takes effect at once.
"""
import torch


class VeskariSettings:
    """The settings object; ``pc`` below is the one the package uses."""

    def __init__(self):
        self.reset()

    def reset(self):
        """Restore every setting to its default."""
        self._extra_verbose = False
        self._modules_to_track = []
        # Path names (".encoder[1].proj" style) that the converters skip.
        self._module_names_to_not_save = [".base_model"]
        self._vsk_forward_function = torch.sigmoid

    # Getters read by the converters.
    def get_extra_verbose(self):
        return self._extra_verbose

    def get_module_names_to_not_save(self):
        return self._module_names_to_not_save

    def get_modules_to_track(self):
        return self._modules_to_track

    def get_vsk_forward_function(self):
        return self._vsk_forward_function

    # Setters for users.
    def set_extra_verbose(self, value):
        self._extra_verbose = value

    def set_module_names_to_not_save(self, names):
        self._module_names_to_not_save = names

    def set_modules_to_track(self, types):
        self._modules_to_track = types

    def set_vsk_forward_function(self, function):
        self._vsk_forward_function = function


pc = VeskariSettings()
