#!/usr/bin/env bash
# Inside scripts/desktop-session: Parlomatic starts signed out with no window of its own and asks
# nothing; a second launch hands over to it and exits 0.
set -euo pipefail
app=$1

# shellcheck source=desktop_helpers.sh
source "$(dirname "$0")/desktop_helpers.sh"
fail() { echo "FAIL: $*"; exit 1; }

export XDG_CONFIG_HOME="$PARLOMATIC_SESSION_DIR/config"
log=$PARLOMATIC_SESSION_DIR/parlomatic.log
"$app" 2>"$log" &
pids+=($!)
app_pid=$!
wait_for 20 grep -x 'parlomatic\[[0-9]*\]: Unable to renew credentials' "$log" >/dev/null ||
    fail "no 'Unable to renew credentials' line at the first start"

kill -0 "$app_pid" || fail "parlomatic exited at start"
if wait_for 1 xdotool search --onlyvisible --pid "$app_pid" --name '^Parlomatic - ' >/dev/null; then
    fail "a Parlomatic window appeared although nobody is signed in"
fi

"$app" 2>>"$log" || fail "a second launch exited with status $?"
kill -0 "$app_pid" || fail "the first instance ended when the second started"
instances=0 # in this private desktop only: other sessions may run their own
for p in $(pgrep -x parlomatic || true); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR" && instances=$((instances + 1))
done
[ "$instances" -eq 1 ] || fail "$instances instances run in this session"
echo "1 passed, 0 failed"
