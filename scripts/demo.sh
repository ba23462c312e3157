#!/usr/bin/env bash
# Installs what is needed, builds vurel into .venv/py3.11 and runs the main
# job on the small example model in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
python=$(scripts/python-env.sh 3.11)
"$python" examples/demo.py "$@"
