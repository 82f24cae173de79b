"""The eager forward of veskari.inference.InferenceLayer (private)."""
from typing import Any, final

@final
class Plan:
    """Rows of a converted layer viewed once (opaque)."""

def run(layer: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """The layer's eager forward in sequential mode."""

def release(layer: Any) -> None:
    """Drop the rows viewed for the layer; they are made again at its next call."""
