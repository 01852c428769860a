#!/bin/sh
# Takes the screenshots in docs/ on a private X server, from the real window with no
# hardware: the start state (docs/start.png), spy mode between the simulated scanner
# and cash register (docs/screenshot.png) and the status line holding its longest
# message (docs/status_line.png). Needs xvfb-run.
# Usage: scripts/screenshot.sh BUILD_DIR
set -eu
build=$(cd "${1:?build directory}" && pwd)
docs=$(cd "$(dirname "$0")/.." && pwd)/docs
cmake --build "$build" --target take_screenshots
xvfb-run -a -s "-screen 0 1280x1100x24" "$build/tests/app/take_screenshots" "$docs"
ls "$docs"/*.png
