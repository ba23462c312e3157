#!/usr/bin/env bash
# Installs what is needed, builds vurel into .venv/py3.11 and prints the
# pronunciations of a few words (or of the words given) with the default
# English model, which is trained on first use (about 15 s) and cached.
# Setup output goes to standard error, so standard output holds only the
# pronunciations.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
python=$(scripts/python-env.sh 3.11)
words=("$@")
((${#words[@]})) || words=(hello world pronunciation vurel)
"$(dirname "$python")/vurel" g2p --nbest 2 "${words[@]}"
