#!/bin/bash
# Starts the accessibility bus and the real program on a local page, opens the
# developer tools and the settings window through the program's own actions, and lets
# check-names.py read the tree. Run under tests/isolate.sh.
set -euo pipefail
program="$1"
here="$(cd "$(dirname "$0")" && pwd)"
unset GTK_A11Y NO_AT_BRIDGE
/usr/libexec/at-spi-bus-launcher --launch-immediately &
bus=$!
page="$TMPDIR/probe.html"
# The page keeps making a request, so that the network log has a row to read.
echo "<title>Accessible Probe</title><p>probe</p><script>setInterval(() => fetch('probe').catch(() => {}), 300)</script>" >"$page"
"$program" "file://$page" &
browser=$!
trap 'kill $browser $bus 2>/dev/null || true' EXIT
call() {
  gdbus call --session --dest com.brenhollow.quillmere --object-path /com/brenhollow/quillmere \
    --method org.gtk.Actions.Activate "$1" '[]' '{}' >/dev/null
}
for _ in $(seq 100); do call toggleDevTools 2>/dev/null && break; sleep 0.2; done
call openSettings
/usr/bin/python3 "$here/check-names.py"
