#!/usr/bin/env bash
# The end-to-end cases. Runs inside a virtual X server (see run_case.sh): starts a
# window manager, copies the program into a fresh folder, drives it with real key
# presses and checks its exit code and the store files it leaves.
# usage: cases.sh CASE PROGRAM STORE_TOOL
set -uo pipefail

case_name=$1
program=$2
store_tool=$3
work=$(mktemp -d)
logs=$(mktemp -d)
program_pid=
second_pid=
wm_pid=

cleanup() {
    [ -n "$program_pid" ] && kill -9 "$program_pid" 2>/dev/null
    [ -n "$second_pid" ] && kill -9 "$second_pid" 2>/dev/null
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null
    rm -rf "$work" "$logs"
}
trap cleanup EXIT

fail() {
    echo "FAIL ($case_name): $*" >&2
    for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
        echo "  visible window: '$(xdotool getwindowname "$id" 2>/dev/null)' $(window_size "$id")" >&2
    done
    echo "  focused window: '$(xdotool getwindowfocus getwindowname 2>/dev/null)'" >&2
    sed 's/^/  program: /' "$logs/program.log" >&2 2>/dev/null
    exit 1
}

# Starts openbox and waits until it manages the screen. An openbox that ends before it
# gets there is started again, up to three times.
start_window_manager() {
    for _ in 1 2 3; do
        openbox --sm-disable >>"$logs/openbox.log" 2>&1 &
        wm_pid=$!
        for _ in $(seq 100); do
            xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
            kill -0 "$wm_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$wm_pid" 2>/dev/null
    done
    sed 's/^/  openbox: /' "$logs/openbox.log" >&2
    fail "the window manager did not start"
}

# start_program NAME: copies the program into the work folder under NAME and starts it there.
start_program() {
    cp "$program" "$work/$1"
    (cd "$work" && exec "./$1" >"$logs/program.log" 2>&1) &
    program_pid=$!
}

# wait_window TITLE [SIZE]: sets $window to the visible window titled exactly TITLE and,
# when SIZE is given, of that inner size (a message box may carry the main window's
# title), waiting at most 30 seconds. xdotool's own matching ignores letter case, so the
# title is compared again here.
wait_window() {
    window=
    for _ in $(seq 300); do
        for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
            [ "$(xdotool getwindowname "$id" 2>/dev/null)" == "$1" ] || continue
            [ -z "${2:-}" ] || [ "$(window_size "$id")" == "$2" ] || continue
            window=$id
            return 0
        done
        sleep 0.1
    done
    fail "no window titled '$1'${2:+ of size $2} appeared"
}

# window_gone TITLE: true once no visible window has that title (waits at most 30 s).
window_gone() {
    for _ in $(seq 300); do
        xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}

# wait_main_window: sets $main to the main window.
wait_main_window() {
    wait_window Quorrel 632x440
    main=$window
}

# press WINDOW KEY...: activates the window and sends the keys to it.
press() {
    local window=$1
    shift
    xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
    xdotool key --clearmodifiers --delay 60 "$@"
}

# type_text WINDOW TEXT: types text into the focused control of the window.
type_text() {
    xdotool windowactivate --sync "$1" >/dev/null 2>&1 || true
    xdotool type --clearmodifiers --delay 20 "$2"
}

# window_size WINDOW: the window's inner size as WIDTHxHEIGHT.
window_size() {
    xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: *//p'
}

# outer_geometry WINDOW: the window with its frame, as "LEFT TOP WIDTH HEIGHT".
outer_geometry() {
    local info x y w h extents
    info=$(xwininfo -id "$1")
    x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
    y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
    w=$(awk '/Width:/ {print $2}' <<<"$info")
    h=$(awk '/Height:/ {print $2}' <<<"$info")
    extents=$(xprop -id "$1" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ',')
    [[ "$extents" =~ ^[0-9]+\ [0-9]+\ [0-9]+\ [0-9]+$ ]] || fail "no frame extents on window $1"
    local left right top bottom
    read -r left right top bottom <<<"$extents"
    echo "$((x - left)) $((y - top)) $((w + left + right)) $((h + top + bottom))"
}

# expect_centred WINDOW LEFT TOP WIDTH HEIGHT: the window, frame included, stands in the
# centre of that area (halves truncated), never left of or above 0.
expect_centred() {
    local x y w h
    read -r x y w h <<<"$(outer_geometry "$1")"
    local want_x=$(($2 + ($4 - w) / 2)) want_y=$(($3 + ($5 - h) / 2))
    ((want_x < 0)) && want_x=0
    ((want_y < 0)) && want_y=0
    [ "$x $y" == "$want_x $want_y" ] \
        || fail "'$(xdotool getwindowname "$1")' ${w}x$h stands at $x,$y, expected $want_x,$want_y"
}

expect_centred_on_screen() {
    local root
    root=$(xwininfo -root)
    expect_centred "$1" 0 0 "$(awk '/Width:/ {print $2}' <<<"$root")" \
        "$(awk '/Height:/ {print $2}' <<<"$root")"
}

expect_centred_over() {
    # shellcheck disable=SC2046
    expect_centred "$1" $(outer_geometry "$2")
}

# expect_close_box_only WINDOW: a dialog that asks for moving and closing only.
expect_close_box_only() {
    local type motif
    type=$(xprop -id "$1" _NET_WM_WINDOW_TYPE | sed -n 's/.*= //p')
    motif=$(xprop -id "$1" _MOTIF_WM_HINTS | sed -n 's/.*= //p')
    [ "$type" == "_NET_WM_WINDOW_TYPE_DIALOG" ] || fail "window type '$type'"
    # Functions move and close; decorations border and title.
    [ "$motif" == "0x3, 0x24, 0xa, 0x0, 0x0" ] || fail "Motif hints '$motif'"
}

# expect_exit_code CODE: waits at most 30 s for the program to end with CODE.
expect_exit_code() {
    for _ in $(seq 300); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$program_pid" 2>/dev/null && fail "the program did not end"
    wait "$program_pid"
    local code=$?
    program_pid=
    [ "$code" -eq "$1" ] || fail "exit code $code, expected $1"
}

# expect_records FILE EXPECTED: the store file holds exactly these records (one per line,
# fields separated by tabs, as store_tool dump prints them).
expect_records() {
    local actual
    actual=$("$store_tool" dump "$1") || fail "cannot read $1"
    [ "$actual" == "$2" ] || fail "$(basename "$1") holds '$actual', expected '$2'"
}

agree_to_disclaimer() {
    wait_window Disclaimer
    press "$window" alt+a
    window_gone Disclaimer || fail "the disclaimer stayed open"
}

case_decline() {
    start_program quorrel
    wait_window Disclaimer
    press "$window" alt+d
    expect_exit_code 0
    [ ! -e "$work/kestrin.db" ] || fail "declining wrote kestrin.db"
    [ ! -e "$work/inactive.db" ] || fail "declining wrote inactive.db"
}

# add_login MAIN NAME LOGIN PASSWORD NOTES: adds a login and password in that main window.
add_login() {
    press "$1" alt+a
    wait_window 'Add/Edit a record'
    local dialog=$window text
    for text in "$2" "$3" "$4" "$5"; do
        press "$dialog" Tab
        type_text "$dialog" "$text"
    done
    press "$dialog" alt+o
    window_gone 'Add/Edit a record' || fail "the entry dialog stayed open"
}

case_add_login() {
    start_program quorrel
    agree_to_disclaimer
    wait_main_window
    add_login "$main" Bank jo 'pa55 word' 'my note'
    press "$main" alt+F4
    expect_exit_code 0
    expect_records "$work/kestrin.db" $'Bank\tjo\tpa55 word\tmy note\t0'
    [ "$(ls -A "$work")" == $'kestrin.db\nquorrel' ] || fail "unexpected files: $(ls -A "$work")"
}

case_archive_delete() {
    "$store_tool" add "$work/kestrin.db" Bank jo secret '' 0 || fail "cannot prepare kestrin.db"
    "$store_tool" add "$work/kestrin.db" Shop ann hidden 'a note' 0 || fail "cannot prepare kestrin.db"
    start_program quorrel
    agree_to_disclaimer
    wait_main_window
    # The first record in storage order is current; archive it.
    local first
    first=$("$store_tool" dump "$work/kestrin.db" | head -n 1)
    press "$main" alt+r
    wait_window Confirm
    press "$window" Return
    window_gone Confirm || fail "the archive question stayed open"
    # The archive is written at once, before the active list is closed.
    for _ in $(seq 50); do [ -e "$work/inactive.db" ] && break; sleep 0.1; done
    expect_records "$work/inactive.db" "$first"

    press "$main" alt+v
    sleep 0.3
    press "$main" alt+d
    wait_window Confirm
    press "$window" Return
    window_gone Confirm || fail "the delete question stayed open"
    press "$main" alt+x
    expect_exit_code 0
    expect_records "$work/inactive.db" ""
    local remaining
    remaining=$("$store_tool" dump "$work/kestrin.db") || fail "cannot read kestrin.db"
    [ "$(echo "$remaining" | wc -l)" -eq 1 ] && [ "$remaining" != "$first" ] \
        || fail "kestrin.db holds '$remaining'"
}

# The program started twice from one folder: each copy adds a login and exits, the
# first one first. The list keeps both, and the second copy says so.
case_two_copies() {
    start_program quorrel
    agree_to_disclaimer
    wait_main_window
    local first=$main second=
    (cd "$work" && exec ./quorrel >"$logs/second.log" 2>&1) &
    second_pid=$!
    agree_to_disclaimer
    for _ in $(seq 300); do
        for id in $(xdotool search --onlyvisible --name '^Quorrel$' 2>/dev/null); do
            [ "$id" != "$first" ] && [ "$(window_size "$id")" == 632x440 ] && second=$id
        done
        [ -n "$second" ] && break
        sleep 0.1
    done
    [ -n "$second" ] || fail "the second copy's main window did not appear"

    add_login "$first" Bank jo pa55 ''
    press "$first" alt+x
    expect_exit_code 0
    expect_records "$work/kestrin.db" $'Bank\tjo\tpa55\t\t0'

    program_pid=$second_pid
    second_pid=
    add_login "$second" Shop al secret ''
    press "$second" alt+x
    wait_window Information
    press "$window" Return
    expect_exit_code 0
    expect_records "$work/kestrin.db" $'Bank\tjo\tpa55\t\t0\nShop\tal\tsecret\t\t0'
    [ "$(ls -A "$work")" == $'kestrin.db\nquorrel' ] || fail "unexpected files: $(ls -A "$work")"
}

# damaged_store_run NAME TITLE: a damaged kestrin.db under a program named NAME shows the
# error box captioned TITLE first, then the main window without the disclaimer.
damaged_store_run() {
    printf 'this is not a store file' > "$work/kestrin.db"
    cp "$work/kestrin.db" "$work/damaged.copy"
    start_program "$1"
    wait_window "$2"
    local box=$window
    [ "$(window_size "$box")" != "632x440" ] || fail "the main window came before the error box"
    press "$box" Return
    wait_main_window
    xdotool search --onlyvisible --name '^Disclaimer$' >/dev/null 2>&1 \
        && fail "the disclaimer was shown after a failed start"
    press "$main" alt+x
    expect_exit_code 0
    cmp -s "$work/kestrin.db" "$work/damaged.copy" || fail "the damaged kestrin.db was changed"
}

case_damaged_store() {
    # The title keeps the first letter as the file name has it.
    damaged_store_run quorrel quorrel
}

case_renamed_title() {
    damaged_store_run my.keeper my
}

# Where each window stands, frame included, and what its frame offers, under a real
# window manager; and maximising the main window from its title bar.
case_frames() {
    "$store_tool" add "$work/kestrin.db" Bank jo secret 'a note' 0 || fail "cannot prepare kestrin.db"
    start_program quorrel
    wait_window Disclaimer
    expect_centred_on_screen "$window"
    expect_close_box_only "$window"
    agree_to_disclaimer
    wait_main_window
    expect_centred_on_screen "$main"

    press "$main" alt+a
    wait_window 'Add/Edit a record'
    local dialog=$window
    expect_centred_over "$dialog" "$main"
    expect_close_box_only "$dialog"
    press "$dialog" alt+o
    wait_window Error
    expect_centred_on_screen "$window"
    press "$window" Return
    window_gone Error || fail "the error box stayed open"
    press "$dialog" alt+c
    window_gone 'Add/Edit a record' || fail "the entry dialog stayed open"

    # The notes viewer over a main window the user has moved.
    xdotool windowmove --sync "$main" 40 50
    sleep 0.3
    xdotool mousemove --window "$main" 300 150 click --repeat 2 --delay 80 1
    wait_window Notes
    expect_centred_over "$window" "$main"
    expect_close_box_only "$window"
    press "$window" alt+c
    window_gone Notes || fail "the notes viewer stayed open"

    # A double-click on the title bar maximises and restores.
    local x y w h
    read -r x y w h <<<"$(outer_geometry "$main")"
    xdotool mousemove $((x + w / 2)) $((y + 8)) click --repeat 2 --delay 100 1
    for _ in $(seq 50); do [ "$(window_size "$main")" != 632x440 ] && break; sleep 0.1; done
    xprop -id "$main" _NET_WM_STATE | grep -q _NET_WM_STATE_MAXIMIZED_HORZ \
        || fail "the main window was not maximised: $(window_size "$main")"
    [ "$(window_size "$main" | cut -dx -f1)" == "$(xwininfo -root | awk '/Width:/ {print $2}')" ] \
        || fail "the maximised main window is $(window_size "$main")"
    read -r x y w h <<<"$(outer_geometry "$main")"
    xdotool mousemove $((x + w / 2)) $((y + 8)) click --repeat 2 --delay 100 1
    wait_main_window
    press "$main" alt+x
    expect_exit_code 0
}

start_window_manager
"case_$case_name"
echo "PASS ($case_name)"
