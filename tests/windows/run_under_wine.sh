#!/usr/bin/env bash
# Runs a cross-built Windows test program under Wine, in a Wine prefix of its own that
# is made for this run and removed after it, with no display: no window is opened,
# and Wine's own messages are off so the output is the program's. Extra arguments go
# to the program (e.g. --gtest_filter=...). The exit status is the program's.
set -euo pipefail
program=$(realpath "$1")
shift

prefix=$(mktemp -d /tmp/quorrel-wine-XXXXXX)
export WINEPREFIX="$prefix"
cleanup() {
    wineserver -k 2>/dev/null || true  # the server of this prefix only
    rm -rf "$prefix"
}
trap cleanup EXIT

unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all
# No prompts to install Mono or Gecko, which a test program never needs.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Set the prefix up first, so that its messages do not mix with the tests' output.
wineboot --init >/dev/null 2>&1
wineserver -w

# A hang ends the run rather than stalling CI.
status=0
timeout --kill-after=30 "${QUORREL_WINE_TIMEOUT:-1200}" wine "$program" "$@" || status=$?
exit "$status"
