#!/usr/bin/env bash
# The README's quick start on a bare machine: makes a throw-away Debian 12 root with debootstrap
# (its minimal system plus git), clones this repository's current commit into it, and runs the
# two quick-start commands there as root in a chroot. Passes when the demo's picture comes out
# whole and every test passes. Not part of CI: it needs root, debootstrap and a Debian mirror,
# and takes a while (the packages are downloaded afresh).
#
# usage: sudo tests/bare/quickstart.sh
# MIRROR overrides the Debian mirror, taken by default from this machine's apt sources;
# KEEP=1 keeps the root (its path is printed) instead of removing it.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
[ "$(id -u)" = 0 ] || { echo "quickstart: run as root (debootstrap and chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "quickstart: debootstrap is not installed" >&2; exit 1; }

# The first Debian archive this machine's apt uses (deb822 .sources or one-line lists).
mirror="${MIRROR:-}"
if [ -z "$mirror" ]; then
    mirror="$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }')"
fi
if [ -z "$mirror" ]; then
    mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\/.*\/debian\/?$/) { print $i; exit } }')"
fi
[ -n "$mirror" ] || { echo "quickstart: no Debian mirror in the apt sources; set MIRROR" >&2; exit 1; }
commit="$(git -C "$source_dir" rev-parse HEAD)"

root="$(mktemp -d /var/tmp/imgrebuild-bare.XXXXXX)"
mounted=()
cleanup() {
    local status=$?
    # Whatever still runs inside the root (a tmux server, say) goes first, by its process id.
    local pid
    for pid in /proc/[0-9]*; do
        if [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ]; then
            kill -9 "${pid#/proc/}" 2>/dev/null || true
        fi
    done
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" || true
    done
    if grep -q " $root/" /proc/mounts; then
        echo "quickstart: something is still mounted under $root; not removing it" >&2
    elif [ "${KEEP:-0}" = 1 ]; then
        echo "quickstart: the root is kept in $root"
    else
        rm -rf "$root"
    fi
    exit "$status"
}
trap cleanup EXIT
mount_in() { # TYPE-OR-BIND SOURCE TARGET-IN-ROOT
    mkdir -p "$root$3"
    if [ "$1" = bind ]; then mount --bind "$2" "$root$3"; else mount -t "$1" "$2" "$root$3"; fi
    mounted+=("$root$3")
}

echo "== debootstrap: Debian 12 (bookworm), minimal, plus git, from $mirror into $root"
debootstrap --variant=minbase --include=git bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 30 "$root.debootstrap.log"
    exit 1
}
rm -f "$root.debootstrap.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_in proc proc /proc
mount_in bind /dev /dev
mount_in bind /dev/pts /dev/pts

echo "== cloning $commit into /root/imgrebuild"
git clone -q "$source_dir" "$root/root/imgrebuild"
git -C "$root/root/imgrebuild" checkout -q "$commit"

# The README's quick start, its first code block: the two commands, as they are written there.
quick_start="$(awk '/^## Quick start/ { on = 1 } on && /^```sh/ { inblock = 1; next }
    inblock && /^```/ { exit } inblock { sub(/[[:space:]]*#.*/, ""); if ($0 != "") print }' \
    "$root/root/imgrebuild/README.md")"
echo "== the quick start, as root in the chroot:"
echo "$quick_start"
[ "$(wc -l <<<"$quick_start")" = 2 ] || { echo "quickstart: the README's quick start is not two commands" >&2; exit 1; }

log="$root/root/quickstart.log"
set +e
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb CI=true bash -ec "cd /root/imgrebuild; $(paste -sd';' <<<"$quick_start")" \
    </dev/null 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

failed=0
grep -q 'image rebuilt after [0-9]* resend rounds equals the source byte for byte: yes' "$log" ||
    { echo "FAILED: the demo's picture is not whole"; failed=1; }
grep -qE '^100% tests passed, 0 tests failed out of [0-9]+' "$log" ||
    { echo "FAILED: not every test passed"; failed=1; }
[ "$status" = 0 ] || { echo "FAILED: the quick start ended with status $status"; failed=1; }
[ "$failed" = 0 ] && echo "quickstart: on a bare Debian 12, the demo's picture is whole and every test passes"
exit "$failed"
