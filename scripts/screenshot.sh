#!/bin/sh
# Takes docs/screenshot.png: the window as it comes up, on a private X server.
# Usage: scripts/screenshot.sh BUILD_DIR
set -eu
build=${1:?build directory}
out=$(cd "$(dirname "$0")/.." && pwd)/docs/screenshot.png
xvfb-run -a -s "-screen 0 1024x700x24" sh -c "
  '$build/app/veltra' & pid=\$!
  sleep 3
  import -window root -crop 772x616+126+42 +repage '$out'
  kill \$pid
"
echo "$out"
