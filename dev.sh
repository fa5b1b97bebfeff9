#!/bin/bash
# Set-up for Quillmere on Debian 12: installs what is missing, builds, and then either
# starts the browser (./dev.sh start) or runs every test (./dev.sh test).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  # build
  g++ cmake pkg-config
  libgtkmm-4.0-dev libwebkitgtk-6.0-dev libsoup-3.0-dev glib-networking nlohmann-json3-dev
  libjpeg62-turbo-dev libsqlite3-dev
  # updates: signatures and digests (libsodium), zip archives (libarchive)
  libsodium-dev libarchive-dev
  # rules data: EasyList and EasyPrivacy as text files
  webext-ublock-origin-firefox
  # run time
  libsodium23 libarchive13 fonts-noto-color-emoji fonts-dejavu-core gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # tests
  libgtest-dev libx11-dev libxtst-dev xvfb xauth dbus systemd gstreamer1.0-tools
  # the accessibility tree, read as a screen reader would
  at-spi2-core python3-pyatspi
  # the Debian package (dpkg-shlibdeps, file) and the checks a distribution runs on it
  dpkg-dev file lintian desktop-file-utils appstream
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
  local missing=()
  for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}

build() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j"$(nproc)"
}

# Tests read the program's entries back from the journal; start journald when the
# machine runs none (a container, a CI runner without systemd). A socket left behind by
# a journald that has since ended does not count: only one that accepts a stream does.
journal_accepts() { systemd-cat -t quillmere-setup true 2>/dev/null; }

ensure_journal() {
  journal_accepts && return
  as_root /lib/systemd/systemd-journald >/dev/null 2>&1 &
  for _ in $(seq 100); do journal_accepts && return; sleep 0.1; done
  echo "journald did not start; the program's entries go to standard error" >&2
}

case "${1:-}" in
  start)
    install_missing
    build
    exec build/src/quillmere "${@:2}"
    ;;
  test)
    install_missing
    build
    ensure_journal
    ctest --test-dir build --output-on-failure -j"$(nproc)"
    ;;
  *)
    echo "usage: $0 start|test" >&2
    exit 2
    ;;
esac
