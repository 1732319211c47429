#!/usr/bin/env bash
# Inside scripts/desktop-session: the product's acceptance test. scripts/run brings up both local
# services and Parlomatic; sign-in on the real login page from the tray menu; Replace, Improve and
# Translate pressed in the strip over Mousepad; a second scripts/run reuses the services and each run
# stops only what it started; a third, with a port taken, is told so. WHOLE_ROAD_RUN names another
# command of that road (tests/packaging's), which skips the last.
set -euo pipefail
run=${WHOLE_ROAD_RUN:-scripts/run}
here=$(cd "$(dirname "$0")" && pwd)
cd "$PARLOMATIC_SOURCE_DIR"
work=$PARLOMATIC_SESSION_DIR/whole-road
mkdir -p "$work" "$XDG_CONFIG_HOME/Parlomatic"
export XDG_STATE_HOME=$work/state
out=$work/run.log

fail_logs=("$out*" "$work/browser.log" "$XDG_STATE_HOME/parlomatic/*.log")
# shellcheck source=../../scripts/lib/fail.sh
source "$PARLOMATIC_SOURCE_DIR/scripts/lib/fail.sh"
# shellcheck source=desktop_helpers.sh
source "$here/desktop_helpers.sh"
probe() { "$here/atspi_probe.py" "$@"; }
ca=$XDG_DATA_HOME/parlomatic/tls/ca.pem
services() { pgrep -f -- "--data-dir $XDG_DATA_HOME/parlomatic/identity|--genders $XDG_DATA_HOME/parlomatic/genders.json" | wc -l; }
no_services() { [ "$(services)" = 0 ] && echo none; }

english="The house is big and the garden is beautiful."
spanish="La casa es grande y el jardín es bello."
# Spelling and grammar (a/an, a repeated word: the grammar worker's) in one line.
misspelt="i recieve a email tomorow at the the libary ."
corrected="I receive an email tomorrow at the library."
printf '%s\n%s\n%s\n' "$english" "$misspelt" "$english" >"$work/notes.txt"
# Replace writes Spanish (Mexico); the translation panel translates into the primary language.
printf '[General]\nprimaryLanguage=es-MX\nreplaceOutputLanguage=0\n' >"$XDG_CONFIG_HOME/Parlomatic/Parlomatic.conf"

# The user name and the password scripts/run printed.
scripted_browser "$work/browser" "$ca" "$(id -un)" "sed -n 's/^ *password: *//p' $out"
start_tray

started=$SECONDS
# A home of its own: scripts/run adds its development CA to the browsers' databases under $HOME.
mkdir -p "$work/home"
HOME=$work/home $run >"$out" 2>&1 &
run_pid=$!
pids+=("$run_pid")
wait_for 180 grep "local services ready" "$out" >/dev/null || fail "scripts/run did not bring up the local services"
grep -q "password:  [A-Za-z0-9_-]\{16\}" "$out" || fail "no password printed for the local account"
[ "$(stat -c %a "$XDG_DATA_HOME/parlomatic/tls/server-key.pem")" = 600 ] || fail "the server key is not mode 0600"
openssl x509 -noout -ext nameConstraints -in "$ca" | grep -q "IP:127.0.0.1/255.255.255.255" ||
    fail "the development CA is not constrained to loopback"
status=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$ca" -X POST https://127.0.0.1:8443/v1/translate -d '{}' || true)
[ "$status" = 401 ] || fail "a call without a token got $status"
[ "$(services)" = 2 ] || fail "expected 2 service processes, found $(services)"
icon=$(wait_for 60 xdotool search --onlyvisible --class parlomatic) || fail "scripts/run started no Parlomatic (no tray icon)"
app_pid=$(xdotool getwindowpid "$icon")

menu_pick 1
wait_for 60 secret-tool lookup service app.parlomatic.Parlomatic account credentials >/dev/null ||
    fail "signing in on the login page stored no session"

mousepad --disable-server "$work/notes.txt" >/dev/null 2>&1 &
pids+=($!)
editor_pid=$!
editor=$(wait_for 30 xdotool search --onlyvisible --pid "$editor_pid" | head -1) || fail "no Mousepad window"
wait_for 30 probe text "$editor_pid" >/dev/null || fail "Mousepad's text cannot be read through AT-SPI"

strip_gone() { [ -z "$(window '^Parlomatic - Menu$')" ] && echo gone; }
# Selects line $1 of Mousepad alone (the strip first gone, so the strip that comes is over this
# selection) and presses button $2 at its centre.
press_over_line() {
    xdotool windowactivate --sync "$editor" key --clearmodifiers ctrl+End
    wait_for 30 strip_gone >/dev/null || fail "$2: the strip stayed without a selection"
    local keys=(ctrl+Home) strip at x y
    for _ in $(seq 2 "$1"); do keys+=(Down); done
    xdotool key --clearmodifiers "${keys[@]}" Home shift+End
    strip=$(wait_for 30 window '^Parlomatic - Menu$') || fail "$2: no strip over line $1"
    at=$(wait_for 30 probe centre "$app_pid" "$2") || fail "$2: no such button in the strip"
    eval "$(xdotool getwindowgeometry --shell "$strip")"
    read -r x y <<<"$at"
    xdotool mousemove $((X + x)) $((Y + y)) click 1
}
mousepad_has() { [ "$(probe text "$editor_pid")" = "$1" ] && echo yes; }

press_over_line 1 Replace
wait_for 60 mousepad_has "$(printf '%s\n%s\n%s' "$spanish" "$misspelt" "$english")" >/dev/null ||
    fail "Replace (Spanish) did not write the text service's Spanish; Mousepad has: $(probe text "$editor_pid")"

press_over_line 2 Improve
wait_for 60 mousepad_has "$(printf '%s\n%s\n%s' "$spanish" "$corrected" "$english")" >/dev/null ||
    fail "Improve did not correct the sentence in place; Mousepad has: $(probe text "$editor_pid")"

press_over_line 3 Translate
wait_for 30 window '^Parlomatic - Translation$' >/dev/null || fail "Translate opened no panel"
wait_for 60 probe shows "$app_pid" "$spanish" >/dev/null || fail "the panel does not show the translation"
echo "the whole road in $((SECONDS - started)) s"

HOME=$work/home $run >"$out.2" 2>&1 &
second=$!
pids+=("$second")
wait_for 120 grep "local services ready" "$out.2" >/dev/null || fail "the second run did not report ready services"
grep -q "password:" "$out.2" && fail "the second run printed a password again"
# Its Parlomatic hands over to the first one and ends, and the run with it, maybe already.
kill "$second" 2>/dev/null || true
wait "$second" || true
[ "$(services)" = 2 ] || fail "the second run stopped services it had not started"
kill "$run_pid"
wait "$run_pid" || true
wait_for 10 no_services >/dev/null || fail "the first run left its services running"

# With a service's port held by another program, scripts/run says so at once, naming both, and stops.
if [ "$run" = scripts/run ]; then
    python3 -m http.server 9443 --bind 127.0.0.1 >/dev/null 2>&1 &
    holder=$!
    pids+=("$holder")
    wait_for 5 ss -Hltn "sport = :9443" >/dev/null || fail "nothing holds port 9443"
    started=$SECONDS
    taken=$(HOME=$work/home $run 2>&1) && fail "scripts/run went on although port 9443 is taken"
    [ $((SECONDS - started)) -lt 60 ] || fail "it took $((SECONDS - started)) s to say port 9443 is taken"
    grep -q "port 9443, where the local identity service listens, is taken by python3 (process $holder)" <<<"$taken" ||
        fail "no line naming the port and the program: $taken"
fi
echo "1 passed, 0 failed"
