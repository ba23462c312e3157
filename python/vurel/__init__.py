"""vurel: grapheme-to-phoneme decoding with weighted finite-state transducers."""

from vurel._vurel import *  # noqa: F401,F403
from vurel._vurel import __all__ as _native_all

__all__ = list(_native_all)
