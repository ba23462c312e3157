"""Small models for the command-line tests, compiled with OpenFst's fstcompile."""

from __future__ import annotations

import signal
import subprocess
import sys
import time
from pathlib import Path

# Graphemes and phonemes; label 1 is the tie, label 2 the skip symbol.
INPUT_SYMBOLS = ["<eps>", "|", "_", "a", "b", "c", "e", "h", "o", "t", "x", "c|h"]
OUTPUT_SYMBOLS = ["<eps>", "|", "_", "AE1", "EY1", "B", "K", "S", "CH", "HH", "OW1", "AA1", "T", "IY0", "K|S"]

# One state, final, looping over every grapheme-to-phoneme pair:
# (input, output, weight).
ARCS = [
    ("a", "AE1", 0.5), ("a", "EY1", 1.5),
    ("b", "B", 0.1),
    ("c", "K", 0.2), ("c", "S", 1.0),
    ("c|h", "CH", 0.3), ("h", "HH", 0.4),
    ("e", "_", 0.3), ("e", "IY0", 1.0),
    ("o", "OW1", 0.5), ("o", "AA1", 0.9),
    ("t", "T", 0.1),
    ("x", "K|S", 0.2),
]


def _write_symbols(path: Path, symbols: list[str]) -> None:
    path.write_text("".join(f"{text}\t{label}\n" for label, text in enumerate(symbols)))


def compile_model(directory: Path, arcs=ARCS, name: str = "model.fst", output_symbols=OUTPUT_SYMBOLS,
                  input_symbols=INPUT_SYMBOLS) -> Path:
    """Compiles the one-state model of ``arcs`` into ``directory``; returns its path."""
    directory.mkdir(parents=True, exist_ok=True)
    isyms, osyms = directory / "isyms.txt", directory / "osyms.txt"
    _write_symbols(isyms, input_symbols)
    _write_symbols(osyms, output_symbols)
    text = "".join(f"0\t0\t{i}\t{o}\t{w}\n" for i, o, w in arcs) + "0\n"
    model = directory / name
    subprocess.run(
        ["fstcompile", f"--isymbols={isyms}", f"--osymbols={osyms}", "--keep_isymbols", "--keep_osymbols",
         "-", str(model)],
        input=text.encode(), check=True,
    )
    return model


def run_vurel(*args: str, input: str | bytes | None = None, env: dict | None = None, timeout: float = 120):
    """Runs ``python -m vurel`` with ``args``; returns the completed process (text output)."""
    data = input.encode() if isinstance(input, str) else input
    completed = subprocess.run(
        [sys.executable, "-m", "vurel", *args],
        input=data, capture_output=True, env=env, timeout=timeout,
    )
    completed.stdout = completed.stdout.decode()
    completed.stderr = completed.stderr.decode()
    return completed


class SlowFakeDecoder:
    """A decoder whose words take different times, so that worker processes
    finish chunks out of order: word ``"w<N>"`` sleeps ``N % 5`` ms and yields
    one pronunciation naming N; ``"none<N>"`` yields none."""

    def decode(self, word: str):
        number = int(word.lstrip("nonew") or 0)
        time.sleep((number % 5) / 1000)
        if word.startswith("none"):
            return []
        return [(float(number), [f"P{number}"])]


def wait_for_sigterm_handler(process: subprocess.Popen, timeout: float = 30.0) -> None:
    """Waits until ``process`` catches SIGTERM (its command line has started),
    so that a test's pause before a signal does not include the start-up
    of a loaded machine."""
    mask = 1 << (signal.SIGTERM - 1)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        with open(f"/proc/{process.pid}/status") as status:
            caught = next(line for line in status if line.startswith("SigCgt:"))
        if int(caught.split()[1], 16) & mask:
            return
        time.sleep(0.02)
