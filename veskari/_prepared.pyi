"""The eager forward of veskari.inference.InferenceLayer (private)."""
from typing import Any

def run(layer: Any, plan: tuple[Any, ...], args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """The prepared forward, or NotImplemented when the plan no longer fits."""
