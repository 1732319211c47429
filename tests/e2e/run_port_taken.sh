#!/usr/bin/env bash
# Inside scripts/desktop-session: scripts/run with the identity service's port held by another
# program says so at once, naming the port and the program, and stops.
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*"; exit 1; }

python3 -m http.server 9443 --bind 127.0.0.1 >/dev/null 2>&1 &
holder=$!
trap 'kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null' EXIT
for _ in $(seq 100); do ss -Hltn "sport = :9443" | grep -q . && break; sleep 0.05; done

started=$SECONDS
output=$("$source_dir/scripts/run" 2>&1)
status=$?
[ "$status" -ne 0 ] || fail "scripts/run went on although port 9443 is taken"
# The set-up and the up-to-date build come first; a busy machine takes a while for those.
[ $((SECONDS - started)) -lt 60 ] || fail "it took $((SECONDS - started)) s to say so"
grep -q "port 9443, where the local identity service listens, is taken by python3 (process $holder)" <<<"$output" ||
    fail "no line naming the port and the program: $output"
echo "1 passed, 0 failed"
