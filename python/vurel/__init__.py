"""vurel: grapheme-to-phoneme decoding with weighted finite-state transducers.

`G2P` pronounces words as the ``vurel`` command does; `Model` is the decoder
itself. ``Model.phoneticize_paths(word, write_fsts=True)`` also writes the
word's acceptor and lattice to ``WORD.fst`` and ``WORD.lat.fst`` in the
current directory, the file names made from the word as given, so a word
holding ``/`` or ``..`` writes somewhere else: a debugging aid for trusted
words only. `G2P` and the command line never set it.
"""

# The one place the version is written; packaging reads it from here.
__version__ = "0.1.0"

from vurel._vurel import Model, PathData  # noqa: E402
from vurel.english_model import default_model  # noqa: E402
from vurel.g2p import G2P, Pronunciation, WordResult  # noqa: E402
from vurel.text import phonemize  # noqa: E402
from vurel.training import evaluate, train  # noqa: E402

__all__ = ["G2P", "Model", "PathData", "Pronunciation", "WordResult", "__version__", "default_model",
           "evaluate", "phonemize", "train"]
