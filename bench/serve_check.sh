#!/usr/bin/env bash
# What serving a watch costs: the CPU of imgcover --serve with 10 pages open over a live pass of
# the largest image, against the CPU of imgcover --watch over the same pass; and the CPU of a
# served watch with its pages open while nothing changes.
#
# usage: bench/serve_check.sh IMGCOVER FRAMESIM [FPS]
# Each run: framesim --max --live FPS (default 4000 lines a second) writes the pass while the
# watch follows it at the default interval (1 s); its CPU time is read from /proc when the pass
# has ended and the watch has seen the end, before Ctrl-C. A page here is what the browser does:
# it follows /events and fetches the map and the picture whenever the update says they were
# drawn again. The served watch draws the picture too (--width 4096).
set -euo pipefail
cover="$(realpath "$1")"
framesim="$(realpath "$2")"
fps="${3:-4000}"
work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz="$(getconf CLK_TCK)"

# Follows the page's updates as the page does: $1 the address, $2 a file for its own log.
page() {
    local url="$1" map=0 picture=0 line m p
    curl -sN "${url}events" | while IFS= read -r line; do
        case "$line" in
        data:*)
            m="$(sed -n 's/.*"pictures":{[^}]*"map":\([0-9]*\).*/\1/p' <<<"$line")"
            p="$(sed -n 's/.*"pictures":{[^}]*"picture":\([0-9]*\).*/\1/p' <<<"$line")"
            if [ -n "$m" ] && [ "$m" != "$map" ]; then
                map="$m"
                curl -s -o /dev/null "${url}map.png?v=$m" && echo map >>"$work/fetched"
            fi
            if [ -n "$p" ] && [ "$p" != "$picture" ]; then
                picture="$p"
                curl -s -o /dev/null "${url}picture.png?v=$p" && echo picture >>"$work/fetched"
            fi
            ;;
        esac
    done
}

# One pass watched: $1 the name, then imgcover's options. Prints the watch's CPU seconds.
watched_pass() {
    local name="$1"
    shift
    local dir="$work/$name"
    "$framesim" --max --out "$dir" --live "$fps" >/dev/null &
    local sim=$!
    pids+=("$sim")
    until [ -f "$dir/file_info.txt" ]; do sleep 0.05; done
    "$cover" "$@" "$dir" >"$work/$name.out" 2>"$work/$name.err" &
    local watch=$!
    pids+=("$watch")
    if [[ " $* " == *" --serve "* ]]; then
        until [ -s "$work/$name.out" ]; do sleep 0.05; done
        local url
        url="$(head -n 1 "$work/$name.out")"
        for k in $(seq 1 10); do
            page "$url" &
            pids+=("$!")
        done
    fi
    wait "$sim"
    sleep 3 # the watch sees the end of the pass
    local cpu
    cpu="$(ticks "$watch")"
    if [ -n "${idle_check:-}" ]; then
        local before after
        sleep 12 # the frame rate, a figure of the page, settles at 0 after 10 s
        before="$(ticks "$watch")"
        sleep 10
        after="$(ticks "$watch")"
        echo "idle: $((after - before)) clock ticks of CPU in 10 s ($hz a second) with 10 pages" \
            "open: $(awk "BEGIN {printf \"%.3f\", 100 * ($after - $before) / $hz / 10}")% of a core" >&2
    fi
    kill -INT "$watch"
    wait "$watch" || true
    awk "BEGIN {printf \"%.2f\", $cpu / $hz}"
}

echo "making the largest run live at $fps lines a second, twice"
watch_cpu="$(watched_pass watch --watch)"
echo "--watch:                 $watch_cpu s of CPU over the pass"
serve_cpu="$(idle_check=1 watched_pass serve --serve 0 --width 4096)"
echo "--serve with 10 pages:   $serve_cpu s of CPU over the pass"
echo "the 10 pages fetched $(grep -c map "$work/fetched") maps and $(grep -c picture "$work/fetched") pictures"
echo "ratio: $(awk "BEGIN {printf \"%.2f\", $serve_cpu / $watch_cpu}") (at most 1.5 wanted)"
