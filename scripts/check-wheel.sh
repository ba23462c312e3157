#!/usr/bin/env bash
# Usage: scripts/check-wheel.sh
# The quick wheel check that CI runs: builds the cp311 wheel, installs it
# without network into a fresh venv without system site packages, from the
# wheel and its dependencies downloaded first, and runs ldd on its ELF files,
# `vurel g2p hello world vurel`, and `vurel train`/`evaluate` on a small dictionary
# (scripts/lib/wheel-check-stage.sh). scripts/check-wheel-chroot.sh does the
# same and runs the test suite on a root without OpenFst.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/find-python.sh

python=$(find_python 3.11) || { echo "Python 3.11 is required" >&2; exit 1; }
wheel=$(scripts/build-wheels.sh 3.11 | grep 'cp311.*\.whl$')
check=build/wheel-venv-check
rm -rf "$check"
mkdir -p "$check/wheels"
cp "$wheel" "$check/wheels/"
"$python" -m pip download -q --only-binary=:all: --dest "$check/wheels" "$wheel[test]"
PYTHON=$python scripts/lib/wheel-check-stage.sh "$check" without-openfst
