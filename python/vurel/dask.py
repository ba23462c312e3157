"""Pronouncing Dask collections: a bag of words or of texts, or a dataframe
column of either.

Install with ``pip install vurel[dask]``. Each partition is pronounced on a
worker by a `vurel.G2P` that the worker process makes the first time it
needs one with those settings and keeps for every later partition; only
the settings (plain values) travel, never a front end or a `Model`.
Results keep the input order, and each is what a `vurel.G2P` with the same
settings gives in a single process.

The model file must be readable by every worker at the path given (shared
storage), or be sent to each worker once with `send_model`::

    client = distributed.Client("tcp://scheduler:8786")
    model = vurel.dask.send_model(client, "big.fst")
    words = dask.bag.read_text("s3://bucket/words-*.txt").map(str.strip)
    results = vurel.dask.pronounce_bag(words, model=model, nbest=2)

The default English model (``model=None``) is trained by each worker machine
on first use and cached there, as in a single process.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from distributed.diagnostics.plugin import WorkerPlugin

if TYPE_CHECKING:
    import dask.bag
    import dask.dataframe
    import distributed
    import pandas

    from vurel.g2p import G2P, WordResult

__all__ = ["SentModel", "phonemize_bag", "phonemize_column", "pronounce_bag", "pronounce_column", "send_model"]

Settings = tuple[tuple[str, Any], ...]

# The front ends of this process by settings. A G2P is shared by threads, so
# one per process serves a worker with any number of threads.
_front_ends: dict[Settings, G2P] = {}
_front_ends_lock = threading.Lock()
_text_readers: dict[Settings, Any] = {}
# Model files that `send_model` wrote on this worker, by name.
_sent_models: dict[str, str] = {}


@dataclass(frozen=True)
class SentModel:
    """A model file that `send_model` gave to every worker; pass it as ``model``."""

    name: str


class _ModelFile(WorkerPlugin):
    """Writes a model file into each worker's local directory as the worker
    registers; the scheduler keeps it for workers that join later."""

    def __init__(self, path: Path) -> None:
        self.filename = path.name
        self.name = f"vurel-model-{path.name}"
        self.data = path.read_bytes()

    def setup(self, worker: distributed.Worker) -> None:
        directory = Path(worker.local_directory) / "vurel-models"
        directory.mkdir(exist_ok=True)
        target = directory / self.filename
        partial = target.with_name(f".{self.filename}.partial")
        partial.write_bytes(self.data)
        os.replace(partial, target)
        _sent_models[self.filename] = str(target)


def send_model(client: distributed.Client, path: str | os.PathLike[str]) -> SentModel:
    """Sends the model file at ``path`` to every worker of ``client``'s
    cluster once (and to workers that join later); returns what to pass as
    ``model``. Files are told apart by name: sending another file of the same
    name replaces it."""
    model = Path(path)
    client.register_plugin(_ModelFile(model))
    return SentModel(model.name)


def _settings(options: dict[str, Any]) -> Settings:
    """The front-end keywords as a hashable key, paths as strings."""
    normal = {}
    for key, value in options.items():
        normal[key] = os.fspath(value) if isinstance(value, os.PathLike) else value
    return tuple(sorted(normal.items()))


def front_end(settings: Settings) -> G2P:
    """This process's front end for ``settings``, made on first use."""
    with _front_ends_lock:
        found = _front_ends.get(settings)
        if found is None:
            from vurel.g2p import G2P

            options = dict(settings)
            model = options.pop("model", None)
            if isinstance(model, SentModel):
                if model.name not in _sent_models:
                    raise RuntimeError(f"the model {model.name!r} was not sent to this worker; call send_model first")
                model = _sent_models[model.name]
            found = _front_ends[settings] = G2P(model, **options)
        return found


def _text_reader(settings: Settings):
    """This process's text reader for ``settings``, on its front end."""
    with _front_ends_lock:
        found = _text_readers.get(settings)
    if found is None:
        from vurel.text import TextReader

        reader = TextReader(front_end(settings))
        with _front_ends_lock:
            found = _text_readers.setdefault(settings, reader)
    return found


def front_end_count() -> int:
    """How many front ends this process has made (for `Client.run`)."""
    return len(_front_ends)


def _pronounce_partition(words: Iterable[str], settings: Settings) -> list[WordResult]:
    words = list(words)
    if not words:
        return []
    return list(front_end(settings).pronounce_many(words))


def _pronounce_series(words: pandas.Series, settings: Settings) -> pandas.Series:
    import pandas

    return pandas.Series(_pronounce_partition(words.tolist(), settings), index=words.index, name=words.name,
                         dtype=object)


def pronounce_bag(words: dask.bag.Bag, **options: Any) -> dask.bag.Bag:
    """A bag of `vurel.WordResult`, one per word of ``words`` and in its
    order. ``options`` are `vurel.G2P`'s keywords; ``model`` may also be a
    `SentModel`."""
    return words.map_partitions(_pronounce_partition, _settings(options))


def pronounce_column(words: dask.dataframe.Series, **options: Any) -> dask.dataframe.Series:
    """A series of `vurel.WordResult` with the index of ``words``, a series
    of strings (a dataframe column). Needs ``dask[dataframe]``. ``options``
    as for `pronounce_bag`."""
    return words.map_partitions(_pronounce_series, _settings(options), meta=(words.name, object))


def _phonemize_partition(texts: Iterable[str], settings: Settings, layout: Settings) -> list[str]:
    from vurel.text.output import phoneme_line

    texts = list(texts)
    if not texts:
        return []
    return [phoneme_line(found, **dict(layout)) for found in _text_reader(settings).read(texts)]


def _phonemize_series(texts: pandas.Series, settings: Settings, layout: Settings) -> pandas.Series:
    import pandas

    return pandas.Series(_phonemize_partition(texts.tolist(), settings, layout), index=texts.index,
                         name=texts.name, dtype=object)


def _layout(options: dict[str, Any]) -> tuple[Settings, Settings]:
    """`vurel.phonemize`'s output keywords apart from the front end's."""
    ipa = bool(options.get("ipa", False))
    separator = options.pop("phoneme_separator", None)
    words = options.pop("word_separator", None)
    layout = {"ipa": ipa and separator is None, "phoneme_separator": " " if separator is None else separator,
              "word_separator": (" " if ipa else " | ") if words is None else words,
              "punctuation": options.pop("punctuation", True)}
    return _settings(options), tuple(sorted(layout.items()))


def phonemize_bag(texts: dask.bag.Bag, **options: Any) -> dask.bag.Bag:
    """A bag of strings, what `vurel.phonemize` gives for each text of
    ``texts``, in its order. ``options`` are `vurel.G2P`'s keywords and
    `vurel.phonemize`'s ``phoneme_separator``, ``word_separator`` and
    ``punctuation``; ``model`` may also be a `SentModel`."""
    settings, layout = _layout(dict(options))
    return texts.map_partitions(_phonemize_partition, settings, layout)


def phonemize_column(texts: dask.dataframe.Series, **options: Any) -> dask.dataframe.Series:
    """A series of strings with the index of ``texts``, a column of texts:
    `phonemize_bag` for a dataframe. Needs ``dask[dataframe]``."""
    settings, layout = _layout(dict(options))
    return texts.map_partitions(_phonemize_series, settings, layout, meta=(texts.name, object))
