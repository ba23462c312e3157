#!/usr/bin/env bash
# Usage: scripts/check-wheel.sh [VERSION...]     (default: 3.11)
# The quick wheel check that CI runs: for each CPython version, builds its
# wheel, installs it without network into a fresh venv without system site
# packages, from the wheel and its dependencies downloaded first (with the
# French data of `vurel[fr]`), and runs ldd on its ELF files, `vurel g2p hello
# world vurel`, `vurel text "It costs $4.50 on 9 Dec."`, `vurel g2p --lang fr
# bonjour`, and `vurel train` / `evaluate` on a small dictionary
# (scripts/lib/wheel-check-stage.sh).
# scripts/check-wheel-chroot.sh does the same and runs the test suite on a
# root without OpenFst or ICU.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/find-python.sh

versions=("$@")
((${#versions[@]})) || versions=(3.11)
for version in "${versions[@]}"; do
  python=$(find_python "$version") || { echo "no Python $version found" >&2; exit 3; }
  tag=cp${version/./}
  wheel=$(scripts/build-wheels.sh "$version" | grep "$tag.*\.whl$")
  check=build/wheel-venv-check/$tag
  rm -rf "$check"
  mkdir -p "$check/wheels"
  cp "$wheel" "$check/wheels/"
  "$python" -m pip download -q --only-binary=:all: --dest "$check/wheels" "$wheel[test]"
  # The French data package comes as a source archive only: made into a wheel
  # here, so that the stage installs everything without network.
  "$python" -m pip wheel -q --no-deps --wheel-dir "$check/wheels" "gruut-lang-fr>=2.0"
  echo "== $(basename "$wheel") on $("$python" --version)"
  PYTHON=$python scripts/lib/wheel-check-stage.sh "$check" without-openfst
done
