#!/usr/bin/env bash
# scripts/desktop-session tests/e2e/kwin_session.sh CMD [ARGS...]: runs CMD in a headless KWin
# (XWayland on) in the private desktop, sharing its buses; KWin ends with it.
set -uo pipefail

name=kwin
# shellcheck source=session_helpers.sh
source "$(dirname "$0")/session_helpers.sh"
kwin=$(command -v kwin_wayland) || { say "kwin_wayland is missing; run scripts/setup"; exit 69; }

# The installed binary carries a file capability that containers may refuse to execute: a copy
# without it, under the same name (its platform plugin checks the name).
mkdir "$dir/bin"
cp "$kwin" "$dir/bin/kwin_wayland"

# KWin passes nothing of its command's output through, nor its exit status: the command writes
# both into the folder.
cat >"$dir/run" <<RUN
#!/usr/bin/env bash
export XDG_SESSION_TYPE=wayland
"\$@" >"$dir/out" 2>&1
echo \$? >"$dir/status"
RUN
chmod +x "$dir/run"
# KWin lets a program send keys (fake input) when a desktop entry of its executable says so, as
# Parlomatic's own does: one for the command, if it is a program.
mkdir -p "$dir/share/applications"
if command -v "$1" >/dev/null; then
    printf '[Desktop Entry]\nType=Application\nName=Test\nExec=%s\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n' \
        "$(realpath "$(command -v "$1")")" >"$dir/share/applications/parlomatic-test.desktop"
fi
# PARLOMATIC_KWIN_SCALE=2: the output at scale 2, X11 applications scaling themselves.
scale=${PARLOMATIC_KWIN_SCALE:-1}
mkdir -p "$dir/config"
printf '[Xwayland]\nScale=%s\n' "$scale" >"$dir/config/kwinrc"
run env XDG_DATA_DIRS="$dir/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" XDG_CONFIG_HOME="$dir/config" \
    XDG_RUNTIME_DIR="$dir" KWIN_COMPOSE=Q "$dir/bin/kwin_wayland" --virtual --xwayland --width 1280 --height 800 --scale "$scale" \
    --no-lockscreen --no-global-shortcuts --no-kactivities --socket parlomatic-kwin --exit-with-session \
    "$dir/run $*" >"$PARLOMATIC_SESSION_DIR/kwin.log" 2>&1
pids=()
cat "$dir/out" 2>/dev/null
[ -s "$dir/status" ] || { say "KWin ended before the command did:"; tail -n 20 "$PARLOMATIC_SESSION_DIR/kwin.log" >&2; exit 70; }
exit "$(cat "$dir/status")"
