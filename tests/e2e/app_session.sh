#!/usr/bin/env bash
# Inside scripts/desktop-session: Parlomatic's session road against the real OpenID provider of
# services/identity, steps 1 to 5 below. PARLOMATIC_MEASURE=1 also prints the launch time and the
# resident memory after a minute signed in.
set -euo pipefail
app=$1
src=$PARLOMATIC_SOURCE_DIR
work=$PARLOMATIC_SESSION_DIR/app-session
mkdir -p "$work/bundle/bin" "$work/bundle/share/parlomatic"
log=$work/parlomatic.log

fail_logs=("$log")
# shellcheck source=../../scripts/lib/fail.sh
source "$src/scripts/lib/fail.sh"
# shellcheck source=desktop_helpers.sh
source "$(dirname "$0")/desktop_helpers.sh"
trap 'exec 7>&- 2>/dev/null || true; stop_started' EXIT # the provider stops when its input closes
# The private desktop is private, apart from the user's own session.
[[ $PARLOMATIC_DESKTOP_SESSION = 1 && $XDG_RUNTIME_DIR = "$PARLOMATIC_SESSION_DIR"/* ]] || fail "not a private desktop"
a11y() {
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
        string:org.a11y.Status string:IsEnabled "variant:boolean:$1" >/dev/null
}
stored() { secret-tool lookup service app.parlomatic.e2e account credentials 2>/dev/null || true; }
stored_other_than() { [ "$(stored)" != "$1" ] && echo renewed; }
stored_none() { [ -z "$(stored)" ] && echo gone; }

# A CA and a certificate for 127.0.0.1, trusted by Parlomatic through PMExtraCAFile.
cd "$work"
HOME=$work "$src/scripts/dev-tls" make tls
audience=https://api.e2e.parlomatic/
mkfifo provider.in
node "$src/services/identity/server.mjs" --cert tls/server.pem --key tls/server-key.pem \
    --client-id parlomatic-e2e --redirect-uri http://127.0.0.1/callback --audience "$audience" --lifetime 600 \
    --accounts '[{"email":"ana@example.com","password":"pw-e2e","sub":"e2e|ana","pm_gender":"feminine"}]' \
    <provider.in >provider.out 2>provider.err &
pids+=($!)
exec 7>provider.in
port=$(wait_for 90 sed -n 's/^port //p' provider.out) || { cat provider.err; fail "the provider did not start"; }

cp "$app" bundle/bin/parlomatic
cp "$(dirname "$app")/parlomatic-accessibility" bundle/bin/
cat >bundle/share/parlomatic/Info.conf <<EOF
BundleIdentifier = app.parlomatic.e2e
PMAPIDomain = 127.0.0.1:9
PMAuthAudience = $audience
PMAuthScope = openid profile email offline_access
PMAuthRedirectUrl = http://127.0.0.1:0/callback
PMExtraCAFile = $work/tls/ca.pem
EOF
printf 'ClientId = parlomatic-e2e\nDomain = 127.0.0.1:%s\n' "$port" >bundle/share/parlomatic/Identity.conf
scripted_browser "$work/browser" "$work/tls/ca.pem" ana@example.com "echo pw-e2e"
start_tray

app_pid=
start_app() {
    local started
    started=$(date +%s%N)
    bundle/bin/parlomatic 2>>"$log" &
    app_pid=$!
    pids+=("$app_pid")
    icon=$(wait_for 20 xdotool search --onlyvisible --pid "$app_pid" --class parlomatic) || fail "no tray icon"
    [ -z "${PARLOMATIC_MEASURE:-}" ] || echo "launch to tray icon: $((($(date +%s%N) - started) / 1000000)) ms"
}
strip_over_selection() { # types a line in Mousepad, selects it, waits for the strip
    xdotool windowactivate --sync "$editor"
    xdotool key End Return
    xdotool type --delay 5 "$1"
    xdotool key shift+Home
    wait_for 10 window '^Parlomatic - Menu$' >/dev/null
}

# 1. First start, signed out and with the bus off: it could renew no session and asks nothing.
a11y false
start_app
wait_for 20 grep -x 'parlomatic\[[0-9]*\]: Unable to renew credentials' "$log" >/dev/null ||
    fail "no 'Unable to renew credentials' line at the first start"
if wait_for 1 sh -c "xdotool search --onlyvisible --pid $app_pid --name '^Parlomatic - ' | grep -vx $icon" >/dev/null; then
    fail "a Parlomatic window appeared although nobody is signed in"
fi

# 2. Sign in through the browser: the window asks once; "Turn On" starts the watcher.
menu_pick 1
prompt=$(wait_for 30 window '^Parlomatic - Accessibility$') || fail "no accessibility window after signing in"
[ -n "$(stored)" ] || fail "the token set is not in the keyring"
xdotool windowactivate --sync "$prompt" key Return
wait_for 5 sh -c 'dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Get string:org.a11y.Status string:IsEnabled | grep -q "boolean true" && echo on' >/dev/null ||
    fail "Turn On did not switch the accessibility bus on"
mousepad --disable-server >/dev/null 2>&1 &
pids+=($!)
editor=$(wait_for 20 xdotool search --onlyvisible --pid "$!" | head -1) || fail "no Mousepad window"
strip_over_selection "signed in and watching" || fail "no strip over a selection after Turn On"

# 3. Restart: the stored session is renewed (a rotated refresh token) and watched without asking.
before=$(stored)
menu_pick -1
wait "$app_pid" || fail "Quit Parlomatic did not end the program cleanly"
start_app
wait_for 20 stored_other_than "$before" >/dev/null ||
    fail "the restart did not renew the stored session"
strip_over_selection "restored after a restart" || fail "no strip after the restart"
window '^Parlomatic - Accessibility$' >/dev/null && fail "asked again after the restart"
if [ -n "${PARLOMATIC_MEASURE:-}" ]; then
    timeout 60 tail -f /dev/null || true # a minute of watching: the figure asked for, not a wait for a condition
    echo "resident memory after a minute signed in and watching: $(awk '/VmRSS/ {print $2, $3}' "/proc/$app_pid/status")"
fi

# 4. Log out: the keyring entry goes, the watcher stays.
menu_pick 1
wait_for 10 stored_none >/dev/null ||
    fail "the token set is still in the keyring after Log Out"
strip_over_selection "still watching after logging out" || fail "the watcher stopped at Log Out"

# 5. A second launch hands over to the running one and exits.
timeout 20 bundle/bin/parlomatic 2>>"$log" || fail "a second launch exited with status $?"
kill -0 "$app_pid" || fail "the first instance ended when the second started"
echo "1 passed, 0 failed"
