"""Model files for the binding tests: a model compiled with OpenFst's fstcompile, and
byte-level files written here for the cases fstcompile cannot express."""

from __future__ import annotations

import gc
import math
import struct
import subprocess
from pathlib import Path

import pytest

from vurel import Model

# Label 1 is the tie of each table; label 2 is vetoed on the output side.
# The last input symbol is what a lone surrogate turns into for lookups.
INPUT_SYMBOLS = ["<eps>", "|", "_", "a", "b", "c", "x", "é", "a|b", "w", "h", "z", "\ufffd\ufffd\ufffd"]
OUTPUT_SYMBOLS = ["<eps>", "|", "_", "A", "B", "K", "S", "E", "AB", "K|S", "W", "H", "Z"]

# One state, final, looping over (grapheme, phoneme, weight). The input "_" has no arc,
# so a word holding it has no pronunciation.
ARCS = [
    ("a", "A", 1.0), ("a", "E", 2.0),
    ("b", "B", 1.0),
    ("c", "K", 0.5), ("c", "S", 1.5),
    ("a|b", "AB", 0.25),
    ("x", "K|S", 0.2), ("x", "K|S", 1.2),
    ("é", "E", 0.7),
    ("w", "W", 0.03125), ("h", "H", 1e30), ("z", "Z", 0.0),
]


def _symbol_file(path: Path, symbols: list[str]) -> Path:
    path.write_text("".join(f"{text}\t{label}\n" for label, text in enumerate(symbols)), encoding="utf-8")
    return path


def compile_fst(directory: Path, name: str, arcs=ARCS) -> Path:
    """Compiles a one-state model over INPUT_SYMBOLS/OUTPUT_SYMBOLS with fstcompile."""
    isyms = _symbol_file(directory / "isyms.txt", INPUT_SYMBOLS)
    osyms = _symbol_file(directory / "osyms.txt", OUTPUT_SYMBOLS)
    text = "".join(f"0\t0\t{i}\t{o}\t{w}\n" for i, o, w in arcs) + "0\n"
    path = directory / name
    subprocess.run(
        ["fstcompile", f"--isymbols={isyms}", f"--osymbols={osyms}", "--keep_isymbols", "--keep_osymbols",
         "-", str(path)],
        input=text.encode(), check=True,
    )
    return path


def _string(text: str | bytes) -> bytes:
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("<i", len(data)) + data


def _symbol_table(symbols: list[str | bytes]) -> bytes:
    data = struct.pack("<i", 0x7EB2FB74) + _string("symbols") + struct.pack("<qq", len(symbols), len(symbols))
    for label, text in enumerate(symbols):
        data += _string(text) + struct.pack("<q", label)
    return data


def fst_file_bytes(states, isyms=None, osyms=None, start=0) -> bytes:
    """A binary vector-FST file. `states` holds (final weight or None, [(ilabel, olabel, weight, next)])."""
    flags = (1 if isyms is not None else 0) | (2 if osyms is not None else 0)
    arc_count = sum(len(arcs) for _, arcs in states)
    data = struct.pack("<i", 0x7EB2FDD6) + _string("vector") + _string("standard")
    data += struct.pack("<iiQqqq", 2, flags, 0, start, len(states), arc_count)
    if isyms is not None:
        data += _symbol_table(isyms)
    if osyms is not None:
        data += _symbol_table(osyms)
    for final, arcs in states:
        data += struct.pack("<fq", math.inf if final is None else final, len(arcs))
        for ilabel, olabel, weight, next_state in arcs:
            data += struct.pack("<IIfI", ilabel, olabel, weight, next_state)
    return data


@pytest.fixture(autouse=True)
def collect_cycles_on_this_thread():
    """Collects the reference cycles a test leaves, on the main thread that made their
    models: a collection a later test's worker thread set off would find them there, and
    report them as dropped on another thread."""
    yield
    gc.collect()


@pytest.fixture(scope="session")
def model_dir(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("models")


@pytest.fixture(scope="session")
def model_path(model_dir) -> Path:
    return compile_fst(model_dir, "model.fst")


@pytest.fixture
def model(model_path) -> Model:
    return Model(str(model_path))


@pytest.fixture(scope="session")
def write_model(model_dir):
    """Writes raw FST bytes to a fresh file of the session's model directory; returns its path as str."""
    count = 0

    def write(data: bytes) -> str:
        nonlocal count
        count += 1
        path = model_dir / f"raw{count}.fst"
        path.write_bytes(data)
        return str(path)

    return write


def call_in_thread(function, *args, **kwargs):
    """Runs `function` on a new thread; returns (result, exception) with any BaseException caught."""
    import threading

    outcome = {"result": None, "exception": None}

    def run():
        try:
            outcome["result"] = function(*args, **kwargs)
        except BaseException as error:  # the internal-error exception is a BaseException
            outcome["exception"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return outcome["result"], outcome["exception"]
