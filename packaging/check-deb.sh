#!/bin/bash
# Builds the Debian package from a finished build tree and checks it as a distribution
# would: lintian reports no error and no warning, the desktop entry and the metainfo it
# installs pass their validators, and the stripped program it carries starts.
# Usage: check-deb.sh <cpack> <build>/CPackConfig.cmake
set -euo pipefail
cpack="$1"
config="$2"
out="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-deb.XXXXXX")"
trap 'rm -rf "$out"' EXIT

start=$SECONDS
if ! "$cpack" -G DEB --config "$config" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
echo "cpack: $((SECONDS - start)) s"
debs=("$out"/quillmere_*.deb)
deb="${debs[0]}"
dpkg-deb --field "$deb" Package Version Depends Installed-Size

start=$SECONDS
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: $((SECONDS - start)) s"

dpkg-deb --extract "$deb" "$out/root"
desktop-file-validate "$out/root/usr/share/applications/com.brenhollow.quillmere.desktop" | tee "$out/desktop.log"
if grep -Eq "error|warning" "$out/desktop.log"; then exit 1; fi
appstreamcli validate --no-net --strict "$out/root/usr/share/metainfo/com.brenhollow.quillmere.metainfo.xml"
help="$("$out/root/usr/bin/quillmere" --help)"
grep -q -- "--new-tab" <<<"$help"
echo "package clean"
