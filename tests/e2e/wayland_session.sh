#!/usr/bin/env bash
# scripts/desktop-session tests/e2e/wayland_session.sh CMD [ARGS...]: runs CMD in a headless sway
# (XWayland on) in the private desktop, sharing its buses; CMD sees WAYLAND_DISPLAY, DISPLAY, SWAYSOCK
# and XDG_SESSION_TYPE=wayland. PARLOMATIC_SWAY_SCALES="1 2": one 1280x800 output per scale, side by side.
set -uo pipefail

name=wayland
# shellcheck source=session_helpers.sh
source "$(dirname "$0")/session_helpers.sh"
command -v sway >/dev/null || { say "sway is missing; run scripts/setup"; exit 69; }

# sway refuses to run as root: then it runs as the user nobody, in a folder owned by that user
# (root reaches the sockets in it all the same).
as_user=()
if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$dir"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi

# Once up, sway tells its children's environment through this file, after letting our user into
# XWayland (sway's user only, by default).
cat >"$dir/config" <<CONFIG
xwayland enable
exec sh -c 'xhost +si:localuser:$(id -un) && echo "\$WAYLAND_DISPLAY \$DISPLAY \$SWAYSOCK" >$dir/env.part && mv $dir/env.part $dir/env'
CONFIG
outputs=0
x=0
for scale in ${PARLOMATIC_SWAY_SCALES:-1}; do
    outputs=$((outputs + 1))
    echo "output HEADLESS-$outputs resolution 1280x800 scale $scale position $x 0" >>"$dir/config"
    x=$((x + 1280 / scale))
done
env XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir" HOME="$dir" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_HEADLESS_OUTPUTS="$outputs" WLR_RENDERER=pixman "${as_user[@]}" sway --config "$dir/config" \
    >"$PARLOMATIC_SESSION_DIR/sway.log" 2>&1 &
pids+=($!)
await_start 20 "$PARLOMATIC_SESSION_DIR/sway.log" test -s "$dir/env"
read -r wayland display swaysock <"$dir/env"
export WAYLAND_DISPLAY="$dir/$wayland" DISPLAY="$display" SWAYSOCK="$swaysock" XDG_SESSION_TYPE=wayland
# A headless compositor has no keyboard, and without one no window is given the keyboard focus: a
# virtual one (wtype's, idle for ten minutes) stands in for it while the command runs.
command -v wtype >/dev/null || { say "wtype is missing; run scripts/setup"; exit 69; }
wtype -s 600000 &
pids+=($!)
run "$@"
