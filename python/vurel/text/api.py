"""`vurel.phonemize`: texts in, phoneme strings out, in batches on threads."""

from __future__ import annotations

import itertools
import os
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TypeVar

from vurel.g2p import G2P, _flag, _path_or_none, _whole_number
from vurel.text.output import phoneme_line
from vurel.text.pipeline import TextReader
from vurel.text.tokens import Token
from vurel.text.workers import forked_map

T = TypeVar("T")

_readers: dict[tuple, TextReader] = {}
_readers_lock = threading.Lock()


def _reader(lang: str | None, model: str | None, lexicon: str | None, ipa: bool) -> TextReader:
    """One reader (one loaded model) per set of options, kept for later calls."""
    key = (lang, model, lexicon, ipa)
    with _readers_lock:
        reader = _readers.get(key)
        if reader is None:
            reader = _readers[key] = TextReader(G2P(model, lang=lang, lexicon=lexicon, ipa=ipa))
        return reader


def _checked_text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


# render(index of the batch's first text, the batch's texts, their tokens).
Render = Callable[[int, list[str], list[list[Token]]], T]


def render_batches(reader: TextReader, texts: Iterable[str], render: Render, *, jobs: int = 1, batch: int = 256,
                   processes: bool = False) -> Iterator[T]:
    """``render(index of the batch's first text, its texts, their tokens)`` for each
    batch of ``batch`` texts, in order. ``jobs`` batches are read at once:
    on threads sharing the reader, or with ``processes`` (where the
    platform forks) in this process and ``jobs - 1`` worker processes
    forked from it, which share its loaded model and lexicon page by page. Threads share the GIL, and
    most of a text's time is Python's (scanning, the lexicon), so only
    processes scale; a process must not fork while other threads hold
    locks, so a library caller keeps threads."""
    iterator = iter(texts)

    def batches() -> Iterator[tuple[int, list[str]]]:
        first = 0
        while True:
            taken = [text for _, text in zip(range(batch), iterator)]
            if not taken:
                return
            yield first, taken
            first += len(taken)

    def read(job: tuple[int, list[str]]) -> T:
        first, taken = job
        return render(first, taken, reader.read(taken))

    if jobs == 1:
        for job in batches():
            yield read(job)
        return
    if processes and hasattr(os, "fork"):
        pending = batches()
        job = next(pending, None)
        # Built once here, the merged model is shared by the workers forked
        # next instead of built again by each. This process reads batches
        # on its own while a thread builds it, and forks once that thread
        # has ended.
        while job is not None and not reader.build_merged_model(background=True):
            yield read(job)
            job = next(pending, None)
        reader.build_merged_model()
        if job is not None:
            yield from forked_map(read, itertools.chain([job], pending), jobs - 1, share=True)
        return
    pool = ThreadPoolExecutor(jobs, thread_name_prefix="vurel-text")
    finished = False
    try:
        pending: deque[Future] = deque()
        for job in batches():
            pending.append(pool.submit(read, job))
            if len(pending) >= 2 * jobs:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
        finished = True
    finally:
        pool.shutdown(wait=finished, cancel_futures=True)


def phonemize(text_or_texts: str | Sequence[str], lang: str | None = None, *, ipa: bool = False,
              phoneme_separator: str | None = None, word_separator: str | None = None,
              punctuation: bool = True, model: str | os.PathLike[str] | None = None,
              lexicon: str | os.PathLike[str] | None = "default", jobs: int = 1,
              batch: int = 256) -> str | list[str]:
    """The phonemes of a text, or of each text of a list, as strings.

    Each word's best pronunciation (lexicon first, then the model), its
    phonemes joined by ``phoneme_separator`` (default a space; with
    ``ipa``, each word's IPA as one string unless a separator is given),
    words and punctuation marks joined by ``word_separator`` (default
    ``" | "``, with ``ipa`` a space); ``punctuation=False`` leaves the marks
    out. Numbers, dates, amounts and abbreviations are read in ``lang``'s
    way first (English by default; with a ``model`` of your own, ``lang``
    also brings its lexicon, as for `vurel.G2P`). ``jobs`` threads read ``batch`` texts at a time (they
    share the GIL: most of the work is Python's, so more threads gain
    little; `vurel text --jobs` uses processes). The model
    of a set of options is loaded once and kept for later calls.
    Raises TypeError or ValueError naming the argument that is wrong.
    """
    single = isinstance(text_or_texts, str)
    if single:
        texts: list[str] = [text_or_texts]
    elif isinstance(text_or_texts, (list, tuple)):
        texts = list(text_or_texts)
        for index, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"text_or_texts[{index}] must be a str, not {type(text).__name__}")
    else:
        raise TypeError(f"text_or_texts must be a str or a list of str, not {type(text_or_texts).__name__}")
    code = None
    if lang is not None:
        _checked_text("lang", lang)
        from vurel import languages

        try:
            code = languages.get(lang).code
        except ValueError as error:
            raise ValueError(f"lang: {error}") from None
    _flag("ipa", ipa)
    _flag("punctuation", punctuation)
    if phoneme_separator is not None:
        _checked_text("phoneme_separator", phoneme_separator)
    if word_separator is not None:
        _checked_text("word_separator", word_separator)
    jobs = _whole_number("jobs", jobs, 1)
    batch = _whole_number("batch", batch, 1)
    reader = _reader(code, _path_or_none("model", model), _path_or_none("lexicon", lexicon), ipa)
    use_ipa = ipa and phoneme_separator is None
    phonemes = " " if phoneme_separator is None else phoneme_separator
    words = (" " if ipa else " | ") if word_separator is None else word_separator

    def render(first: int, taken: list[str], tokens: list[list[Token]]) -> list[str]:
        return [phoneme_line(found, ipa=use_ipa, phoneme_separator=phonemes, word_separator=words,
                             punctuation=punctuation) for found in tokens]

    lines = [line for rendered in render_batches(reader, texts, render, jobs=jobs, batch=batch) for line in rendered]
    return lines[0] if single else lines
