#!/usr/bin/env bash
# What listings of one capture cost, against the targets (this machine, 2 cores):
#  - 2,000 listings of one absent 12,734-page capture: at most 1 s and 64 MB (peak resident);
#  - the JSON of 200 such listings: at most 1 MB;
#  - a plan of some 16,000 requests beside 200,000 listings of an absent capture: at most 2 s;
#  - an idle watch over 50,000 listings of one small file: at most 1% of a core over 10 s.
#
# usage: bench/listings_cost.sh IMGCOVER FRAMESIM
set -euo pipefail
cover="$(realpath "$1")"
framesim="$(realpath "$2")"
work="$(mktemp -d)"
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
hz="$(getconf CLK_TCK)"

# A run of the largest range, and a run description listing NAME N times.
"$framesim" --out "$work" --image-size 3259904 --pages-per-file 12734 --loss 0.3 --seed 3 \
    >/dev/null
head="$(head -n 4 "$work/file_info.txt")"
listing() { # N NAME
    { printf '%s\n' "$head" | sed "3s/.*/numfile $1/"; awk -v n="$1" -v s="$2" 'BEGIN { for (i = 0; i < n; ++i) print s }'; } \
        >"$work/file_info.txt"
}
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "within" : "OVER") }'; }

listing 2000 absent_5_0_17_445.txt
/usr/bin/time -o "$work/time" -f '%e %M' "$cover" --json "$work/j.json" "$work" \
    >/dev/null 2>&1 || true
read -r secs kb < <(tail -n 1 "$work/time")
echo "2,000 listings of an absent 12,734-page capture: $secs s, $(( kb / 1024 )) MB peak" \
     "($(verdict "$secs" 1) 1 s; $(verdict "$kb" 65536) 64 MB)"

listing 200 absent_5_0_17_445.txt
"$cover" --json "$work/j.json" "$work" >/dev/null 2>&1 || true
bytes="$(stat -c %s "$work/j.json")"
echo "JSON of 200 such listings: $bytes bytes ($(verdict "$bytes" 1048576) 1 MB)"

# A pass over the largest image with many holes (a plan of some 16,000 requests), and beside its
# captures 200,000 listings of an absent one.
rm -f "$work"/*.txt
"$framesim" --out "$work" --image-size 23998976 --loss 0.3 --seed 3 >/dev/null
awk -v n=200000 'NR == 3 { print "numfile " ($2 + n); next } { print }
    END { for (i = 0; i < n; ++i) print "absent_5_0_17_445.txt" }' "$work/file_info.txt" \
    >"$work/info.new"
mv "$work/info.new" "$work/file_info.txt"
/usr/bin/time -o "$work/time" -f '%e %M' "$cover" --plan "$work/plan.txt" "$work" \
    >/dev/null 2>&1 || true
read -r secs kb < <(tail -n 1 "$work/time")
requests="$(wc -l <"$work/plan.txt")"
echo "a plan of $requests requests beside 200,000 listings of an absent capture: $secs s," \
     "$(( kb / 1024 )) MB peak ($(verdict "$secs" 2) 2 s)"

# A small capture (2,048 bytes, 13 frames), as a slow station may list it again and again.
rm -f "$work"/*.txt
"$framesim" --out "$work" --image-size 2048 --pages-per-file 8 --loss 0 >/dev/null
head="$(head -n 4 "$work/file_info.txt")"
listing 50000 "$(sed -n 5p "$work/file_info.txt")"
"$cover" --watch --json "$work/w.json" "$work" >/dev/null 2>&1 &
pid=$!
until [ -s "$work/w.json" ]; do sleep 0.1; done
sleep 2 # the outputs of the first look are written on their own thread
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before="$(ticks)"
sleep 10
after="$(ticks)"
share="$(awk "BEGIN {printf \"%.2f\", 100 * ($after - $before) / $hz / 10}")"
echo "idle watch over 50,000 listings of one file: $share% of a core ($(verdict "$share" 1) 1%)"
