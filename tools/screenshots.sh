#!/usr/bin/env bash
# Takes the README's screenshots of the real program under a virtual X server:
# the disclaimer, the main window with a few records, and the entry dialog.
# usage: tools/screenshots.sh [BUILD_DIR]   (after `make test`; needs ImageMagick's import)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build"
fi

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
openbox --sm-disable >/dev/null 2>&1 &
sleep 1

store_tool="$build/tests/e2e/store_tool"
"$store_tool" add "$work/kestrin.db" 'example-bank.com' 'jo.bloggs' 'correct horse' 'Branch: High St' 0
"$store_tool" add "$work/kestrin.db" 'Memorable' 'example-bank.com' 'Smith' 'Mother'\''s maiden name' 1
"$store_tool" add "$work/kestrin.db" 'Serial' 'Photo Editor 7' 'PE7-2211-9087-XQ' '' 2
"$store_tool" add "$work/kestrin.db" 'webmail.example.org' 'jo' 'tr0ub4dor&3' '' 0
cp "$build/quorrel" "$work/quorrel"
(cd "$work" && exec ./quorrel) &
program=$!

window() { timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1; }
shoot() { sleep 0.5; import -window "$1" -frame "$root/docs/$2"; echo "docs/$2"; }

disclaimer=$(window Disclaimer)
shoot "$disclaimer" screenshot-disclaimer.png
xdotool windowactivate --sync "$disclaimer" key alt+a

main=$(window Quorrel)
shoot "$main" screenshot-main.png
xdotool windowactivate --sync "$main" key alt+a
dialog=$(window 'Add/Edit a record')
xdotool windowactivate --sync "$dialog" key Tab
xdotool type --delay 20 'shop.example.net'
xdotool key Tab
xdotool type --delay 20 'jo@example.net'
shoot "$dialog" screenshot-entry.png
xdotool key Escape
xdotool windowactivate --sync "$main" key alt+x
wait "$program"
