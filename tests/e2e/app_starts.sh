#!/usr/bin/env bash
# Inside scripts/desktop-session: Parlomatic starts with no window of its own, and a selection of a
# few words in Mousepad brings its strip up above the selection.
set -euo pipefail
app=$1

wait_for() { # SECONDS COMMAND...: polls until COMMAND prints something
    local deadline=$((SECONDS + $1))
    shift
    local out
    until out=$("$@" 2>/dev/null) && [ -n "$out" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
    echo "$out"
}
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait' EXIT

export XDG_CONFIG_HOME="$PARLOMATIC_SESSION_DIR/config"
"$app" &
pids+=($!)
app_pid=$!

mousepad --disable-server >/dev/null 2>&1 &
pids+=($!)
editor=$(wait_for 20 xdotool search --onlyvisible --pid "${pids[1]}" | head -1) || { echo "FAIL: no Mousepad window"; exit 1; }
xdotool windowactivate --sync "$editor"
kill -0 "$app_pid" || { echo "FAIL: parlomatic exited at start"; exit 1; }
if xdotool search --onlyvisible --pid "$app_pid" >/dev/null 2>&1; then
    echo "FAIL: parlomatic shows a window before anything is selected"
    exit 1
fi

xdotool type --delay 5 "hello there world"
xdotool key shift+Home
panel=$(wait_for 20 xdotool search --onlyvisible --name '^Parlomatic - Menu$' | head -1) || {
    echo "FAIL: the strip did not appear over the selection"
    exit 1
}
[ "$(xdotool getactivewindow)" = "$editor" ] || { echo "FAIL: the strip took the focus from Mousepad"; exit 1; }
echo "1 passed, 0 failed"
