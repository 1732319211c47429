#!/usr/bin/python3
"""Reads a running application through AT-SPI for the shell e2e tests. Prints nothing (status 1)
when what is asked for is not there (yet).

  atspi_probe.py text PID           the whole text of the application's editable text
  atspi_probe.py centre PID NAME    "X Y": the centre of button NAME in its window, left
                                    of any control inside it (the language picker of Replace)
  atspi_probe.py shows PID TEXT     "yes" when an element of the application shows TEXT
  atspi_probe.py names PID          "ROLE: NAME" of each showing control of the application's
                                    showing windows that a screen reader would announce
"""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402


def application(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def elements(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    for i in range(node.get_child_count()):
        yield from elements(node.get_child_at_index(i), depth + 1)


def text_of(node):
    return Atspi.Text.get_text(node, 0, -1) if "Text" in node.get_interfaces() else None


CONTROLS = (Atspi.Role.PUSH_BUTTON, Atspi.Role.TOGGLE_BUTTON, Atspi.Role.MENU,
            Atspi.Role.COMBO_BOX, Atspi.Role.LABEL)


def print_names(app):
    printed = 0
    for i in range(app.get_child_count()):
        window = app.get_child_at_index(i)
        if not window.get_state_set().contains(Atspi.StateType.SHOWING):
            continue
        for node in elements(window):
            if node.get_role() in CONTROLS and node.get_state_set().contains(Atspi.StateType.SHOWING):
                print(f"{node.get_role_name()}: {node.get_name()}")
                printed += 1
    return 0 if printed else 1


def main(command, pid, *words):
    app = application(int(pid))
    if app is None:
        return 1
    if command == "names":
        return print_names(app)
    for i in range(app.get_child_count()):
        # Qt reports window coordinates as screen coordinates: measure from the window's own place.
        window = app.get_child_at_index(i)
        origin = window.get_extents(Atspi.CoordType.SCREEN)
        for node in elements(window):
            if command == "text" and node.get_state_set().contains(Atspi.StateType.EDITABLE) and text_of(node):
                print(text_of(node))
                return 0
            if command == "centre" and node.get_role() == Atspi.Role.PUSH_BUTTON and node.get_name() == words[0]:
                box = node.get_extents(Atspi.CoordType.SCREEN)
                right = box.x + box.width
                for j in range(node.get_child_count()):
                    right = min(right, node.get_child_at_index(j).get_extents(Atspi.CoordType.SCREEN).x)
                print(f"{(box.x + right) // 2 - origin.x} {box.y + box.height // 2 - origin.y}")
                return 0
            if command == "shows" and words[0] in (node.get_name(), text_of(node)):
                print("yes")
                return 0
    return 1


if __name__ == "__main__":
    try:
        sys.exit(main(*sys.argv[1:]))
    except GLib.Error:
        sys.exit(1)  # the application changed under the walk: ask again
