// Loaded into KWin by Parlomatic at start (org.kde.kwin.Scripting.loadScript): follows the active
// window and its geometry and calls back into the Parlomatic that loaded it, whose D-Bus name and
// object path replace @SERVICE@ and @PATH@. The layout's width comes along: XWayland's root is
// larger where X11 applications scale themselves.
var watched = null;
function report() {
    callDBus("@SERVICE@", "@PATH@", "app.parlomatic.KWinWindows", "layoutWidth", workspace.virtualScreenSize.width);
    var c = workspace.activeClient;
    if (!c) {
        callDBus("@SERVICE@", "@PATH@", "app.parlomatic.KWinWindows", "activeWindow", 0, 0, 0, 0, 0, 0, 0, 0, 0);
        return;
    }
    var f = c.frameGeometry;
    var b = c.bufferGeometry;
    callDBus("@SERVICE@", "@PATH@", "app.parlomatic.KWinWindows", "activeWindow", c.pid, f.x, f.y, f.width, f.height,
             b.x, b.y, b.width, b.height);
}
function follow(c) {
    if (watched) {
        watched.frameGeometryChanged.disconnect(report);
    }
    watched = c;
    if (c) {
        c.frameGeometryChanged.connect(report);
    }
    report();
}
workspace.clientActivated.connect(follow);
follow(workspace.activeClient);
