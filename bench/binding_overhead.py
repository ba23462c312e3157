"""Overhead of the Python binding: one phoneticize_paths call against the C++ driver alone.

Usage: python bench/binding_overhead.py BINDING_OVERHEAD_BINARY [WORD] [CALLS]
Needs vurel importable and OpenFst's fstcompile; compiles the small test model into a
temporary directory and prints both times per call and their ratio.
"""

import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from conftest import compile_fst  # noqa: E402

from vurel import Model  # noqa: E402


def main():
    binary = sys.argv[1]
    word = sys.argv[2] if len(sys.argv) > 2 else "abc"
    calls = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    with tempfile.TemporaryDirectory() as directory:
        path = str(compile_fst(Path(directory), "model.fst"))
        native_ns = float(subprocess.run([binary, path, word, str(calls)], check=True,
                                         capture_output=True, text=True).stdout)
        model = Model(path)
        phoneticize_paths = model.phoneticize_paths
        for _ in range(calls // 10):
            phoneticize_paths(word)
        start = time.perf_counter_ns()
        for _ in range(calls):
            phoneticize_paths(word)
        python_ns = (time.perf_counter_ns() - start) / calls
    print(f"word {word!r}: C++ driver {native_ns:.0f} ns/call, "
          f"Python phoneticize_paths {python_ns:.0f} ns/call, ratio {python_ns / native_ns:.3f}")


if __name__ == "__main__":
    main()
