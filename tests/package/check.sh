#!/usr/bin/env bash
# The packages as a user gets them: the Debian package unpacked into a scratch root runs the
# bundled example exactly and has readable man pages, lintian finds no error in it, and the
# Windows zip holds the three programs, the README and the license.
#
# usage: tests/package/check.sh PACKAGE_BUILD_DIR
set -euo pipefail
build="$(realpath "$1")"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
deb="$(ls "$build"/imgrebuild_*_amd64.deb)"
zip="$(ls "$build"/imgrebuild-*-windows-x86_64.zip)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() { if eval "$2"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi; }

dpkg -x "$deb" "$work/root"
check "the programs land in /usr/bin" '[ -x "$work/root/usr/bin/imgrebuild" ] && [ -x "$work/root/usr/bin/imgcover" ] && [ -x "$work/root/usr/bin/framesim" ]'
cp -r "$source_dir/examples/basic" "$work/basic"
(cd "$work/basic" && "$work/root/usr/bin/imgrebuild" </dev/null >"$work/log")
check "the installed imgrebuild rebuilds the example" 'cmp -s "$work/log" "$source_dir/tests/data/basic.expected_stdout" && cmp -s "$work/basic/output.bin" "$source_dir/tests/data/basic.expected_output.bin"'
status=0
"$work/root/usr/bin/imgcover" "$work/basic" >/dev/null || status=$?
check "the installed imgcover finds the example incomplete (exit 1)" '[ "$status" = 1 ]'
check "imgcover --version" '"$work/root/usr/bin/imgcover" --version | grep -q "^imgcover [0-9]"'
check "framesim --version" '"$work/root/usr/bin/framesim" --version | grep -q "^framesim [0-9]"'
for page in imgrebuild imgcover framesim; do
    check "man page of $page" 'MANWIDTH=80 man -l -P cat "$work/root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "EXIT STATUS"'
done
check "README and copyright in /usr/share/doc/imgrebuild" '[ -f "$work/root/usr/share/doc/imgrebuild/README.md" ] && [ -f "$work/root/usr/share/doc/imgrebuild/copyright" ]'
check "the package states its dependencies" 'dpkg -f "$deb" Depends | grep -q libc6'
check "lintian finds no error" 'lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || { cat "$work/lintian"; false; }'
listing="$(cmake -E tar tf "$zip")"
for f in imgrebuild.exe imgcover.exe framesim.exe README.md LICENSE; do
    check "$f in the Windows zip" 'grep -qx "$f" <<<"$listing"'
done
echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
