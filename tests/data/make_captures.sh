#!/usr/bin/env bash
# Makes the regression corpus of captures in tests/data/ with the tools of a
# build, and the package fuzzer's seeds from them (tests/fuzz/corpus/
# capture-*). Run again only when the corpus is to change: the replay test
# (tests/tools/ReplayProcessTest.cpp) expects what these commands make.
#   bash tests/data/make_captures.sh [BUILD_DIR]     (default build/x64-debug)
# The tcpdump capture needs root; without it that file is left as it is.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/x64-debug}
board=$build/tools/varnel-board
monitor=$build/tools/varnel-monitor
address=127.0.13.250
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# start_board OPTIONS...: varnel-board on $address for one client, once it
# listens; its process id in $pid.
start_board() {
  "$board" --bind $address --clients 1 "$@" 2>"$work/board" &
  pid=$!
  for _ in $(seq 200); do grep -q "listening on" "$work/board" && return; sleep 0.05; done
  echo "varnel-board did not start: $(cat "$work/board")" >&2
  exit 1
}

# monitor_capture NAME BOARD_OPTIONS...: the monitor's capture of one
# connection to a board with these options.
monitor_capture() {
  local name=$1
  shift
  start_board "$@"
  "$monitor" $address --duration 10 --quiet --capture "tests/data/$name" >/dev/null 2>"$work/err" || true
  wait $pid || true
  echo "$name: $(tail -n 1 "$work/err")"
}

monitor_capture monitor-stream.pcapng --rate 500 --count 12 --channels 4 --samples 200 --stream-length 5
monitor_capture monitor-reset.pcapng --rate 1000 --channels 3 --samples 256 --reset-after 8
monitor_capture monitor-refused-header.pcapng --rate 1000 --channels 3 --samples 256 --bad-header size-too-large \
  --bad-header-after 5
monitor_capture monitor-cut-body.pcapng --rate 1000 --channels 3 --samples 256 --cut-after 6

if [[ $(id -u) == 0 ]]; then
  tcpdump -i lo --immediate-mode -U -w tests/data/tcpdump-stream.pcap "host $address and tcp port 63751" 2>"$work/tcpdump" &
  dump=$!
  for _ in $(seq 100); do grep -q "listening on" "$work/tcpdump" && break; sleep 0.05; done
  start_board --rate 200 --count 10 --channels 2 --samples 500 --first-number 1000
  "$monitor" $address --duration 10 --quiet >/dev/null 2>&1 || true
  wait $pid || true
  kill -INT $dump
  wait $dump || true
  echo "tcpdump-stream.pcap: $(tail -n 1 "$work/tcpdump")"
fi

# The fuzzer's seeds: each capture's stream of packages.
for capture in tests/data/*.pcap tests/data/*.pcapng; do
  name=$(basename "${capture%.*}")
  "$board" --replay "$capture" --write-stream "$work/$name.stream" --quiet
  /usr/bin/python3 tests/fuzz/make_corpus.py --stream "$work/$name.stream" "tests/fuzz/corpus/capture-$name"
done
ls -l tests/data
