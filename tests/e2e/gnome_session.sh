#!/usr/bin/env bash
# scripts/desktop-session tests/e2e/gnome_session.sh CMD [ARGS...]: runs CMD in a headless GNOME Shell
# with Parlomatic's shell extension, in the private desktop, sharing its buses. PARLOMATIC_GNOME_SCALE=2:
# an output at scale 2, where windows open, and one at scale 1 to its right, laid out in pixels.
set -uo pipefail

name=gnome
# shellcheck source=session_helpers.sh
source "$(dirname "$0")/session_helpers.sh"
command -v gnome-shell >/dev/null || { say "gnome-shell is missing; run scripts/setup"; exit 69; }
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
uuid=windows@parlomatic.app
log=$PARLOMATIC_SESSION_DIR/gnome-shell.log
scale=${PARLOMATIC_GNOME_SCALE:-1}
size=$((1280 * scale))x$((800 * scale))
second=()
[ "$scale" = 1 ] || second=(--virtual-monitor 1280x800)

# GNOME Shell wants a system bus: a private one.
dbus-daemon --config-file=/usr/share/dbus-1/session.conf --nofork --print-address=3 3>"$dir/system-bus" &
pids+=($!)
# The extension, enabled through a settings file of the shell's own.
mkdir -p "$dir/data/gnome-shell/extensions" "$dir/config/glib-2.0/settings"
cp -r "$source_dir/packaging/gnome-shell/$uuid" "$dir/data/gnome-shell/extensions/"
printf '[org/gnome/shell]\nenabled-extensions=[%s]\n' "'$uuid'" >"$dir/config/glib-2.0/settings/keyfile"
await_start 10 /dev/null test -s "$dir/system-bus"

# It takes /run/systemd as a sign of logind: hidden from it in a mount namespace of its own.
env XDG_RUNTIME_DIR="$dir" XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config" GSETTINGS_BACKEND=keyfile \
    DBUS_SYSTEM_BUS_ADDRESS="$(head -n1 "$dir/system-bus")" \
    unshare -m sh -c "mount -t tmpfs none /run/systemd && exec gnome-shell --headless --unsafe-mode \
        --virtual-monitor $size ${second[*]} --wayland-display parlomatic-gnome" >"$log" 2>&1 &
pids+=($!)

shell_ready() {
    [ -S "$dir/parlomatic-gnome" ] && dbus-send --session --print-reply --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:app.parlomatic.ShellWindows |
        grep -q 'boolean true'
}
await_start 60 "$log" shell_ready

if [ "$scale" != 1 ]; then
    outputs="[(0, 0, $scale.0, 0, true, [('Meta-0', '$size@60.000', @a{sv} {})]),
              ($((1280 * scale)), 0, 1.0, 0, false, [('Meta-1', '1280x800@60.000', @a{sv} {})])]"
    gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path /org/gnome/Mutter/DisplayConfig \
        --method org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig 2 1 "$outputs" "@a{sv} {}" >/dev/null ||
        { say "GNOME Shell took no scale of $scale"; exit 70; }
fi

# A keyboard, which also leaves the overview.
XDG_RUNTIME_DIR="$dir" "$source_dir/tests/e2e/gnome_keyboard.py" >"$dir/keyboard" 2>&1 &
pids+=($!)
await_start 10 "$dir/keyboard" grep -q ready "$dir/keyboard"

export XDG_RUNTIME_DIR="$dir" WAYLAND_DISPLAY=parlomatic-gnome XDG_SESSION_TYPE=wayland
# XWayland starts when its first client comes, on the display the shell names.
display=$(grep -o 'Using public X11 display :[0-9]*' "$log" | head -n1 | grep -o ':[0-9]*')
[ -n "$display" ] && export DISPLAY="$display"
for auth in "$dir"/.mutter-Xwaylandauth.*; do
    [ -e "$auth" ] && export XAUTHORITY="$auth"
done
run "$@"
