"""The text layer: running text to tokens that keep their place, read aloud
in the language's way, each word pronounced by the word front end.

`TextReader` reads texts with a `vurel.G2P`; `phonemize` is the one-call
form; `Token` is what both give. Each language's conventions (number marks,
dates, money, units, abbreviations, letter names) are data, in
``data/<code>.toml``; number words come from ICU's spell-out.
"""

from vurel.text.api import phonemize, render_batches
from vurel.text.pipeline import TextReader
from vurel.text.tokens import KINDS, Token

__all__ = ["KINDS", "TextReader", "Token", "phonemize", "render_batches"]
