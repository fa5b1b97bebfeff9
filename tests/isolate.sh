#!/bin/bash
# Runs one test command the way a new user's first launch would see the world: a fresh
# HOME and XDG directories, its own X display (Xvfb) and its own D-Bus session bus.
# Listing tests needs none of that.
for arg in "$@"; do
  [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-test.XXXXXX")"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
       XDG_CACHE_HOME="$root/cache" XDG_STATE_HOME="$root/state" XDG_RUNTIME_DIR="$root/runtime"
export TMPDIR="$root/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
chmod 700 "$XDG_RUNTIME_DIR"
export GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 LC_ALL=C.UTF-8
unset WAYLAND_DISPLAY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy

# Xvfb picks a free display itself and reports it once it is ready.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$root/display" 2>"$root/xvfb.log" &
xvfb=$!
cleanup() { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$root"; }
trap cleanup EXIT
for _ in $(seq 200); do
  [ -s "$root/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || { cat "$root/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
export DISPLAY=":$(head -n1 "$root/display")"

# A private session bus with no services to start: tests never wait on portals.
dbus-run-session --config-file="$here/dbus-session.conf" -- "$@"
