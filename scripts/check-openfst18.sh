#!/usr/bin/env bash
# Builds vurel against OpenFst 1.8 (Debian 13's libfst-dev) on a Debian 12
# machine, whose own OpenFst is 1.7.9, to show that both versions compile.
#
# Debian 13's packages are downloaded with a private apt state (the
# machine's sources and package lists stay as they are) and unpacked into
# the build folder, never installed. Debian 13's libfst needs a newer glibc
# than Debian 12 has, so on such a machine the programs are linked with
# unresolved symbols allowed and not run: this checks every source file
# against the 1.8 headers, not the behaviour. On a machine whose glibc is new
# enough, the C++ tests are run as well.
#
#   scripts/check-openfst18.sh [BUILD_DIR]    (default build/openfst18)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/openfst18}
suite=trixie

scripts/install-deps.sh
source scripts/build-env.sh
mkdir -p "$build/apt/lists/partial" "$build/apt/cache/archives/partial"
apt_state=$(realpath "$build/apt")
cat >"$apt_state/sources.list" <<EOF
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main
EOF
apt_options=(-o "Dir::Etc::SourceList=$apt_state/sources.list" -o "Dir::Etc::SourceParts=-"
             -o "Dir::State::Lists=$apt_state/lists" -o "Dir::Cache=$apt_state/cache"
             -o "APT::Sandbox::User=root")
apt-get "${apt_options[@]}" update -qq
(cd "$apt_state" && apt-get "${apt_options[@]}" download "libfst-dev/$suite" "$(
  apt-cache "${apt_options[@]}" depends "libfst-dev/$suite" | sed -n 's/^ *Depends: \(libfst[0-9]*\)$/\1/p' | sed -n 1p
)/$suite")
root=$(realpath "$build")/openfst
rm -rf "$root"
for package in "$apt_state"/*.deb; do dpkg-deb -x "$package" "$root"; done
library=$(find "$root" -name libfst.so -print -quit)
version=$(dpkg-deb -f "$(ls "$apt_state"/libfst-dev_*.deb)" Version)
echo "OpenFst from Debian $suite: $version"

run_tests=1
needed_glibc=$(objdump -T "$library" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1 | cut -d_ -f2)
have_glibc=$(getconf GNU_LIBC_VERSION | cut -d' ' -f2)
link_flags=""
discovery=POST_BUILD
if [ "$(printf '%s\n%s\n' "$needed_glibc" "$have_glibc" | sort -V | sed -n 1p)" != "$needed_glibc" ]; then
  echo "glibc $have_glibc is older than the $needed_glibc that library needs: compiling and linking only"
  run_tests=0
  link_flags="-Wl,--unresolved-symbols=ignore-all"
  discovery=PRE_TEST  # listing a test program's tests means running it
fi

cmake -S . -B "$build/build" -DCMAKE_BUILD_TYPE=Debug -DVUREL_BUILD_TESTS=ON \
  -DVUREL_BUILD_PYTHON=ON -DOPENFST_INCLUDE_DIR="$root/usr/include" \
  -DOPENFST_LIBRARY="$library" -DCMAKE_EXE_LINKER_FLAGS="$link_flags" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=$discovery
cmake --build "$build/build" -j"$(nproc)"
if ((run_tests)); then
  LD_LIBRARY_PATH=$(dirname "$library") ctest --test-dir "$build/build" -j"$(nproc)" --output-on-failure
fi
echo "built against OpenFst $version"
