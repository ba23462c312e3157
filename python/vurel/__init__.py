"""vurel: grapheme-to-phoneme decoding with weighted finite-state transducers."""

from vurel._vurel import Model, PathData
from vurel.english_model import default_model
from vurel.training import evaluate, train

__all__ = ["Model", "PathData", "default_model", "evaluate", "train"]
