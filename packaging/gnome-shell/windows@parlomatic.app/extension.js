// Tells Parlomatic, over the session bus, which window has the focus and where its surface is:
// a Wayland application cannot learn its own position, and GNOME Shell tells it to no one else.
// It also holds Parlomatic's keyboard shortcuts, which GNOME Shell grants no other program, and
// tells it when one is pressed; they are let go when the program that asked for them leaves the bus.
/* exported init */
const { Gio, GLib, Meta, Shell } = imports.gi;
const Main = imports.ui.main;

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
    <method name="BindShortcuts">
      <arg type="a{ss}" direction="in" name="shortcuts"/>
      <arg type="as" direction="out" name="refused"/>
    </method>
    <signal name="ShortcutActivated">
      <arg type="s" name="name"/>
    </signal>
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
        this._grabs = new Map();
        this._binderWatch = 0;
        this._acceleratorSignal = global.display.connect('accelerator-activated', (display, action) => {
            const name = this._grabs.get(action);
            if (name !== undefined)
                this._exported.emit_signal('ShortcutActivated', new GLib.Variant('(s)', [name]));
        });
    }

    disable() {
        this._ungrab();
        global.display.disconnect(this._acceleratorSignal);
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

    // Holds exactly the given accelerators by name, such as {replace: '<Control><Alt>r'}, for the
    // caller, and answers the names whose keys another binding of the shell holds.
    BindShortcutsAsync([shortcuts], invocation) {
        this._ungrab();
        const refused = [];
        for (const [name, accelerator] of Object.entries(shortcuts)) {
            const action = global.display.grab_accelerator(accelerator, Meta.KeyBindingFlags.NONE);
            if (action === Meta.KeyBindingAction.NONE) {
                refused.push(name);
                continue;
            }
            Main.wm.allowKeybinding(Meta.external_binding_name_for_action(action),
                Shell.ActionMode.NORMAL | Shell.ActionMode.OVERVIEW);
            this._grabs.set(action, name);
        }
        if (this._grabs.size > 0) {
            this._binderWatch = Gio.bus_watch_name_on_connection(Gio.DBus.session, invocation.get_sender(),
                Gio.BusNameWatcherFlags.NONE, null, () => this._ungrab());
        }
        invocation.return_value(new GLib.Variant('(as)', [refused]));
    }

    _ungrab() {
        for (const action of this._grabs.keys()) {
            global.display.ungrab_accelerator(action);
            Main.wm.allowKeybinding(Meta.external_binding_name_for_action(action), Shell.ActionMode.NONE);
        }
        this._grabs.clear();
        if (this._binderWatch)
            Gio.bus_unwatch_name(this._binderWatch);
        this._binderWatch = 0;
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
