#!/usr/bin/env bash
# Installs what is needed, then runs every test: the C++ tests through
# ctest, and the Python tests on every interpreter here that can build the
# module (3.11, and 3.13 where it is installed), one pytest worker a core.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/build-env.sh

jobs=$(nproc)
cmake -S . -B build/tests -DVUREL_BUILD_TESTS=ON -DVUREL_BUILD_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

for version in 3.11 3.13; do
  if ! python=$(scripts/python-env.sh "$version"); then
    [ "$version" = 3.11 ] && { echo "Python 3.11 is required" >&2; exit 1; }
    echo "Python $version not found; skipping its tests" >&2
    continue
  fi
  echo "== pytest on $("$python" --version)"
  "$python" -m pytest -q -n "$jobs" tests/python
done
