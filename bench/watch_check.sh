#!/usr/bin/env bash
# What a watch costs while nothing happens, and how soon it shows a frame that arrives.
#
# usage: bench/watch_check.sh IMGCOVER FRAMESIM
# Makes a run of 30 captures, watches it at the default interval (1 s) with --json, then
#  - idle: the CPU time the watch uses over 10 seconds in which no file changes;
#  - latency: 5 times, the last line feed of a frame line is written, and the time until the
#    watch's JSON counts the frame is measured.
set -euo pipefail
cover="$(realpath "$1")"
framesim="$(realpath "$2")"
work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
"$framesim" --out "$work/run" --image-size 200000 --pages-per-file 32 --loss 0 >/dev/null
# Hold back the last frame line of the last capture: it arrives during the latency check.
last="$(ls "$work/run"/pass1_* | sort -V | tail -n 1)"
tail -n 1 "$last" >"$work/held"
head -n -1 "$last" >"$work/rest" && mv "$work/rest" "$last"
"$cover" --watch --json "$work/watch.json" "$work/run" >/dev/null 2>&1 &
pid=$!
frames() { grep -m1 '^  "frames"' "$work/watch.json" 2>/dev/null | tr -dc 0-9; }
until [ -n "$(frames)" ]; do sleep 0.05; done

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz="$(getconf CLK_TCK)"
before="$(ticks)"
sleep 10
after="$(ticks)"
echo "idle: $(( after - before )) clock ticks of CPU in 10 s ($hz a second): $(awk "BEGIN {printf \"%.3f\", 100 * ($after - $before) / $hz / 10}")% of a core"

frame="$(cat "$work/held")"
for k in 1 2 3 4 5; do
    # The same slot again is a new sound frame: the count rises by one when it is seen.
    had="$(frames)"
    printf '%s' "$frame" >>"$last"
    sleep 0.3 # the line is there without its line feed: not a frame yet
    [ "$(frames)" = "$had" ] || { echo "a line without its line feed was counted"; exit 1; }
    start="$(date +%s.%N)"
    printf '\n' >>"$last"
    until [ "$(frames)" != "$had" ]; do sleep 0.01; done
    end="$(date +%s.%N)"
    echo "latency $k: $(awk "BEGIN {printf \"%.3f\", $end - $start}") s from the line feed to the JSON"
done
