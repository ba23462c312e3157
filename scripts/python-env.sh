#!/usr/bin/env bash
# Usage: scripts/python-env.sh VERSION
# Makes (or reuses) the virtual environment .venv/pyVERSION with vurel and
# its test dependencies installed from this checkout; prints its python.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
source scripts/build-env.sh
source scripts/lib/find-python.sh

interpreter=$(find_python "$version") || { echo "no Python $version found" >&2; exit 3; }
venv=.venv/py$version
[ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >&2
"$venv/bin/python" -m pip install -q ".[test]" >&2
echo "$venv/bin/python"
