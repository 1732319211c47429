#!/usr/bin/env bash
# Inside scripts/desktop-session: makes both packages (scripts/package), checks what they hold and
# their user units, unpacks them into a throw-away root (nothing is installed on this machine) and
# walks the whole road there (tests/e2e/whole_road.sh), the sign-in coming back through the URL scheme.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$PARLOMATIC_SOURCE_DIR
work=$PARLOMATIC_SESSION_DIR/packages
mkdir -p "$work"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# shellcheck source=../../scripts/lib/fail.sh
source "$src/scripts/lib/fail.sh"

began=$SECONDS
"$src/scripts/package" --no-setup >"$work/package.log" 2>&1 || { tail -n 30 "$work/package.log"; fail "scripts/package"; }
echo "scripts/package in $((SECONDS - began)) s:"
grep '\.deb ' "$work/package.log"
app=$(echo "$src"/build/release/packages/parlomatic_*.deb)
services=$(echo "$src"/build/release/packages/parlomatic-local-services_*.deb)

holds() { # DEB PATH...
    local deb=$1 path contents
    shift
    contents=$(dpkg-deb --contents "$deb")
    for path in "$@"; do
        grep -q " \./usr/$path\$" <<<"$contents" || fail "$(basename "$deb") lacks /usr/$path"
    done
}
holds "$app" bin/parlomatic bin/parlomatic-inspect libexec/parlomatic/parlomatic-accessibility share/parlomatic/Info.conf share/parlomatic/Identity.conf \
    share/applications/parlomatic.desktop share/icons/hicolor/scalable/apps/parlomatic.svg \
    share/metainfo/app.parlomatic.Parlomatic.metainfo.xml share/man/man1/parlomatic.1.gz \
    share/man/man1/parlomatic-inspect.1.gz share/gnome-shell/extensions/windows@parlomatic.app/extension.js \
    share/doc/parlomatic/copyright share/doc/parlomatic/changelog.Debian.gz
holds "$services" bin/parlomatic-setup-local-services libexec/parlomatic/parlomatic-text-service \
    libexec/parlomatic/parlomatic-local-service lib/parlomatic/scripts/wait.sh lib/parlomatic/scripts/conf.sh \
    lib/systemd/user/parlomatic-identity.service \
    lib/systemd/user/parlomatic-text.service lib/parlomatic/identity-service/server.mjs \
    lib/parlomatic/identity-service/node_modules/oidc-provider/package.json \
    lib/parlomatic/grammar-worker/worker.mjs lib/parlomatic/grammar-worker/node_modules/harper.js/dist/harper_wasm_bg.wasm \
    share/man/man1/parlomatic-setup-local-services.1.gz share/doc/parlomatic-local-services/copyright
# Read whole before grep -q, which stops at the first match: under pipefail, a writer cut off by
# that would fail the check.
grep -q 'apertium-eng-spa.*hunspell-pt-br' <<<"$(dpkg-deb -f "$services" Depends)" || fail "Depends lacks the engines"
grep -q 'Node 20.12 or newer.*not in Debian 12' <<<"$(dpkg-deb -f "$services" Description)" ||
    fail "the description does not say where Node 20.12 comes from"

dpkg -x "$app" "$root"
dpkg -x "$services" "$root"
# The units as installed, their commands in the root (verify checks that they can be run).
mkdir "$root/units"
for unit in "$root"/usr/lib/systemd/user/*.service; do
    sed "s|=/usr/|=$root/usr/|" "$unit" >"$root/units/$(basename "$unit")"
done
systemd-analyze verify --user --man=no "$root"/units/*.service || fail "systemd-analyze verify"
entry=$root/usr/share/applications/parlomatic.desktop
desktop-file-validate "$entry" || fail "the desktop entry"
# By its installed path (which KWin's grant of the paste keys needs); in the root from here on.
grep -qx 'Exec=/usr/bin/parlomatic %u' "$entry" || fail "the desktop entry does not name /usr/bin/parlomatic"
sed -i "s|^Exec=/usr/|Exec=$root/usr/|" "$entry"

# The desktop's choice for the sign-in's scheme, from the packaged entry.
export XDG_DATA_DIRS=$root/usr/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}
xdg-mime default parlomatic.desktop x-scheme-handler/app.parlomatic.parlomatic
[ "$(xdg-mime query default x-scheme-handler/app.parlomatic.parlomatic)" = parlomatic.desktop ] ||
    fail "the desktop does not hand app.parlomatic.parlomatic: URLs to parlomatic.desktop"

PARLOMATIC_PACKAGE_ROOT=$root WHOLE_ROAD_RUN=$here/packaged_run.sh "$src/tests/e2e/whole_road.sh" ||
    fail "the whole road with the packages"
grep -q "handed app.parlomatic.parlomatic: to the desktop: 0" "$PARLOMATIC_SESSION_DIR/whole-road/browser.log" ||
    fail "the sign-in did not come back through the URL scheme"
grep -h "ready in" "$PARLOMATIC_SESSION_DIR"/whole-road/run.log*
