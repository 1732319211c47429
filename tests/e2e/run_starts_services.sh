#!/usr/bin/env bash
# Inside scripts/desktop-session: scripts/run brings up the local services with a printed account,
# a second scripts/run reuses them, and each run stops only what it started.
set -euo pipefail
cd "$PARLOMATIC_SOURCE_DIR"
export XDG_STATE_HOME="$PARLOMATIC_SESSION_DIR/state"
out="$PARLOMATIC_SESSION_DIR/run"
ca="$XDG_DATA_HOME/parlomatic/tls/ca.pem"
fail() { echo "FAIL: $*"; tail -n 20 "$out".* 2>/dev/null; exit 1; }
wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
services() { pgrep -f -- "--data-dir $XDG_DATA_HOME/parlomatic/identity|--genders $XDG_DATA_HOME/parlomatic/genders.json" | wc -l; }
runs=()
trap 'for p in "${runs[@]}"; do kill "$p" 2>/dev/null || true; done; wait' EXIT

scripts/run >"$out.1" 2>&1 &
runs+=($!)
wait_for 120 grep -q "local services ready" "$out.1" || fail "the first run did not report ready services"
grep -q "password:  [A-Za-z0-9_-]\{16\}" "$out.1" || fail "no password printed for the local account"
[ "$(stat -c %a "$XDG_DATA_HOME/parlomatic/tls/server-key.pem")" = 600 ] || fail "the server key is not mode 0600"
openssl x509 -noout -ext nameConstraints -in "$ca" | grep -q "IP:127.0.0.1/255.255.255.255" ||
    fail "the development CA is not constrained to loopback"
[ "$(curl -s --cacert "$ca" https://127.0.0.1:8443/health)" = '{"status":"ok"}' ] || fail "the text service does not answer"
status=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$ca" -X POST https://127.0.0.1:8443/v1/translate -d '{}')
[ "$status" = 401 ] || fail "a call without a token got $status"
curl -sf -o /dev/null --cacert "$ca" https://127.0.0.1:9443/.well-known/jwks.json || fail "the identity service does not answer"
[ "$(services)" = 2 ] || fail "expected 2 service processes, found $(services)"

scripts/run >"$out.2" 2>&1 &
runs+=($!)
wait_for 120 grep -q "local services ready" "$out.2" || fail "the second run did not report ready services"
grep -q "password:" "$out.2" && fail "the second run printed a password again"
# Its Parlomatic hands over to the first one and ends, and the run with it, maybe already.
kill "${runs[1]}" 2>/dev/null || true
wait "${runs[1]}" || true
[ "$(services)" = 2 ] || fail "the second run stopped services it had not started"

kill "${runs[0]}"
wait "${runs[0]}" || true
wait_for 10 test "$(services)" = 0 || fail "the first run left its services running"
echo "1 passed, 0 failed"
