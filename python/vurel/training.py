"""Training models from pronunciation dictionaries, and measuring them.

Both calls run vurel's trainer in this process (the extension module
``vurel._train``); the decoder's module never loads it.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any, Literal

StrPath = str | os.PathLike[str]


def _trainer_module():
    try:
        from vurel import _train
    except ImportError as error:  # built without the trainer
        raise RuntimeError(f"this vurel was built without its trainer ({error})") from None
    return _train


def _existing_file(path: StrPath, what: str) -> str:
    """``path`` as text, when it names something to read: a device or a pipe
    (``/dev/stdin``) will do, a directory will not."""
    text = os.fspath(path)
    if not os.path.exists(text):
        raise FileNotFoundError(f"{what} not found: {text}")
    if os.path.isdir(text):
        raise IsADirectoryError(f"{what} {text} is a directory, not a file")
    return text


def train(
    dictionary: StrPath,
    model: StrPath,
    *,
    format: Literal["auto", "cmu", "tsv"] = "auto",
    skip_malformed: bool = False,
    strip_stress: bool = False,
    order: int = 9,
    smoothing: Literal["kn", "wb"] = "kn",
    max_letters: int = 1,
    max_phonemes: int = 1,
    insertions: bool = True,
    deletions: bool = True,
    many_to_many: bool = False,
    iterations: int = 30,
    alternatives: int = 1,
    align_stress: bool = False,
    primary_stress: Literal["auto", "one", "any"] = "auto",
    progress: Callable[[str], object] | None = None,
) -> dict[str, Any]:
    """Trains a model from a pronunciation dictionary and writes it to ``model``.

    The dictionary is in the CMU format (``WORD  P1 P2 ...``, variants
    ``WORD(2)``, ``;;;`` comments) or tab-separated (``word<TAB>p1 p2 ...``),
    UTF-8. A malformed line raises ValueError naming the file and line, unless
    ``skip_malformed`` counts it in the report instead. The options are those
    of ``vurel train`` (see ``vurel train --help``). ``progress``, when given,
    is called with a line of text at each stage. Returns the training report:
    entries, skipped lines, duplicates, unalignable entries, units, n-grams,
    whether one primary stress per word was enforced, the model's states,
    arcs and bytes, and the seconds taken.

    Raises FileNotFoundError for a missing dictionary, ValueError for bad
    input or options, and any exception of ``progress`` (or an interrupt),
    which stops training before it writes anything: a model already at
    ``model`` stays as it was.
    """
    return _trainer_module().train(
        _existing_file(dictionary, "dictionary"),
        os.fspath(model),
        format=format,
        skip_malformed=skip_malformed,
        strip_stress=strip_stress,
        order=order,
        smoothing=smoothing,
        max_letters=max_letters,
        max_phonemes=max_phonemes,
        insertions=insertions,
        deletions=deletions,
        many_to_many=many_to_many,
        iterations=iterations,
        alternatives=alternatives,
        align_stress=align_stress,
        primary_stress=primary_stress,
        progress=progress,
    )


def evaluate(
    model: StrPath,
    dictionary: StrPath,
    *,
    format: Literal["auto", "cmu", "tsv"] = "auto",
    skip_malformed: bool = False,
    strip_stress: bool = False,
    errors: bool = False,
) -> dict[str, Any]:
    """Measures ``model`` on the words of ``dictionary``.

    Each distinct word is decoded (best pronunciation only). It is right when
    that pronunciation equals one of its variants; its phoneme errors are the
    edit distance to the nearest variant. Returns words, word errors, ``wer``
    and ``per`` in percent, words with letters the model does not know, the
    decoding time, and with ``errors=True`` the list of wrong words (word,
    predicted, references, edits).
    """
    return _trainer_module().evaluate(
        _existing_file(model, "model"),
        _existing_file(dictionary, "dictionary"),
        format=format,
        skip_malformed=skip_malformed,
        strip_stress=strip_stress,
        errors=errors,
    )
