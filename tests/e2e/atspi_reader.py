"""Reads the window as a screen reader does, over the AT-SPI bus: the hidden "f" cannot be pressed,
and Connect, pressed through the bus, is heard as the window's new name and the note of why the
port did not open. Exits 1 with the reason when either is missing.
  atspi_reader.py PROGRAM-NAME WINDOW-PID"""
import os
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

heard = []


def window_alive():
    try:
        with open(f"/proc/{sys.argv[2]}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def pump(seconds, done):
    """Runs the loop that delivers the bus's events until done(), the time is up or the window has
    ended."""
    end = time.monotonic() + seconds
    while time.monotonic() < end and not done():
        if not window_alive():
            fail("the window ended")
        while GLib.MainContext.default().iteration(False):
            pass
        time.sleep(0.02)
    return done()


def window():
    desktop = Atspi.get_desktop(0)
    apps = (desktop.get_child_at_index(i) for i in range(desktop.get_child_count()))
    return next((a.get_child_at_index(0) for a in apps if a and a.get_name() == sys.argv[1]), None)


def control(root, name):
    for i in range(root.get_child_count()):
        child = root.get_child_at_index(i)
        if child.get_name() == name:
            return child
        found = child.get_child_count() and control(child, name)
        if found:
            return found
    return None


def on_event(event):
    if event.source.get_role_name() == "filler":
        heard.append(event.source.get_description() if "description" in event.type
                     else event.source.get_name())


def fail(reason):
    sys.exit(f"FAIL: {reason}; heard {heard}")


pump(15, window) or fail("the window never reached the bus")
frame = window()
if control(frame, "Send f").get_n_actions() != 0:
    fail('"Send f" can be pressed over the bus')
listener = Atspi.EventListener.new(on_event)
listener.register("object:property-change:accessible-name")
listener.register("object:property-change:accessible-description")
pump(1, lambda: False)  # the window learns that someone listens
before = frame.get_name()  # a reader that keeps names has this one now
connect = control(frame, "Connect")
Atspi.Action.do_action(connect, 0)
pump(10, lambda: len(heard) >= 2) or fail("Connect was not heard")
if not heard[0].startswith("Tarnix Pellora, Connect:   Error") or frame.get_name() != heard[0]:
    fail(f"the window's name after Connect is {frame.get_name()!r}, before {before!r}")
if "which is not there" not in heard[1]:
    fail("the note of the failed open was not heard")
print("heard over the bus:", *heard, sep="\n  ")
