#!/usr/bin/env bash
# Records what the programs do, for comparing two builds after a change that must not alter
# behaviour: every log, output file, report, JSON, plan, run description, picture and exit
# status of the bundled example, of seeded framesim runs with resends, of the demo, and of the
# command-line error paths and help texts.
#
#   tools/record_behaviour.sh BUILD OUT     BUILD holds imgrebuild, tools/imgcover, tools/framesim
#   diff -r OUT-before OUT-after            what changed
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD OUT" >&2; exit 2; }
build="$(cd "$1" && pwd)"
src="$(cd "$(dirname "$0")/.." && pwd)"
rm -rf "$2"
mkdir -p "$2"
out="$(cd "$2" && pwd)"
rebuild="$build/imgrebuild"
cover="$build/tools/imgcover"
sim="$build/tools/framesim"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Runs a command in the current folder, keeping its stdout, stderr and status under NAME.
rec() {
    local name="$1"
    shift
    "$@" >"$out/$name.out" 2>"$out/$name.err" </dev/null
    echo "$?" >"$out/$name.status"
    # Temporary folders differ between runs: name them alike.
    sed -i "s#$work#WORK#g; s#$build#BUILD#g" "$out/$name.out" "$out/$name.err"
}

# Every imgcover output of the folder it runs in, then the rebuild.
cover_all() {
    local tag="$1"
    shift
    rec "$tag.cover" "$cover" "$@"
    rec "$tag.json" "$cover" --json - "$@"
    rec "$tag.files" "$cover" --plan "$work/plan.txt" --next-info "$work/next.txt" \
        --json "$work/a.json" --map "$work/map.png" --picture "$work/pic.png" --width 256 \
        --rebuilt "$work/rebuilt.bin" "$@"
    for f in plan.txt next.txt a.json map.png pic.png rebuilt.bin; do
        [ -e "$work/$f" ] && mv "$work/$f" "$out/$tag.$f"
    done
    rec "$tag.rgb" "$cover" --picture "$work/rgb.png" --width 100 --pixel rgb24 --offset 7 \
        --hole-color 00ff00 --map "$work/map2.png" --cell 7 --map-width 64 --join 3 \
        --prefix auto --plan "$work/plan2.txt" "$@"
    for f in rgb.png map2.png plan2.txt; do
        [ -e "$work/$f" ] && mv "$work/$f" "$out/$tag.$f"
    done
    rec "$tag.rebuild" "$rebuild"
    [ -e output.bin ] && cp output.bin "$out/$tag.output.bin"
}

# The bundled example.
cp -r "$src/examples/basic" "$work/basic"
(cd "$work/basic" && cover_all basic)

# Seeded runs: a first pass with losses, noise and corruption, then two rounds of resends.
for seed in 1 2 3 4 5 6; do
    d="$work/seed$seed"
    rec "seed$seed.sim" "$sim" --out "$d" --seed "$seed" --image-size 150000 --loss 0.05 \
        --passes 2 --repeat half --duplicates 0.01 --reorder 0.01 --noise 0.01 --corrupt 0.005 \
        --style varied --pages-per-file 40
    (
        cd "$d" || exit 1
        cp dropped.txt "$out/seed$seed.dropped.txt"
        cp file_info.txt "$out/seed$seed.file_info.txt"
        cover_all "seed$seed.r0"
        for round in 1 2; do
            "$cover" --prefix auto --plan plan.txt --next-info next.txt >/dev/null 2>&1
            rec "seed$seed.r$round.resend" "$sim" --out . --ranges plan.txt --loss 0.1 \
                --seed "$((seed * 10 + round))"
            mv next.txt file_info.txt
            cover_all "seed$seed.r$round"
        done
        cp dropped.txt "$out/seed$seed.dropped-after.txt"
    )
done

# Command lines: help, version, usage errors and refusals.
mkdir -p "$work/cli" && cd "$work/cli" || exit 1
cp -r "$src/examples/basic/." .
rec cli.cover-help "$cover" --help
rec cli.cover-version "$cover" --version
rec cli.sim-help "$sim" --help
rec cli.sim-version "$sim" --version
rec cli.cover-bogus "$cover" --bogus
rec cli.cover-nodir "$cover" "$work/none"
rec cli.cover-prefix "$cover" --prefix 'a b' --plan p.txt
rec cli.cover-picture-nowidth "$cover" --picture p.png
rec cli.cover-hole "$cover" --picture p.png --width 4 --hole-color zz
rec cli.cover-json-watch "$cover" --json - --watch
rec cli.cover-clash "$cover" --plan x.txt --json x.txt
rec cli.cover-clash-info "$cover" --plan file_info.txt
rec cli.cover-clash-capture "$cover" --json pass1_5_0_5_127.txt
rec cli.cover-join "$cover" --join -1
rec cli.cover-interval "$cover" --interval 0
rec cli.sim-bogus "$sim" --bogus
rec cli.sim-loss "$sim" --loss 2
rec cli.sim-pages "$sim" --pages-per-file 0 --out "$work/p0"
rec cli.sim-exists "$sim" --out .
rec cli.sim-ranges-missing "$sim" --out . --ranges none.txt
printf '5 0 5 1 bad name.txt\n' >bad-plan.txt
rec cli.sim-ranges-bad "$sim" --out . --ranges bad-plan.txt
rec cli.sim-image-missing "$sim" --out "$work/q" --image none.bin
printf 'x\nimagesize 100\nnumfile 1\nSC_S 5\nmissing_5_0_5_0.txt\n' >file_info.txt
rec cli.cover-absent "$cover" --json -
rm -f file_info.txt
rec cli.cover-noinfo "$cover"
ls -A >"$out/cli.files-left"

# The demo, with its pictures and logs.
cd "$work" || exit 1
if [ -x "$build/tools/imgdemo" ]; then
    (cd "$src" && "$build/tools/imgdemo" "$rebuild" "$cover" "$work/demo") \
        >"$out/demo.out" 2>"$out/demo.err" </dev/null
    echo "$?" >"$out/demo.status"
    sed -i "s#$work#WORK#g" "$out/demo.out" "$out/demo.err"
    (cd "$work/demo" && find . -type f | sort | while read -r f; do
        printf '%s %s\n' "$(sha256sum <"$f" | cut -c1-16)" "$f"
    done) >"$out/demo.files"
fi
echo "recorded in $out"
