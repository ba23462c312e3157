"""Decoding word streams, in this process or in worker processes.

A `Model` is bound to the thread that made it, so parallel decoding uses
processes, each loading its own `Model`. Words travel in chunks; at most a
few chunks per worker are in flight, and results are handed back strictly in
input order, so memory stays flat however long the stream is.
"""

from __future__ import annotations

import multiprocessing
import signal
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from dataclasses import dataclass
from typing import Protocol

# A pronunciation: the path weight (-log probability; 0.0 for lexicon entries)
# and its phonemes.
Pronunciation = tuple[float, list[str]]

CASE_CHOICES = ("auto", "keep", "lower", "upper")


@dataclass(frozen=True)
class DecodeOptions:
    model_path: str
    delim: str = ""
    nbest: int = 1
    beam: int = 10000
    threshold: float = 99.0
    pmass: float = 99.0
    accumulate: bool = False
    case: str = "auto"


class WordDecoder(Protocol):
    def decode(self, word: str) -> list[Pronunciation]: ...


def _model_case(model) -> str:
    """The case to fold words to: a model that knows only lower-case ASCII
    letters (or only upper-case) gets words in that case."""
    lower = any(model.find_isym(letter) is not None for letter in "abcdefghijklmnopqrstuvwxyz")
    upper = any(model.find_isym(letter) is not None for letter in "ABCDEFGHIJKLMNOPQRSTUVWXYZ")
    if lower and not upper:
        return "lower"
    if upper and not lower:
        return "upper"
    return "keep"


class ModelDecoder:
    """Decodes words with one `Model`, on the thread that creates it."""

    def __init__(self, options: DecodeOptions) -> None:
        from vurel._vurel import Model

        self._model = Model(options.model_path, options.delim)
        self._options = options
        self._case = _model_case(self._model) if options.case == "auto" else options.case

    def decode(self, word: str) -> list[Pronunciation]:
        if self._case == "lower":
            word = word.lower()
        elif self._case == "upper":
            word = word.upper()
        options = self._options
        paths = self._model.phoneticize_paths(
            word,
            nbest=options.nbest,
            beam=options.beam,
            threshold=options.threshold,
            accumulate=options.accumulate,
            pmass=options.pmass,
        )
        find_osym = self._model.find_osym
        results: list[Pronunciation] = []
        for path in paths:
            phonemes = [text for text in map(find_osym, path.uniques) if text is not None]
            results.append((path.path_weight, phonemes))
        return results


_worker_decoder: WordDecoder | None = None


def _start_worker(factory: Callable[[], WordDecoder]) -> None:
    global _worker_decoder
    # The parent handles Ctrl-C and shuts the pool down; a worker that also
    # reacted would print a traceback for every process.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _worker_decoder = factory()


def _decode_chunk(words: list[str]) -> list[list[Pronunciation]]:
    assert _worker_decoder is not None
    return [_worker_decoder.decode(word) for word in words]


def _chunks(items: Iterable[str], size: int) -> Iterator[list[str]]:
    """Groups ``items`` in lists of ``size``; when reading fails, the items
    read so far come out before the error."""
    chunk: list[str] = []
    iterator = iter(items)
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            break
        except Exception:
            if chunk:
                yield chunk
            raise
        chunk.append(item)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


Lookup = Callable[[str], "list[Pronunciation] | None"]
# Result of one word: its pronunciations and whether they came from the lookup.
Decoded = tuple[str, list[Pronunciation], bool]


def decode_in_order(
    words: Iterable[str],
    factory: Callable[[], WordDecoder],
    jobs: int = 1,
    lookup: Lookup | None = None,
    chunk_size: int = 64,
    chunks_per_job: int = 4,
) -> Iterator[Decoded]:
    """Yields each word of ``words`` with its pronunciations, in input order.

    A word for which ``lookup`` returns pronunciations is not decoded. With
    ``jobs`` 1 the other words are decoded here, one at a time, as they are
    read. Otherwise ``jobs`` worker processes each build their decoder with
    ``factory`` (a picklable callable) and decode chunks of ``chunk_size``
    words; at most ``jobs * chunks_per_job`` chunks are read ahead. An
    exception raised while reading ``words`` is re-raised after every word
    read before it has been yielded.
    """
    def known(word: str) -> list[Pronunciation] | None:
        return lookup(word) if lookup is not None else None

    if jobs <= 1:
        decoder: WordDecoder | None = None
        for word in words:
            found = known(word)
            if found is not None:
                yield word, found, True
                continue
            if decoder is None:
                decoder = factory()
            yield word, decoder.decode(word), False
        return

    context = multiprocessing.get_context("spawn")
    pending: deque[tuple[list[str], list[list[Pronunciation] | None], Future[list[list[Pronunciation]]]]] = deque()
    limit = jobs * chunks_per_job

    def finish(chunk: list[str], found: list[list[Pronunciation] | None], future: Future) -> Iterator[Decoded]:
        decoded = iter(future.result())
        for word, entry in zip(chunk, found):
            if entry is not None:
                yield word, entry, True
            else:
                yield word, next(decoded), False

    with ProcessPoolExecutor(jobs, mp_context=context, initializer=_start_worker, initargs=(factory,)) as pool:
        try:
            reading_error: Exception | None = None
            chunks = _chunks(words, chunk_size)
            while True:
                try:
                    chunk = next(chunks)
                except StopIteration:
                    break
                except Exception as error:  # noqa: BLE001 - re-raised once earlier words are out
                    reading_error = error
                    break
                found = [known(word) for word in chunk]
                unknown = [word for word, entry in zip(chunk, found) if entry is None]
                pending.append((chunk, found, pool.submit(_decode_chunk, unknown)))
                while len(pending) >= limit:
                    yield from finish(*pending.popleft())
            while pending:
                yield from finish(*pending.popleft())
            if reading_error is not None:
                raise reading_error
        finally:
            for _, _, future in pending:
                future.cancel()
