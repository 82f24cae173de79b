"""A backbone held in a digit-keyed ModuleDict, as torchvision's segmentation
and detection models hold theirs, and those models themselves where
torchvision loads (its wheel from the index is a CUDA build whose compiled
ops do not load against the CPU torch).
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import torch  # noqa: E402
from torch import nn  # noqa: E402

from networks import LayerGetter  # noqa: E402


def conv_bn(cin, cout, kernel=3, stride=1, groups=1):
    return nn.Sequential(nn.Conv2d(cin, cout, kernel, stride, kernel // 2, groups=groups,
                                   bias=False), nn.BatchNorm2d(cout), nn.Hardswish())


class InvertedResidual(nn.Module):
    def __init__(self, channels, expand):
        super().__init__()
        self.block = nn.Sequential(conv_bn(channels, expand, 1),
                                   conv_bn(expand, expand, groups=expand),
                                   nn.Conv2d(expand, channels, 1))

    def forward(self, x):
        return x + self.block(x)


class Segmenter(nn.Module):
    """A small MobileNet-like backbone under keys "0", "1", ... and a two-branch head."""

    def __init__(self, classes=3):
        super().__init__()
        layers = {"0": conv_bn(3, 16, stride=2), "1": InvertedResidual(16, 32),
                  "2": conv_bn(16, 24, stride=2), "3": InvertedResidual(24, 48)}
        self.backbone = LayerGetter(layers, {"1": "low", "3": "high"})
        self.low = nn.Conv2d(16, classes, 1)
        self.high = nn.Conv2d(24, classes, 1)

    def forward(self, x):
        found = self.backbone(x)
        high = nn.functional.interpolate(self.high(found["high"]), size=found["low"].shape[-2:])
        return self.low(found["low"]) + high


def stand_in():
    return Segmenter().eval(), ((torch.randn(2, 3, 32, 32),), {})


def torchvision_model(name, **kwargs):
    """A torchvision model by name, built without weights; ImportError where it does not load."""
    def build():
        try:
            from torchvision import models
        except Exception as err:  # a CUDA build's ops fail to register on the CPU torch
            raise ImportError(f"torchvision does not load here ({type(err).__name__}: "
                              f"{str(err)[:80]})") from err
        family = models.detection if "rcnn" in name else models.segmentation
        net = getattr(family, name)(weights=None, weights_backbone=None, **kwargs)
        return net.eval(), (([torch.rand(3, 64, 64)],) if "rcnn" in name
                            else (torch.randn(1, 3, 64, 64),), {})
    return build
