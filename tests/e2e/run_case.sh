#!/usr/bin/env bash
# Runs one end-to-end case on its own virtual X server.
# usage: run_case.sh CASE PROGRAM STORE_TOOL
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The program runs on the virtual X server, whatever platform the other tests use.
export QT_QPA_PLATFORM=xcb
exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    bash "$here/cases.sh" "$1" "$(realpath "$2")" "$(realpath "$3")"
