#!/usr/bin/env bash
# The README as a new operator follows it: clones this repository's current commit afresh, runs
# the commands of the README's quick start as they are written there (all but `./dev test`,
# whose build of every test CI runs on its own), then, in an empty folder and in the same shell,
# every command block of the operator's workflow section as written. Passes when each command
# ends as the README says it does: every program exits 0, except imgcover, which may say 1
# (bytes still missing); the watch block ends on `q` and Enter once the pass it follows is
# written, with the report of the final state.
#
# usage: tests/quickstart_readme.sh [WORK]   (WORK: where to clone; a temporary folder by default)
# Needs what `./dev demo` needs (it installs what is missing, as root) and man-db for `man`.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
commit="$(git -C "$source_dir" rev-parse HEAD)"
work="${1:-}"
if [ -z "$work" ]; then
    work="$(mktemp -d /tmp/imgrebuild-readme.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi
readme="$source_dir/README.md"

# The fenced sh blocks of the README section whose heading starts with $1 (a "## " heading,
# up to the next one), each block ended by a line "#### end of block".
blocks_of() {
    awk -v head="$1" '
        /^## / { on = index($0, head) == 1 }
        on && /^```sh/ { inblock = 1; next }
        inblock && /^```/ { inblock = 0; print "#### end of block"; next }
        inblock { print }' "$readme"
}

quick_start="$(blocks_of '## Quick start' | grep -v '^#### end of block' | grep -v '^\./dev test')"
workflow="$(blocks_of "## The operator's workflow")"
[ -n "$quick_start" ] || { echo "readme: no quick start found" >&2; exit 1; }
[ "$(grep -c '^#### end of block' <<<"$workflow")" -ge 2 ] ||
    { echo "readme: the operator's workflow has fewer than two command blocks" >&2; exit 1; }

echo "== cloning $commit into $work/imgrebuild"
git clone -q "$source_dir" "$work/imgrebuild"
git -C "$work/imgrebuild" checkout -q "$commit"

# Each command of a block runs in one shell, so that cd and export carry on as they do for a
# person. A command that fails is noted with its status, and the block goes on; the checks
# below read the notes.
failures="$work/failures"
: >"$failures"
run_block() { # NAME, the block on standard input is run with $2 as its standard input
    local name="$1" input="$2" script
    script="$(cat)"
    echo "== $name"
    printf '%s\n' "$script" | sed 's/^/   | /'
    (
        trap 'echo "$? $BASH_COMMAND" >>"$failures"' ERR
        eval "$script"
        export -p >"$work/exported"
    ) <"$input"
}

export PAGER=cat MANPAGER=cat MANWIDTH=80
cd "$work/imgrebuild"
# What the quick start exports (PATH and MANPATH) holds for the workflow, as it does in a
# person's shell.
run_block "the quick start (in the clone)" /dev/null <<<"$quick_start" >"$work/quickstart.log" 2>&1 ||
    true
cat "$work/quickstart.log"
grep -q '^programs: .*/build/imgrebuild, and imgcover and framesim in .*/build/tools$' \
    "$work/quickstart.log" || { echo "FAILED: the demo does not say where the programs are"; exit 1; }
grep -q 'IMGCOVER(1)' "$work/quickstart.log" ||
    { echo "FAILED: man imgcover did not show the manual"; exit 1; }
[ ! -s "$failures" ] || { echo "FAILED: in the quick start:"; cat "$failures"; exit 1; }
eval "$(grep -E '^declare -x (PATH|MANPATH)=' "$work/exported")"
hash -r
# The programs the workflow calls are the clone's.
for program in build/imgrebuild build/tools/imgcover build/tools/framesim; do
    [ "$(command -v "${program##*/}")" = "$work/imgrebuild/$program" ] ||
        { echo "FAILED: ${program##*/} is not the clone's $program"; exit 1; }
done

block=0
status=0
while IFS= read -r -d $'\x1e' script; do
    [ -n "${script//[[:space:]]/}" ] || continue
    block=$((block + 1))
    : >"$failures"
    # Each block is an example of its own: it starts in an empty folder.
    mkdir "$work/block$block"
    cd "$work/block$block"
    if [[ "$script" == *"--watch"* ]]; then
        # A watch runs until it is told to end: it gets a q and Enter on its standard input
        # once the pass it follows is all written and it has shown the last of it.
        fifo="$work/watch-input"
        rm -f "$fifo"
        mkfifo "$fifo"
        run_block "workflow block $block" "$fifo" <<<"$script" >"$work/block$block.log" 2>&1 &
        watcher=$!
        exec 3>"$fifo" # the watch's input stays open until the q is sent
        deadline=$((SECONDS + 120))
        settled=0
        until [ "$settled" = 1 ] || [ $SECONDS -ge $deadline ]; do
            sleep 0.2
            dir="$(grep -o 'imgcover --watch [^ ]*' <<<"$script" | head -n 1 | cut -d' ' -f3)"
            [ -e "$dir/dropped.txt" ] || continue
            want="$(imgcover --json - "$dir" 2>/dev/null | grep -o '"covered_bytes": [0-9]*' | grep -o '[0-9]*$')" ||
                true
            want="$(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$want")" # grouped as imgcover groups
            [ -n "$want" ] && grep -q "covered [0-9.]*% ($want of" "$work/block$block.log" &&
                settled=1
        done
        echo q >&3
        exec 3>&-
        wait "$watcher" || true
        cat "$work/block$block.log"
        [ "$settled" = 1 ] || { echo "FAILED: the watch never showed the finished pass"; status=1; }
        grep -q '^plan: ' "$work/block$block.log" ||
            { echo "FAILED: the watch did not end with the report of the final state"; status=1; }
    else
        run_block "workflow block $block" /dev/null <<<"$script" >"$work/block$block.log" 2>&1 ||
            true
        cat "$work/block$block.log"
    fi
    # Every command succeeded, but imgcover may say that bytes are still missing (1).
    while read -r code command; do
        if [ "$code" = 1 ] && [[ "$command" == imgcover* ]]; then
            continue
        fi
        echo "FAILED: in workflow block $block, status $code: $command"
        status=1
    done <"$failures"
done < <(sed 's/^#### end of block$/\x1e/' <<<"$workflow")
[ "$status" = 0 ] && echo "readme: the quick start and the operator's workflow ran as written ($block blocks)"
exit "$status"
