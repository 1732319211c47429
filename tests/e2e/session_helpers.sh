# shellcheck shell=bash
# Sourced by the compositor session scripts, which set `name` first: `say`, a private folder `dir`,
# and `pids`, ended by their PIDs in reverse order (and `dir` removed) when the script exits.
# shellcheck disable=SC2154 # name is set by the script that sources this file
say() { echo "$name-session: $*" >&2; }
dir=$(mktemp -d "${TMPDIR:-/tmp}/parlomatic-$name.XXXXXX")
chmod 700 "$dir"
pids=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
# await SECONDS LOG CHECK...: until CHECK succeeds; after SECONDS, LOG's end is told and the script exits 70.
await() {
    local deadline=$((SECONDS + $1)) log=$2
    shift 2
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || { say "$name did not start:"; tail -n 30 "$log" >&2; exit 70; }
        sleep 0.05
    done
}
# Runs the command, ended with the rest if this script is; its status is the script's.
run() {
    "$@" &
    pids+=($!)
    wait "${pids[-1]}"
}
