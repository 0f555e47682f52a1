#!/usr/bin/env bash
# The packages as a user gets them: the Debian package unpacked into a scratch root runs the
# bundled example exactly and has readable man pages, lintian finds no error in it; the
# Windows zip holds the three programs stripped, the guide, the manuals and the license as text
# with CR LF line ends, and the example, and under wine its imgcover.exe and framesim.exe show
# their help and its imgrebuild.exe rebuilds its example exactly.
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
for f in imgrebuild.exe imgcover.exe framesim.exe README.txt LICENSE.txt manual/imgrebuild.txt \
    manual/imgcover.txt manual/framesim.txt example/file_info.txt; do
    check "$f in the Windows zip" 'grep -qx "$f" <<<"$listing"'
done
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
crlf() { # every line of FILE ends in CR LF, and there are lines
    [ -s "$1" ] && ! grep -q $'[^\r]$' "$1" && ! grep -q $'^$' "$1" && [ "$(tail -c 2 "$1" | od -An -c | tr -d ' ')" = '\r\n' ]
}
for f in README.txt LICENSE.txt manual/imgrebuild.txt manual/imgcover.txt manual/framesim.txt; do
    check "$f has CR LF line ends" 'crlf "$work/zip/$f"'
done
check "the guide tells how to run without waiting, from cmd and PowerShell" 'grep -q "imgrebuild.exe < NUL" "$work/zip/README.txt" && grep -q "PowerShell" "$work/zip/README.txt"'
plain() { # no overstrike (backspaces) nor escape sequences, and the manual's sections
    ! grep -q $'[\b\e]' "$1" && grep -q "EXIT STATUS" "$1"
}
for page in imgrebuild imgcover framesim; do
    check "manual/$page.txt is plain text" 'plain "$work/zip/manual/$page.txt"'
done
for exe in imgrebuild imgcover framesim; do
    check "$exe.exe is stripped" '! objdump -h "$work/zip/$exe.exe" | grep -q "\.debug"'
done
# Under wine, as a Windows user would run them.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
wineboot -i >/dev/null 2>&1 || true
for exe in imgcover framesim; do
    check "$exe.exe --help under wine" '(cd "$work/zip" && wine "./$exe.exe" --help </dev/null 2>&1) | grep -q -- "--version"'
done
status=0
(cd "$work/zip/example" && wine ../imgrebuild.exe </dev/null >"$work/wine.log" 2>"$work/wine.err") || status=$?
check "imgrebuild.exe rebuilds the zip's example under wine" '[ "$status" = 0 ] && cmp -s "$work/wine.log" "$source_dir/tests/data/basic.expected_stdout" && cmp -s "$work/zip/example/output.bin" "$source_dir/tests/data/basic.expected_output.bin"'
echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
