"""vurel: grapheme-to-phoneme decoding with weighted finite-state transducers."""

# The one place the version is written; packaging reads it from here.
__version__ = "0.1.0"

from vurel._vurel import Model, PathData  # noqa: E402
from vurel.english_model import default_model  # noqa: E402
from vurel.g2p import G2P, Pronunciation, WordResult  # noqa: E402
from vurel.training import evaluate, train  # noqa: E402

__all__ = ["G2P", "Model", "PathData", "Pronunciation", "WordResult", "__version__", "default_model",
           "evaluate", "train"]
