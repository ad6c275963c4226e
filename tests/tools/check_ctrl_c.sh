#!/usr/bin/env bash
# Ctrl-C of the Windows tools under Wine: varnel-board.exe streams on
# ADDRESS, varnel-monitor.exe receives from it; a Ctrl-C to the monitor
# (SIGINT to its process group, as a terminal sends it, which Wine hands to
# the console's control handler) must end it with its summary and exit
# status 0, and a Ctrl-C to the board must stop it on request, status 0.
#   check_ctrl_c.sh WINE_RUN PREFIX BOARD.exe MONITOR.exe ADDRESS
set -uo pipefail
wine_run=$1 prefix=$2 board=$3 monitor=$4 address=$5

work=$(mktemp -d)
groups=()
cleanup() {
  local group
  for group in "${groups[@]}"; do kill -KILL -- "-$group" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out; do
    echo "--- $(basename "$f")"
    cat "$f"
  done
  exit 1
}

# Starts a program under Wine in a process group of its own (setsid), whose
# number is the started process's; Wine runs the program itself as a
# further process of that group.
start() {
  local name=$1
  shift
  setsid "$wine_run" "$prefix" "$@" >"$work/$name.out" 2>&1 &
  started=$!
  groups+=("$started")
}

# Waits up to `seconds` (in 0.1 s steps) until the file holds the pattern.
wait_for_text() {
  local file=$1 pattern=$2 seconds=$3 i
  for ((i = 0; i < seconds * 10; ++i)); do
    if grep -q -- "$pattern" "$file"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Waits up to `seconds` for the process to end; its exit status in `status`.
wait_for_exit() {
  local pid=$1 seconds=$2 i
  for ((i = 0; i < seconds * 10; ++i)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      status=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}

start board "$board" --bind "$address" --rate 200
board_pid=$started
wait_for_text "$work/board.out" "listening on" 30 || fail "the board did not start listening"

start monitor "$monitor" "$address"
monitor_pid=$started
wait_for_text "$work/monitor.out" "connected to $address" 30 || fail "the monitor did not connect"
wait_for_text "$work/board.out" "client 1 connected" 10 || fail "the board did not see the monitor"

kill -INT -- "-$monitor_pid"
wait_for_exit "$monitor_pid" 20 || fail "the monitor did not end after Ctrl-C"
((status == 0)) || fail "the monitor ended with status $status after Ctrl-C"
grep -q "stopped: interrupted (SIGINT)" "$work/monitor.out" || fail "the monitor's summary is missing"

kill -INT -- "-$board_pid"
wait_for_exit "$board_pid" 20 || fail "the board did not end after Ctrl-C"
((status == 0)) || fail "the board ended with status $status after Ctrl-C"
grep -q "stopped on request" "$work/board.out" || fail "the board did not report its stop"

echo "Ctrl-C stopped varnel-monitor.exe and varnel-board.exe"
