#!/usr/bin/env bash
# scripts/run's road with the packages unpacked in $PARLOMATIC_PACKAGE_ROOT: the set-up command, both
# services (unless they answer already) from their user units' ExecStart and ExecStartPost as the user
# service manager would (this machine has none), then the packaged parlomatic. Stops what it started.
set -euo pipefail
root=$PARLOMATIC_PACKAGE_ROOT
export PATH=$root/usr/bin:$PATH
export XDG_DATA_DIRS=$root/usr/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}
logs=${XDG_STATE_HOME:-$HOME/.local/state}/parlomatic
mkdir -p "$logs"
# shellcheck source=../../scripts/lib/wait.sh
source "$(dirname "$0")/../../scripts/lib/wait.sh"

started=()
# shellcheck disable=SC2317 # run by the EXIT trap
stop_started() { stop_pids "${started[@]}"; }
trap stop_started EXIT
trap 'exit 130' INT TERM HUP

# The unit's command line for KEY, its /usr in the root.
command_of() { sed -n "s|^$2=/usr/|$root/usr/|p" "$root/usr/lib/systemd/user/parlomatic-$1.service"; }

parlomatic-setup-local-services
began=$(date +%s%N)
for service in identity text; do
    if ! "$root/usr/libexec/parlomatic/parlomatic-local-service" await $service 0; then
        read -ra command <<<"$(command_of $service ExecStart)"
        "${command[@]}" >>"$logs/$service-service.log" 2>&1 &
        started+=($!)
        read -ra command <<<"$(command_of $service ExecStartPost)"
        "${command[@]}"
    fi
done
elapsed=$((($(date +%s%N) - began) / 1000000))
printf 'packaged_run: local services ready in %d.%03d s\n' $((elapsed / 1000)) $((elapsed % 1000))

parlomatic "$@" &
app=$!
started+=("$app")
status=0
wait "$app" || status=$?
exit $status
