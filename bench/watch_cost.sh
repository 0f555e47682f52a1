#!/usr/bin/env bash
# What a watch over a whole pass costs, as a ratio to one analysis of the finished run, both
# measured in this run.
#
# usage: bench/watch_cost.sh IMGCOVER FRAMESIM [FPS] [INTERVAL] [FRAMESIM OPTIONS...]
# framesim writes a live pass (default: the largest run, --max, at 20000 lines a second) while
# imgcover --watch follows it at INTERVAL seconds (default 0.2); once the pass is written and the
# watch shows every frame, its CPU time (user + system) is read, then one analysis of the
# finished run is timed the same way. Target: the watch costs at most 3 one-shot analyses.
set -euo pipefail
cover="$(realpath "$1")"
framesim="$(realpath "$2")"
fps="${3:-20000}"
interval="${4:-0.2}"
shift $(( $# < 4 ? $# : 4 ))
options=("$@")
[ ${#options[@]} -gt 0 ] || options=(--max)
work="$(mktemp -d)"
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
hz="$(getconf CLK_TCK)"
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

"$framesim" --out "$work/run" --live "$fps" "${options[@]}" >/dev/null &
sim=$!
until [ -e "$work/run/file_info.txt" ]; do sleep 0.01; done
"$cover" --watch --interval "$interval" "$work/run" >"$work/watch.out" 2>/dev/null &
pid=$!
start="$(date +%s.%N)"
wait "$sim"
written="$(date +%s.%N)"

# One analysis of the finished run; its frames are what the watch must come to show.
one="$( { TIMEFORMAT='%U %S'; time "$cover" --json "$work/one.json" "$work/run" >/dev/null 2>&1 || true; } 2>&1 )"
frames="$(grep -m1 '^  "frames"' "$work/one.json" | tr -dc 0-9)"
shown() { tail -n 1 "$work/watch.out" | sed -n 's/.*frames \([0-9,]*\) .*/\1/p' | tr -dc 0-9; }
until [ "$(shown)" = "$frames" ]; do sleep 0.05; done
watch_ticks="$(ticks "$pid")"
looks="$(wc -l <"$work/watch.out")"
kill -INT "$pid"
wait "$pid" || true
pid=""

awk -v w="$watch_ticks" -v hz="$hz" -v one="$one" -v frames="$frames" -v looks="$looks" \
    -v pass="$(awk "BEGIN {print $written - $start}")" 'BEGIN {
    split(one, t, " "); o = t[1] + t[2]
    printf "pass: %d frames written in %.1f s; the watch showed %d looks that changed something\n", frames, pass, looks
    printf "watch: %.2f s of CPU over the whole pass\n", w / hz
    printf "one-shot analysis of the finished run: %.2f s of CPU\n", o
    printf "ratio: %.2f (target: at most 3)\n", (w / hz) / o
}'
