#!/usr/bin/env bash
# Runs the C++ tests and the Python tests (on Python 3.11) against a build
# with AddressSanitizer and UndefinedBehaviorSanitizer, then fuzzes the
# model reader and the trainer for a bounded time each (FUZZ_SECONDS,
# default 30). One clang build directory serves all of it, so the core and
# the trainer are compiled once.
# Expects scripts/test.sh to have run (it makes .venv/py3.11).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang
source scripts/build-env.sh

build=build/sanitizers
fuzz_seconds=${FUZZ_SECONDS:-30}
jobs=$(nproc)
python=.venv/py3.11/bin/python
[ -x "$python" ] || python=$(scripts/python-env.sh 3.11)
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only $sanitizers" \
  -DVUREL_BUILD_TESTS=ON -DVUREL_BUILD_PYTHON=ON -DVUREL_BUILD_FUZZERS=ON \
  -DVUREL_BUILD_TRAINER=ON \
  -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --test-dir "$build" --output-on-failure -j "$jobs"

# The modules under the installed package's Python files, with
# the sanitizer runtime loaded ahead of the interpreter. The interpreter
# itself is not instrumented and keeps some memory until exit, so leak
# detection is off here.
echo "== pytest on $("$python" --version) under AddressSanitizer"
package=$("$python" -c 'import os, vurel; print(os.path.dirname(vurel.__file__))')
stage=$build/python-stage
rm -rf "$stage"
mkdir -p "$stage"
cp -r "$package" "$stage/vurel"
rm -f "$stage"/vurel/_vurel*.so "$stage"/vurel/_train*.so "$stage"/vurel/_native*.so
cp "$build"/_vurel*.so "$build"/_train*.so "$build"/_native*.so "$stage/vurel/"
PYTHONPATH=$stage LD_PRELOAD=$(clang -print-file-name=libclang_rt.asan-x86_64.so) \
  ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 \
  "$python" -m pytest -q -n "$jobs" -p no:cacheprovider tests/python

# fuzz NAME MAKE_CORPUS [libFuzzer options]: runs fuzz/NAME for
# FUZZ_SECONDS from the corpus that fuzz/MAKE_CORPUS writes.
fuzz() {
  local name=$1 make_corpus=$2
  shift 2
  echo "== fuzzing with $name for ${fuzz_seconds}s"
  local corpus=$build/fuzz-corpus/$name initial=$build/fuzz-initial-corpus/$name
  mkdir -p "$corpus" "$build/fuzz-findings"
  python3 "fuzz/$make_corpus" "$initial"
  "$build/fuzz/$name" -max_total_time="$fuzz_seconds" -timeout=30 \
    -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-findings/$name-" "$@" "$corpus" "$initial"
}
fuzz model_reader_fuzzer make_initial_corpus.py
fuzz dictionary_trainer_fuzzer make_dictionary_corpus.py -max_len=2048
# The text layer's target is small and fast (about 20,000 inputs a second): 20 s at most.
fuzz_seconds=$(( fuzz_seconds < 20 ? fuzz_seconds : 20 )) fuzz text_fuzzer make_text_corpus.py
