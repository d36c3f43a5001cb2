#!/usr/bin/python3
"""Reads the updater window over the AT-SPI bus, as Orca does, on an X display of its own.

    read-over-atspi.py --updater PROGRAM --no-controller PROGRAM --tree FILE

Run in a session bus of its own; says a screen reader runs, as Orca does, so Qt's bridge joins the
accessibility bus. It reads the start state of the program that finds no controller; with the
updater (the demonstration) it presses Update through its action, follows the progress bar to its
maximum and reads the finish state. Each program is closed through Close's action and must exit
with 0. The tree read in each state goes to FILE and to standard output.
"""
import argparse
import os
import subprocess
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402
import pyatspi  # noqa: E402

# The release the build was given (M.mm), and the version one below it that the virtual
# controller starts with.
VERSION = os.environ["LUMARO_RELEASE_VERSION"]
_OLDER_WORD = int(VERSION.replace(".", ""), 16) - 1
OLDER = "%x.%02x" % (_OLDER_WORD >> 8, _OLDER_WORD & 0xFF)
TITLE = "QR5 Lumaro " + VERSION
NO_CONTROLLER = "No controller found. Connect the QR5 Lumaro with its USB cable."
OFFERED = "Controller in update mode with firmware %s. Update to firmware %s offered." % (OLDER, VERSION)
FINISHED = "Update finished: firmware %s written and verified." % VERSION
DEADLINE_S = 60


PROCESSES = []


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_for(what, probe, seconds=DEADLINE_S):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        found = probe()
        if found:
            return found
        time.sleep(0.1)
    raise Failure("waited %d s for %s" % (seconds, what))


def start_display():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-noreset", "-displayfd", str(write_end), "-screen", "0", "800x700x24"],
                            pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    check(number, "Xvfb gave no display")
    return xvfb, ":" + number


def start_session(display):
    """As a desktop session does, the accessibility bus comes up with the display, whose root window
    names it (AT_SPI_BUS) for a program to join as it starts. Under D-Bus activation Qt 5.15 asks
    for the address while its bridge is being built and, in several starts here, never joined."""
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                env=dict(os.environ, DISPLAY=display))
    PROCESSES.append(launcher)

    def owned():
        reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", GLib.Variant("(s)", ("org.a11y.Bus",)), None,
                              Gio.DBusCallFlags.NONE, 10000, None)
        return reply.unpack()[0]
    wait_for("the accessibility bus", owned, 20)
    return bus


def start_screen_reader(bus):
    """As Orca does before any program: the bus's status says a screen reader runs, and the
    reader joins the bus and its registry."""
    bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                  GLib.Variant("(ssv)", ("org.a11y.Status", "ScreenReaderEnabled", GLib.Variant("b", True))),
                  None, Gio.DBusCallFlags.NONE, 10000, None)
    check(pyatspi.Registry.getDesktop(0) is not None, "no desktop on the accessibility bus")


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def line(node):
    text = "[%s] %r" % (node.getRoleName(), node.name)
    if node.description:
        text += " description=%r" % node.description
    try:
        value = node.queryValue()
        text += " value=%g of %g..%g" % (value.currentValue, value.minimumValue, value.maximumValue)
    except NotImplementedError:
        pass
    try:
        actions = node.queryAction()
        if actions.nActions:
            text += " actions=%s" % ",".join(actions.getName(i) for i in range(actions.nActions))
    except NotImplementedError:
        pass
    return text + ("" if showing(node) else " (not showing)")


def tree(node, depth=0):
    lines = ["  " * depth + line(node)]
    for i in range(node.childCount):
        lines += tree(node.getChildAtIndex(i), depth + 1)
    return lines


def find(node, role, name=None):
    return pyatspi.findDescendant(node, lambda child: child.getRole() == role and name in (None, child.name))


def shown_button(window, name):
    found = find(window, pyatspi.ROLE_PUSH_BUTTON, name)
    return found if found and showing(found) else None


def press(node):
    actions = node.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    check("Press" in names, "%r offers no Press action (%s)" % (node.name, names))
    check(actions.doAction(names.index("Press")), "%r refused its Press action" % node.name)


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    return next((child for child in map(desktop.getChildAtIndex, range(desktop.childCount))
                 if child is not None and child.name == name), None)


class Session:
    def __init__(self, program, display, report):
        self.report = report
        environment = dict(os.environ, DISPLAY=display)
        environment.pop("QT_QPA_PLATFORM", None)
        environment.pop("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", None)
        self.process = subprocess.Popen([program], env=environment)
        PROCESSES.append(self.process)
        name = os.path.basename(program)
        self.application = wait_for("%s on the accessibility bus" % name, lambda: application(name))
        self.window = wait_for("its window", lambda: find(self.application, pyatspi.ROLE_FRAME))
        check(self.window.name == TITLE, "window named %r" % self.window.name)

    def record(self, state):
        lines = tree(self.window)
        self.report.append("%s:\n%s\n" % (state, "\n".join(lines)))
        print(self.report[-1], flush=True)

    def close(self):
        press(find(self.window, pyatspi.ROLE_PUSH_BUTTON, "Close"))
        code = self.process.wait(timeout=30)
        check(code == 0, "exit code %d after Close" % code)


def follow_update(session):
    """Presses Update and hears it through: the window's description and the bar's value. The
    flashing holds the GUI thread, which answers questions on the bus but sends events as they
    happen, so events are recorded while they come and read afterwards."""
    window = session.window
    progress = find(window, pyatspi.ROLE_PROGRESS_BAR)
    kinds = ("object:property-change:accessible-description", "object:property-change:accessible-value")
    heard = []
    loop = GLib.MainLoop()

    def on_event(event):
        heard.append((time.monotonic(), event.type, event.source))
        if [kind for _, kind, _ in heard].count(kinds[0]) == 2:
            GLib.timeout_add(300, loop.quit)  # stragglers

    pyatspi.Registry.registerEventListener(on_event, *kinds)
    pressed = time.monotonic()
    press(find(window, pyatspi.ROLE_PUSH_BUTTON, "Update"))
    GLib.timeout_add(DEADLINE_S * 1000, loop.quit)
    loop.run()
    pyatspi.Registry.deregisterEventListener(on_event, *kinds)

    descriptions = [when for when, kind, source in heard if kind == kinds[0] and source == window]
    values = [when for when, kind, source in heard if kind == kinds[1] and source == progress]
    check(len(descriptions) == 2, "%d changes of the window's description heard" % len(descriptions))
    check(values and descriptions[0] < values[0] and values[-1] < descriptions[1],
          "the bar's value changes heard outside the update")
    value = progress.queryValue()
    print("heard after the press: the window's description changed at %.0f ms and %.0f ms; the bar's "
          "value changed %d times, from %.0f ms to %.0f ms; read at the end: value %g of %g; "
          "description %r" % ((descriptions[0] - pressed) * 1000, (descriptions[1] - pressed) * 1000,
                              len(values), (values[0] - pressed) * 1000, (values[-1] - pressed) * 1000,
                              value.currentValue, value.maximumValue, window.description), flush=True)
    check(window.description == FINISHED, "finish read as %r" % window.description)
    check(value.currentValue == value.maximumValue == 62, "the bar ends at %g of %g"
          % (value.currentValue, value.maximumValue))
    # Each page verified after the first is heard, and the whole; heard one by one, not at the end.
    check(len(values) == 60, "%d value changes heard" % len(values))
    check(values[-1] - values[0] > 0.25, "value changes heard within %.0f ms" % ((values[-1] - values[0]) * 1000))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--no-controller", required=True)
    parser.add_argument("--tree", required=True)
    arguments = parser.parse_args()

    xvfb, display = start_display()
    report = []
    try:
        start_screen_reader(start_session(display))

        session = Session(arguments.no_controller, display, report)
        time.sleep(1.5)  # a few discovery passes: the state must hold
        check(session.window.description == NO_CONTROLLER, "start state read as %r" % session.window.description)
        for name in ("Update", "Up to date"):
            button = find(session.window, pyatspi.ROLE_PUSH_BUTTON, name)
            check(button and not showing(button), "%r showing without a controller" % name)
        session.record("No controller")
        session.close()

        session = Session(arguments.updater, display, report)
        update = wait_for("the Update button", lambda: shown_button(session.window, "Update"))
        check(session.window.description == OFFERED, "offered state read as %r" % session.window.description)
        check(update.description == "Writes firmware %s to the controller." % VERSION, "Update described as %r"
              % update.description)
        session.record("Update offered")
        follow_update(session)
        finish = shown_button(session.window, "Up to date")
        check(finish, "no finish indicator showing")
        check(finish.description == "The controller now has firmware %s, written and verified." % VERSION,
              "finish indicator described as %r" % finish.description)
        session.record("Finished")
        session.close()
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    finally:
        with open(arguments.tree, "w") as out:
            out.write("\n".join(report))
        # The bus launcher takes its bus daemon down with it on SIGTERM, not on SIGKILL.
        for process in PROCESSES:
            if process.poll() is None:
                process.terminate()
        xvfb.terminate()
    print("PASS: the window read over AT-SPI in each state")
    return 0


if __name__ == "__main__":
    sys.exit(main())
