#!/usr/bin/env bash
# The program, asked to end by the session (SIGTERM, SIGINT, SIGHUP), closes
# its window and exits with status 0 instead of being killed.
set -u
program="$1"
status=0
for signal in TERM INT HUP; do
  QT_QPA_PLATFORM=offscreen "$program" &
  pid=$!
  sleep 1.5
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "the program ended before SIG$signal was sent"
    status=1
    continue
  fi
  kill "-$signal" "$pid"
  wait "$pid"
  rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "SIG$signal: exit status $rc, expected 0"
    status=1
  fi
done
exit "$status"
