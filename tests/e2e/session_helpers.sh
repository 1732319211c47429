# shellcheck shell=bash disable=SC2154 # name is set by the script that sources this file
# Sourced by the compositor session scripts, which set `name` first: the helpers of scripts/lib/wait.sh,
# a private folder `dir`, and `pids`, ended by their PIDs in reverse order (and `dir` removed) when the
# script exits.
# shellcheck source=../../scripts/lib/wait.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/wait.sh"
dir=$(mktemp -d "${TMPDIR:-/tmp}/parlomatic-$name.XXXXXX")
chmod 700 "$dir"
pids=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    stop_pids "${pids[@]}"
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
# await_start SECONDS LOG CHECK...: until CHECK succeeds; after SECONDS, LOG's end is told and the script exits 70.
await_start() {
    local seconds=$1 log=$2
    shift 2
    await "$seconds" "$name" "$@" || { tail -n 30 "$log" >&2; exit 70; }
}
# Runs the command, ended with the rest if this script is; its status is the script's.
run() {
    "$@" &
    pids+=($!)
    wait "${pids[-1]}"
}
