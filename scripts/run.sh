#!/usr/bin/env bash
# Builds Veltra (optimised): the window and veltra-cli; starts the window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target veltra veltra-cli
exec build/release/app/veltra "$@"
