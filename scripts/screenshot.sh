#!/bin/sh
# Takes docs/screenshot.png on a private X server: the window after "Start",
# "Open Port 1" on the built-in loopback and one "Send Text", so the lamps and a
# received block show. Needs xvfb-run and imagemagick; xdotool for the clicks
# (without it the window is taken as it comes up).
# With "ports": docs/port_list.png instead, the port list open on a fake machine
# (tests/app/port_list_shot), since a build machine has no adapters to show.
# Usage: scripts/screenshot.sh BUILD_DIR [ports]
set -eu
build=$(cd "${1:?build directory}" && pwd)
if [ "${2:-}" = ports ]; then
  out=$(cd "$(dirname "$0")/.." && pwd)/docs/port_list.png
  xvfb-run -a -s "-screen 0 1024x700x24" sh -eu -c "
    '$build/tests/app/port_list_shot' & pid=\$!
    sleep 4
    import -window root -crop 772x400+0+0 +repage '$out'
    kill \$pid
  "
  echo "$out"
  exit 0
fi
out=$(cd "$(dirname "$0")/.." && pwd)/docs/screenshot.png
xvfb-run -a -s "-screen 0 1024x700x24" sh -eu -c "
  '$build/app/veltra' & pid=\$!
  sleep 3
  if command -v xdotool >/dev/null; then
    wid=\$(xdotool search --name 'Veltra by Orvane' | head -1)
    eval \$(xdotool getwindowgeometry --shell \$wid)
    click() { xdotool mousemove \$((X + \$1)) \$((Y + \$2)) click 1; sleep 0.7; }
    click 582 230     # Start
    click 631 180     # Open Port 1 (LOOPBACK)
    click 400 470     # the traffic pane
    xdotool type --delay 20 'Hello from Veltra'
    click 405 18      # Commands
    click 136 69      # Send Text
    sleep 1.5
  fi
  import -window root -crop 772x616+126+42 +repage '$out'
  kill \$pid
"
echo "$out"
