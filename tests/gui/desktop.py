# SPDX-License-Identifier: GPL-3.0-or-later
# Driving the real Marrowfield window as a person does: real pointer and key
# events (xdotool), the clipboard read by another process (xclip), pictures
# of the screen (ImageMagick), and the accessibility bus (AT-SPI) to find
# where a control is and what it says. Nothing reaches into the program.
# Waits are conditions with deadlines.

import os
import signal
import subprocess
import time

import pyatspi
from gi.repository import GLib


def wait_for(condition, what, timeout=15.0):
    """Returns the first truthy value of condition(), or fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        while GLib.MainContext.default().iteration(False):  # the bus's events, for Heard
            pass
        try:
            value = condition()
            if value:
                return value
        except Exception as error:  # the tree changes under us; try again (a tool's complaint says why not)
            last_error = f"{error} {getattr(error, 'stderr', '')}".strip()
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what} (last error: {last_error})")
        time.sleep(0.05)


def run(*args, timeout=10):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=timeout).stdout


def key(*keys):
    run("xdotool", "key", "--clearmodifiers", "--delay", "40", *keys)


def type_text(text):
    run("xdotool", "type", "--clearmodifiers", "--delay", "8", "--", text, timeout=60)


def click_at(x, y, repeat=1):
    # --sync waits for the pointer to move, which it never does when it is already there.
    here = run("xdotool", "getmouselocation", "--shell")
    if f"X={x}\n" not in here or f"Y={y}\n" not in here:
        run("xdotool", "mousemove", "--sync", str(x), str(y))
    run("xdotool", "click", "--repeat", str(repeat), "--delay", "80", "1")


def clipboard():
    """The CLIPBOARD selection as another process reads it."""
    try:
        return run("xclip", "-selection", "clipboard", "-o", timeout=5)
    except subprocess.CalledProcessError:
        return None


# The targets a test launched, each held by a pidfd taken as soon as the
# trace names its PID, so that ending them can never signal a process that
# has since taken over the number.
class Targets:
    def __init__(self):
        self.pidfds = {}

    def hold(self, pid):
        try:
            self.pidfds.setdefault(pid, os.pidfd_open(pid))
        except ProcessLookupError:
            pass

    def end(self):
        for pidfd in self.pidfds.values():
            try:
                signal.pidfd_send_signal(pidfd, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.close(pidfd)


def application_of(pid):
    """The accessible application of this process, or None."""
    desktop = pyatspi.Registry.getDesktop(0)
    return next((a for a in (desktop.getChildAtIndex(i) for i in range(desktop.childCount))
                 if a is not None and a.get_process_id() == pid), None)


class Heard:
    """What a screen reader hears from one process: each "showing" change and
    each children-changed, with whether the object it names still existed
    when asked. Listened to from creation on; wait_for() lets them arrive."""

    def __init__(self, pid):
        self.pid = pid
        self.events = []
        pyatspi.Registry.registerEventListener(self._heard, "object:state-changed:showing", "object:children-changed")

    def _heard(self, event):
        try:
            if event.host_application.get_process_id() != self.pid:
                return
        except Exception:
            pass
        try:
            event.source.clear_cache()
            existed = not state(event.source, pyatspi.STATE_DEFUNCT) and event.source.getRoleName() is not None
        except Exception:
            existed = False
        self.events.append((str(event.type), existed))

    def count(self, kind, existed=None):
        return sum(1 for k, e in self.events if k.startswith(kind) and existed in (None, e))

    def stop(self):
        pyatspi.Registry.deregisterEventListener(self._heard, "object:state-changed:showing", "object:children-changed")


def extents(obj):
    e = obj.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def state(obj, which):
    return obj.getState().contains(which)


def walk(obj, depth=0):
    """Every accessible below obj, depth first. The children of big lists are left out."""
    yield obj
    if depth > 40 or (obj.getRole() == pyatspi.ROLE_LIST and obj.childCount > 50):
        return
    for i in range(obj.childCount):
        child = obj.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def pixels(path, x, y, width, height):
    """RGB triples of a rectangle of a screenshot, row by row."""
    data = subprocess.run(["convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"],
                          check=True, capture_output=True, timeout=30).stdout
    return [tuple(data[i:i + 3]) for i in range(0, len(data), 3)]


class Window:
    """One running marrowfield and its window."""

    def __init__(self, program, env, cwd, x11=True):
        self.process = subprocess.Popen([program], env=env, cwd=cwd, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.app = wait_for(lambda: application_of(self.process.pid), "the application on the accessibility bus", 30)
        self.frame = wait_for(lambda: self.find(pyatspi.ROLE_FILLER, "Marrowfield", self.app), "the main window")
        # Wayland has no window ids for other clients (nor xdotool).
        self.window_id = wait_for(lambda: run("xdotool", "search", "--onlyvisible", "--pid",
                                              str(self.process.pid)).split()[0], "the X window") if x11 else None

    def find_where(self, predicate, root=None):
        return next((obj for obj in walk(root or self.frame) if predicate(obj)), None)

    def find(self, role, name, root=None):
        return self.find_where(lambda o: o.getRole() == role and (name is None or o.name == name), root)

    def chooser(self):
        return wait_for(lambda: next(d for d in (self.app.getChildAtIndex(i) for i in range(self.app.childCount))
                                     if d.name == "Choose an application to trace"), "the chooser")

    def button(self, name):
        return wait_for(lambda: self.find(pyatspi.ROLE_PUSH_BUTTON, name), f"the button {name!r}")

    def status_widget(self):
        return wait_for(lambda: self.find_where(lambda o: o.description == "Status"), "the status text")

    def status(self):
        return self.status_widget().name

    def event_list(self):
        return wait_for(lambda: self.find(pyatspi.ROLE_LIST, "Events"), "the event list")

    def rows(self):
        events = self.event_list()
        return [events.getChildAtIndex(i).name for i in range(events.childCount)]

    def row_with(self, text, timeout=20):
        return wait_for(lambda: next((r for r in self.rows() if text in r), None), f"an event containing {text!r}",
                        timeout)

    def cards(self):
        """The session cards, newest first: push buttons in the sidebar's history."""
        return [obj for obj in walk(self.frame) if obj.getRole() == pyatspi.ROLE_PUSH_BUTTON
                and obj.name.count(", ") >= 3 and obj.name.find("actionable") > 0]

    def focused(self):
        """The name of what has the keyboard, and the object."""
        obj = self.find_where(lambda o: state(o, pyatspi.STATE_FOCUSED))
        return (obj.name, obj) if obj else (None, None)

    def press(self, obj):
        """The control's own action, as a screen reader's user triggers it: no pointer, so any display server."""
        action = obj.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        action.doAction(names.index("Press") if "Press" in names else 0)

    def click(self, obj, repeat=1):
        x, y, w, h = extents(obj)
        click_at(x + w // 2, y + h // 2, repeat)

    def activate(self):
        # On a loaded machine the window can be found before openbox has
        # framed it, and windowactivate then fails: ask until it is active.
        def active():
            run("xdotool", "windowactivate", self.window_id)
            return run("xdotool", "getactivewindow").strip() == self.window_id

        wait_for(active, "the window to become active", timeout=30)

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.stdout.read() if self.process.stdout else ""
