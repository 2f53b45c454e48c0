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
mkfifo "$WORK/to-adapter" "$WORK/from-adapter"
"$ADAPTER" <"$WORK/to-adapter" >"$WORK/from-adapter" 2>"$WORK/adapter.log" &
ADAPTER_PID=$!
exec 7>"$WORK/to-adapter" 8<"$WORK/from-adapter"
read -r -t 10 -u 8 word COM || fail "the adapter did not start"
[ "$word" = COM ] || fail "unexpected adapter output: $word $COM"

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

# --- the program
"$TAVROL" >"$WORK/app.log" 2>&1 &
APP_PID=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tavrol for Ondrix$' | head -n1)
[ -n "$WID" ] || fail "the window did not appear"
sleep 0.5

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

shot disconnected

# Pick the adapter's port and the rate 115200 from the two lists, then connect.
click 170 31
type_text "COM$COM"
key Return
click 170 54
type_text 115200
key Return
click 324 42
wait_for_request "^R 1FFFED0"
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

# --- closing the window ends the program normally
"$CLOSER" "$WID"
for _ in $(seq 100); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$APP_PID" 2>/dev/null; then fail "the program did not end when its window was closed"; fi
wait "$APP_PID"
status=$?
APP_PID=
[ "$status" -eq 0 ] || fail "the program ended with status $status"

for png in "$OUT"/*.png; do
    deviation=$(convert "$png" -format '%[fx:standard_deviation]' info:)
    [ "$deviation" != 0 ] || fail "$png is blank"
done
echo "PASS: screenshots in $OUT"
exit 0
