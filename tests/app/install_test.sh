#!/usr/bin/env bash
# An installed Parlomatic: the program, its deployment files beside it, its icon, and a desktop
# entry that the desktop's launcher (and the autostart folder) accept.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
entry=$prefix/share/applications/parlomatic.desktop
# shellcheck source=../../scripts/lib/fail.sh
source "$(dirname "$0")/../../scripts/lib/fail.sh"

[ -x "$prefix/bin/parlomatic" ] || fail "no program in bin/"
for conf in Info.conf Identity.conf; do
    [ -f "$prefix/share/parlomatic/$conf" ] || fail "no $conf in share/parlomatic/"
done
[ -f "$prefix/share/icons/hicolor/scalable/apps/parlomatic.svg" ] || fail "no icon"
desktop-file-validate "$entry" || fail "the desktop entry does not validate"
grep -qx "Exec=$prefix/bin/parlomatic %u" "$entry" || fail "the entry does not start the installed program by its path"
grep -qx 'Icon=parlomatic' "$entry" || fail "the entry does not name the installed icon"
echo "1 passed, 0 failed"
