# shellcheck shell=bash
# Waiting for a condition without a fixed sleep, and ending what a script started by its process id.
# Sourced by the scripts in scripts/, the shell tests and the packaged launcher of the local services
# (installed beside it). Functions only: sourcing it changes nothing.

# say MESSAGE...: on standard error, after the script's name.
say() { echo "${0##*/}: $*" >&2; }

# wait_until SECONDS COMMAND...: polls COMMAND, its output dropped, until it succeeds; fails after SECONDS.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# await SECONDS WHAT COMMAND...: wait_until, saying what it gave up waiting for when it fails.
await() {
    local seconds=$1 what=$2
    shift 2
    wait_until "$seconds" "$@" || { say "gave up waiting for $what after ${seconds}s" && return 1; }
}

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds and prints something, then prints that;
# fails after SECONDS.
wait_for() {
    local deadline=$((SECONDS + $1)) out
    shift
    until out=$("$@" 2>/dev/null) && [ -n "$out" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
    echo "$out"
}

# stop_pid PID: ends the process (TERM, then KILL if it is still there after 5 s) and reaps it when
# it is a child of this shell. An empty PID or one already gone is no error.
stop_pid() {
    local pid=${1:-}
    [ -n "$pid" ] || return 0
    if ! kill -TERM "$pid" 2>/dev/null; then
        wait "$pid" 2>/dev/null || true
        return 0
    fi
    local deadline=$((SECONDS + 5))
    while kill -0 "$pid" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            kill -KILL "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.05
    done
    wait "$pid" 2>/dev/null || true
}

# stop_pids PID...: stop_pid for each, the last started first.
stop_pids() {
    local i
    for ((i = $#; i >= 1; i--)); do
        stop_pid "${!i}"
    done
}
