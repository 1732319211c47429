# shellcheck shell=bash
# Sourced by the shell e2e tests inside scripts/desktop-session. The tray menu helper needs
# `app_pid` and `icon` (the application's tray icon window) set, and a `fail` function.

source_tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../scripts/lib/wait.sh
source "$source_tree/scripts/lib/wait.sh"

# What a test starts in the background goes into `pids`; it is ended by its PID when the test exits.
pids=()
stop_started() { stop_pids "${pids[@]}"; }
trap stop_started EXIT

window() { xdotool search --onlyvisible --name "$1" | head -1; }
start_tray() { # trayer in the top right corner, for the application's icon
    trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
    pids+=($!)
    wait_for 10 xdotool search --onlyvisible --class trayer >/dev/null || fail "no tray"
}
# The browser Qt opens (xdg-open runs $BROWSER in the private desktop) becomes FILE: a person who signs
# in as EMAIL with the password that PASSWORD_COMMAND prints, trusting CA.
scripted_browser() { # FILE CA EMAIL PASSWORD_COMMAND
    # shellcheck disable=SC2016 # $1 and the password's command are the browser script's
    printf '#!/bin/sh\nNODE_EXTRA_CA_CERTS=%s BROWSER_EMAIL=%s BROWSER_PASSWORD=$(%s) exec node %s "$1" >>%s.log 2>&1\n' \
        "$2" "$3" "$4" "$source_tree/tests/identity/browser.mjs" "$1" >"$1"
    chmod +x "$1"
    export BROWSER=$1
}
# More than COUNT visible windows of process PID: prints "open".
windows_above() { [ "$(xdotool search --onlyvisible --pid "$1" | wc -l)" -gt "$2" ] && echo open; }

# Opens the tray menu and picks the item `$1` steps from the top (negative: from the bottom).
# shellcheck disable=SC2154 # app_pid and icon are set by the test that sources this file
menu_pick() {
    local shown
    shown=$(xdotool search --onlyvisible --pid "$app_pid" | wc -l)
    # A click that lands while the tray is still embedding the icon, or while the menu is rebuilt
    # after a session change, opens nothing: click again, three times at most.
    local attempt
    for attempt in 1 2 3; do
        xdotool mousemove --window "$icon" 4 4 click 3
        if wait_for 5 windows_above "$app_pid" "$shown" >/dev/null; then
            break
        fi
        [ "$attempt" -lt 3 ] || fail "the tray menu did not open"
    done
    local key=Down steps=$1
    if [ "$steps" -lt 0 ]; then key=Up steps=$((-steps)); fi
    for _ in $(seq "$steps"); do xdotool key "$key"; done
    xdotool key Return
}
