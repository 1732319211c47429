# shellcheck shell=bash
# The end of a shell test that failed. Sourced by the shell tests.

# fail MESSAGE...: prints FAIL with the message, then the last lines of each log that `fail_logs`
# names (patterns, expanded only now: logs made since count), and exits 1.
fail() {
    echo "FAIL: $*"
    local pattern file
    # shellcheck disable=SC2154 # set by the test, or unset: no logs
    for pattern in "${fail_logs[@]}"; do
        for file in $pattern; do
            [ ! -f "$file" ] || tail -n 20 "$file" | sed "s|^|  ${file##*/}: |"
        done
    done
    exit 1
}
