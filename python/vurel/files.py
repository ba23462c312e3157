"""One message per kind of failure to open a model or lexicon file, for the
command line and the Python API alike."""

from __future__ import annotations

import os


class NotAModelError(ValueError):
    """A file that exists but is not a usable model; the message says why."""


def check_readable(path: str, what: str) -> None:
    """Raises FileNotFoundError or IsADirectoryError, each with its one
    message, unless ``path`` is a file."""
    if os.path.isdir(path):
        raise IsADirectoryError(f"{what} {path} is a directory, not a file")
    if not os.path.exists(path):
        raise FileNotFoundError(f"{what} {path} not found")


def not_a_model(path: str, reason: str) -> NotAModelError:
    return NotAModelError(f"{path} is not a model file: {reason}")
