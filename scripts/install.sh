#!/usr/bin/env bash
# Installs the system packages and the curvix distribution (with the plotting
# extra) into the current Python.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
python3 -m pip install -q ".[plot]"
command -v pyenv >/dev/null && pyenv rehash || true
