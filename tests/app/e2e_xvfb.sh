#!/usr/bin/env bash
# End-to-end run of the program on a virtual X server: real input events pick
# the virtual adapter's port and drive the window; the adapter's own record
# shows which requests arrived. Screenshots are kept in the artifact folder.
#
# Usage: e2e_xvfb.sh <tavrol> <e2e adapter> <x11_close_window> <artifact dir>
set -u

TAVROL=$1
ADAPTER=$2
CLOSER=$3
OUT=$4

for tool in Xvfb xdotool import convert; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

mkdir -p "$OUT"
rm -f "$OUT"/*.png
WORK=$(mktemp -d)
XVFB_PID=
APP_PID=
ADAPTER_PID=

cleanup() {
    if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then kill "$APP_PID"; wait "$APP_PID" 2>/dev/null; fi
    if [ -n "$ADAPTER_PID" ] && kill -0 "$ADAPTER_PID" 2>/dev/null; then kill "$ADAPTER_PID"; wait "$ADAPTER_PID" 2>/dev/null; fi
    if [ -n "$XVFB_PID" ] && kill -0 "$XVFB_PID" 2>/dev/null; then kill "$XVFB_PID"; wait "$XVFB_PID" 2>/dev/null; fi
    { exec 7>&- 8<&-; } 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

WID=
shot() {
    if [ -n "$WID" ]; then import -window "$WID" "$OUT/$1.png" 2>/dev/null; fi
}

fail() {
    echo "FAIL: $*" >&2
    shot "failure"
    if [ -f "$WORK/app.log" ]; then echo "--- program output" >&2; cat "$WORK/app.log" >&2; fi
    exit 1
}

# --- the X server, on a display it picks itself
Xvfb -displayfd 3 -screen 0 640x480x24 -dpi 96 -nolisten tcp 3>"$WORK/display" 2>"$WORK/xvfb.log" &
XVFB_PID=$!
for _ in $(seq 100); do
    [ -s "$WORK/display" ] && break
    sleep 0.1
done
[ -s "$WORK/display" ] || { cat "$WORK/xvfb.log" >&2; fail "the X server did not start"; }
export DISPLAY=":$(head -n1 "$WORK/display")"

# --- the adapter, in a port directory of our own
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
ADAPTER_RUNS=0
# Starts an adapter (at the serial rate $1) and sets $COM to its port number.
start_adapter() {
    ADAPTER_RUNS=$((ADAPTER_RUNS + 1))
    local to="$WORK/to-adapter-$ADAPTER_RUNS" from="$WORK/from-adapter-$ADAPTER_RUNS"
    mkfifo "$to" "$from"
    "$ADAPTER" "$1" <"$to" >"$from" 2>>"$WORK/adapter.log" &
    ADAPTER_PID=$!
    exec 7>"$to" 8<"$from"
    local word
    read -r -t 10 -u 8 word COM || fail "the adapter did not start"
    [ "$word" = COM ] || fail "unexpected adapter output: $word $COM"
}

stop_adapter() {
    echo quit >&7
    wait "$ADAPTER_PID"
    ADAPTER_PID=
    exec 7>&- 8<&-
}

# Sends one command to the adapter; its answer lands in $REPLY_TEXT.
adapter() {
    echo "$1" >&7
    REPLY_TEXT=
    local line
    while read -r -t 10 -u 8 line; do
        if [ "$line" = END ]; then
            REPLY_TEXT=${REPLY_TEXT%$'\n'}
            return 0
        fi
        REPLY_TEXT+="$line"$'\n'
    done
    fail "no answer from the adapter to '$1'"
}

# Waits until the adapter has received a request matching the pattern.
wait_for_request() {
    for _ in $(seq 300); do
        adapter log
        grep -q -- "$1" <<<"$REPLY_TEXT" && return 0
        sleep 0.1
    done
    fail "the adapter never received '$1'"
}

# Starts the program and waits for its window.
start_program() {
    "$TAVROL" >>"$WORK/app.log" 2>&1 &
    APP_PID=$!
    WID=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tavrol for Ondrix$' | head -n1)
    [ -n "$WID" ] || fail "the window did not appear"
    sleep 0.5
}

# Closes the window as a window manager would and waits for the program to
# end with status 0 within $1 seconds.
close_program() {
    local sent
    sent=$(date +%s%N)
    "$CLOSER" "$WID"
    ends_within $(( $1 * 10 )) "$sent"
}

click() {
    xdotool mousemove --window "$WID" "$1" "$2" click 1
    sleep 0.4
}
type_text() {
    xdotool type --delay 40 "$1"
    sleep 0.3
}
key() {
    xdotool key "$@"
    sleep 0.3
}

# Waits until the program has ended, at most $1 tenths of a second after
# the moment $2 (date +%s%N), and checks that it ended normally (the window
# closed, the port closed with it).
ends_within() {
    while kill -0 "$APP_PID" 2>/dev/null; do
        if [ $(( ($(date +%s%N) - $2) / 100000000 )) -ge "$1" ]; then
            fail "the program did not end within $(( $1 / 10 )).$(( $1 % 10 )) s"
        fi
        sleep 0.05
    done
    wait "$APP_PID"
    local status=$?
    APP_PID=
    WID=
    [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

# Waits for a message box (captioned "Tavrol") to be shown.
wait_for_box() {
    timeout 10 xdotool search --sync --onlyvisible --name '^Tavrol$' >/dev/null || fail "no message box appeared"
    sleep 0.3
}

pick_port() {
    click 170 31
    type_text "COM$COM"
    key Return
}

# Picks the adapter's port and the rate 115200 from the two lists, connects
# and waits until the settings load has begun.
connect_at_115200() {
    pick_port
    click 170 54
    type_text 115200
    key Return
    click 324 42
    wait_for_request "^R 1FFFED0"
}

start_adapter 115200
start_program
shot disconnected

connect_at_115200
sleep 0.5

expected="R 1FFFFF0 8
R 1FFFFF1 8"
for n in 0 1 2 3 4 5 6 7 8 9 A B C D; do expected+=$'\n'"R 1FFFEE$n 8"; done
expected+="
R 1FFFEB0 8
W 1FFFEB0 1 01
R 1FFFEA0 8
W 1FFFEA0 1 01
R 1FFFED0 8"
adapter log
actual=$REPLY_TEXT
[ "$actual" = "$expected" ] || fail "requests after connecting:
$actual
expected:
$expected"
shot connected-can-page

# Waits until register dump line $1 reads $2.
wait_for_register() {
    for _ in $(seq 100); do
        adapter regs
        grep -qx -- "$1 $2" <<<"$REPLY_TEXT" && return 0
        sleep 0.1
    done
    fail "register '$1' is not '$2':
$REPLY_TEXT"
}

# The pages' controls, in window coordinates (the CAN page's origin is at
# 2,120 and the filter table's first row at y 205).
adapter clear

# Retransmission off.
click 119 160
wait_for_register art 0

# CAN bit rate 250000.
click 160 133
key ctrl+a
type_text 250000
click 256 133
wait_for_register canBaud 250000

# Filter 0: enable it, type its identifier and press the cell's button,
# then pick the extended format from its list.
click 66 205
wait_for_register "filter 0" "80000000 00000000"
click 194 205
key ctrl+a
type_text 123
shot filter-editor
click 224 205
wait_for_register "filter 0" "80000123 00000000"
click 118 205
key Down Return
wait_for_register "filter 0" "C0000123 00000000"
adapter log
expected="W 1FFFEA0 1 00
W 1FFFED0 4 90D00300
W 1FFFEE0 8 0000008000000000
W 1FFFEE0 8 2301008000000000
W 1FFFEE0 8 230100C000000000"
[ "$REPLY_TEXT" = "$expected" ] || fail "requests while editing:
$REPLY_TEXT
expected:
$expected"
shot can-page-edited

# Factory reset: the question box, answered Yes with its key.
adapter clear
click 329 145
sleep 0.5
import -window root "$OUT/factory-reset-question.png"
key y
wait_for_request "^R 1FFFED0"
adapter log
[ "$(head -n1 <<<"$REPLY_TEXT")" = "W 1FFFEFF 4 01000000" ] || fail "no factory reset write first:
$REPLY_TEXT"
[ "$(grep -c '^R ' <<<"$REPLY_TEXT")" = 17 ] || fail "the reload did not read all 17 registers:
$REPLY_TEXT"
wait_for_register canBaud 500000
wait_for_register "filter 0" "00000000 00000000"
sleep 0.5
shot can-page-after-reset

# The serial page: the adapter's rate 9600, then the notice, then the
# window is disconnected.
adapter clear
click 131 108
shot usart-page
click 176 160
type_text 9600
key Return
click 290 160
sleep 0.5
import -window root "$OUT/replug-notice.png"
key Return
wait_for_register pendingSerialRate 9600
adapter log
[ "$REPLY_TEXT" = "W 1FFFE90 4 80250000" ] || fail "requests of the serial page:
$REPLY_TEXT"
sleep 0.5
shot disconnected-after-rate-change

# --- closing the window ends the program normally
close_program 10


# --- the adapter pulled out while connected, then plugged back in
stop_adapter
start_adapter 115200
start_program
connect_at_115200
adapter clear
adapter unplug
wait_for_box
import -window root "$OUT/port-lost.png"
key Return
sleep 0.3
shot disconnected-after-unplug
adapter replug
# The list follows the system: the port is back, still picked, and one
# click connects without "刷新列表".
sleep 1.5
click 324 42
wait_for_request "^R 1FFFED0"
shot connected-after-replug

# --- SIGTERM, and the window manager's close button, while a message box
# is open
adapter unplug
wait_for_box
sent=$(date +%s%N)
kill -TERM "$APP_PID"
ends_within 15 "$sent"

adapter replug
start_program
connect_at_115200
adapter unplug
wait_for_box
sent=$(date +%s%N)
"$CLOSER" "$WID"
ends_within 15 "$sent"

# --- closing the window and SIGTERM during a rate search: the search stops
# after the attempt in progress, so it never reaches the adapter's rate.
stop_adapter
start_adapter 4800
for how in close TERM; do
    start_program
    pick_port
    click 324 42
    sleep 2.5
    shot "rate-search-$how"
    sent=$(date +%s%N)
    if [ "$how" = close ]; then "$CLOSER" "$WID"; else kill -TERM "$APP_PID"; fi
    ends_within 15 "$sent"
    adapter log
    [ -z "$REPLY_TEXT" ] || fail "the search went on after $how:
$REPLY_TEXT"
done

for png in "$OUT"/*.png; do
    deviation=$(convert "$png" -format '%[fx:standard_deviation]' info:)
    [ "$deviation" != 0 ] || fail "$png is blank"
done
echo "PASS: screenshots in $OUT"
exit 0
