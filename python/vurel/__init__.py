"""vurel: grapheme-to-phoneme decoding with weighted finite-state transducers."""

from vurel._vurel import Model, PathData

__all__ = ["Model", "PathData"]
