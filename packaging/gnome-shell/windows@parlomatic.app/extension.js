// Tells Parlomatic, over the session bus, which window has the focus and where its surface is:
// a Wayland application cannot learn its own position, and GNOME Shell tells it to no one else.
/* exported init */
const { Gio } = imports.gi;

const busName = 'app.parlomatic.ShellWindows';
const objectPath = '/app/parlomatic/ShellWindows';
const interfaceXml = `
<node>
  <interface name="app.parlomatic.ShellWindows">
    <method name="FocusedWindow">
      <arg type="i" direction="out" name="pid"/>
      <arg type="i" direction="out" name="x"/>
      <arg type="i" direction="out" name="y"/>
      <arg type="i" direction="out" name="width"/>
      <arg type="i" direction="out" name="height"/>
      <arg type="i" direction="out" name="surfaceX"/>
      <arg type="i" direction="out" name="surfaceY"/>
      <arg type="i" direction="out" name="surfaceWidth"/>
      <arg type="i" direction="out" name="surfaceHeight"/>
      <arg type="d" direction="out" name="scale"/>
    </method>
    <signal name="Changed"/>
  </interface>
</node>`;

class WindowPositions {
    enable() {
        this._exported = Gio.DBusExportedObject.wrapJSObject(interfaceXml, this);
        this._exported.export(Gio.DBus.session, objectPath);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, busName, Gio.BusNameOwnerFlags.NONE,
            null, null);
        this._window = null;
        this._windowSignals = [];
        this._focusSignal = global.display.connect('notify::focus-window', () => this._follow());
        this._follow();
    }

    disable() {
        this._forget();
        global.display.disconnect(this._focusSignal);
        Gio.bus_unown_name(this._nameId);
        this._exported.unexport();
        this._exported = null;
    }

    // The window as it is seen (its frame), and the surface the application draws, shadows
    // included: toolkits measure their window coordinates from one or the other. Then the scale of
    // the output the window is on.
    FocusedWindow() {
        const window = global.display.focus_window;
        if (!window)
            return [0, 0, 0, 0, 0, 0, 0, 0, 0, 1];
        const frame = window.get_frame_rect();
        const surface = window.get_buffer_rect();
        return [window.get_pid(), frame.x, frame.y, frame.width, frame.height,
            surface.x, surface.y, surface.width, surface.height,
            global.display.get_monitor_scale(window.get_monitor())];
    }

    _follow() {
        this._forget();
        this._window = global.display.focus_window;
        if (this._window) {
            this._windowSignals = ['position-changed', 'size-changed'].map(
                name => this._window.connect(name, () => this._changed()));
        }
        this._changed();
    }

    _forget() {
        if (this._window)
            this._windowSignals.forEach(id => this._window.disconnect(id));
        this._window = null;
        this._windowSignals = [];
    }

    _changed() {
        this._exported.emit_signal('Changed', null);
    }
}

function init() {
    return new WindowPositions();
}
