#!/usr/bin/env bash
# Installs what is needed, builds vurel into .venv/py3.11 and prints the
# pronunciations of a few words (or of the words given) with the default
# English model, which is trained on first use (about 15 s) and cached;
# without words given, also reads a sentence of running text.
# Setup output and what is happening go to standard error, so standard
# output holds only the pronunciations.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { echo "demo: $*" >&2; }
scripts/install-deps.sh >&2
[ -x .venv/py3.11/bin/vurel ] && say "rebuilding vurel…" || say "building vurel (about 2 minutes)…"
python=$(scripts/python-env.sh 3.11)
words=("$@")
sentence=""
((${#words[@]})) || { words=(hello world pronunciation vurel)
                      sentence='Dr. Smith paid $4.50 on Dec. 9th, 2026; NASA and the FBI met at 10:30.'; }
if ! "$python" -c 'import sys; from vurel.english_model import default_model_path; sys.exit(not default_model_path().is_file())'; then
  say "training the default English model (once, about 15 s)…"
fi
"$(dirname "$python")/vurel" g2p --nbest 2 "${words[@]}"
if [ -n "$sentence" ]; then
  echo
  echo "$sentence"
  "$(dirname "$python")/vurel" text --format spoken "$sentence"
  "$(dirname "$python")/vurel" text "$sentence"
fi
