# SPDX-License-Identifier: GPL-3.0-or-later
"""Driving the real Marrowfield window as a person does.

Everything here goes through what a user or an assistive tool has: real
pointer and key events (xdotool), the clipboard read by another process
(xclip), screenshots of the screen (ImageMagick's import), and the
accessibility bus (AT-SPI) to find where a control is and what it says.
Nothing reaches into the program. Waits are conditions with deadlines.
"""

import os
import signal
import subprocess
import time

import pyatspi


class Timeout(AssertionError):
    pass


def wait_for(condition, what, timeout=15.0, interval=0.05):
    """Returns the first truthy value of condition(), or fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = condition()
            if value:
                return value
        except Exception as error:  # the tree changes under us; try again
            last_error = error
        if time.monotonic() > deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise Timeout(f"timed out after {timeout:.0f} s waiting for {what}{detail}")
        time.sleep(interval)


def run(*args, timeout=10, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=timeout, **kwargs).stdout


def key(*keys):
    run("xdotool", "key", "--clearmodifiers", "--delay", "40", *keys)


def type_text(text):
    run("xdotool", "type", "--clearmodifiers", "--delay", "8", "--", text, timeout=60)


def move_to(x, y):
    # --sync waits for the pointer to move, which it never does when it is already there.
    here = run("xdotool", "getmouselocation", "--shell")
    if f"X={x}\n" in here and f"Y={y}\n" in here:
        return
    run("xdotool", "mousemove", "--sync", str(x), str(y))


def click_at(x, y):
    move_to(x, y)
    run("xdotool", "click", "1")


def double_click_at(x, y):
    move_to(x, y)
    run("xdotool", "click", "--repeat", "2", "--delay", "80", "1")


def clipboard():
    """The CLIPBOARD selection as another process reads it."""
    try:
        return run("xclip", "-selection", "clipboard", "-o", timeout=5)
    except subprocess.CalledProcessError:
        return None


def screen_size():
    out = run("xwininfo", "-root")
    width = int(next(l for l in out.splitlines() if "Width:" in l).split()[-1])
    height = int(next(l for l in out.splitlines() if "Height:" in l).split()[-1])
    return width, height


def extents(obj):
    e = obj.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def state(obj, which):
    return obj.getState().contains(which)


def walk(obj, skip_lists=True, depth=0):
    """Every accessible below obj, depth first. The children of big lists are left out."""
    yield obj
    if depth > 40:
        return
    if skip_lists and obj.getRole() == pyatspi.ROLE_LIST and obj.childCount > 50:
        return
    for i in range(obj.childCount):
        child = obj.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, skip_lists, depth + 1)


class Screenshots:
    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.count = 0

    def take(self, name, checked=False):
        """A screenshot of the screen. Those a check reads are always taken; the
        ones for a person to look at only into MARROWFIELD_SCREENSHOTS=DIR."""
        folder = self.folder if checked else os.environ.get("MARROWFIELD_SCREENSHOTS")
        if not folder:
            return None
        os.makedirs(folder, exist_ok=True)
        self.count += 1
        path = os.path.join(folder, f"{self.count:02d}-{name}.png")
        run("import", "-window", "root", path, timeout=30)
        return path

    @staticmethod
    def pixels(path, x, y, width, height):
        """RGB triples of a rectangle of a screenshot, row by row."""
        data = subprocess.run(["convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-depth", "8",
                               "rgb:-"], check=True, capture_output=True, timeout=30).stdout
        return [tuple(data[i:i + 3]) for i in range(0, len(data), 3)]


def is_focus_ring(rgb):
    """The focus ring is the accent cyan, drawn at high opacity on the dark window."""
    r, g, b = rgb
    return b >= 200 and g >= 160 and r <= 160


class Window:
    """One running marrowfield and its window."""

    def __init__(self, program, env, cwd, x11=True):
        self.process = subprocess.Popen([program], env=env, cwd=cwd, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.app = wait_for(self._find_app, "the application on the accessibility bus", timeout=30)
        self.frame = wait_for(lambda: self._find(pyatspi.ROLE_FILLER, "Marrowfield", self.app, depth_limit=1),
                              "the main window")
        # Wayland has no window ids for other clients (nor xdotool).
        self.window_id = wait_for(self._window_id, "the X window", timeout=15) if x11 else None

    def _find_app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == self.process.pid:
                return app
        return None

    def _window_id(self):
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid)],
                             capture_output=True, text=True, timeout=5).stdout.split()
        return out[0] if out else None

    @staticmethod
    def _find(role, name, root, depth_limit=None):
        for obj in walk(root):
            if obj.getRole() == role and (name is None or obj.name == name):
                return obj
        return None

    # ---- finding things
    def find(self, role, name, root=None):
        return self._find(role, name, root or self.frame)

    def find_where(self, predicate, root=None):
        for obj in walk(root or self.frame):
            if predicate(obj):
                return obj
        return None

    def button(self, name, timeout=10):
        return wait_for(lambda: self.find(pyatspi.ROLE_PUSH_BUTTON, name), f"the button {name!r}", timeout)

    def status_widget(self):
        return wait_for(lambda: self.find_where(lambda o: o.description == "Status"), "the status text")

    def status(self):
        return self.status_widget().name

    def event_list(self):
        return wait_for(lambda: self.find(pyatspi.ROLE_LIST, "Events"), "the event list")

    def rows(self, limit=2000):
        events = self.event_list()
        return [events.getChildAtIndex(i).name for i in range(min(events.childCount, limit))]

    def cards(self):
        """The session cards, newest first: push buttons in the sidebar's history."""
        names = []
        for obj in walk(self.frame):
            if obj.getRole() == pyatspi.ROLE_PUSH_BUTTON and obj.name.count(", ") >= 3 and obj.name.find("actionable") > 0:
                names.append(obj)
        return names

    def focused(self):
        """The name of what has the keyboard, and the object."""
        for obj in walk(self.frame):
            if state(obj, pyatspi.STATE_FOCUSED):
                return obj.name, obj
        return None, None

    def detail_value(self, label):
        obj = wait_for(lambda: self.find_where(lambda o: o.name == label and o.getRole() in (
            pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY, pyatspi.ROLE_PARAGRAPH)), f"the detail value {label}")
        text = obj.queryText()
        return text.getText(0, text.characterCount)

    # ---- acting
    @staticmethod
    def press(obj):
        """The control's own action, as a screen reader's user triggers it: no pointer, so any display server."""
        action = obj.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        action.doAction(names.index("Press") if "Press" in names else 0)

    def click(self, obj):
        x, y, w, h = extents(obj)
        click_at(x + w // 2, y + h // 2)

    def activate(self):
        # On a loaded machine the window can be found before openbox has
        # framed it, and windowactivate then fails: ask again until it is the
        # active window.
        def active():
            run("xdotool", "windowactivate", self.window_id)
            return run("xdotool", "getactivewindow").strip() == self.window_id

        wait_for(active, "the window to become active", timeout=30, interval=0.2)

    def geometry(self):
        """(x, y, width, height) of the content and the frame extents (left, right, top, bottom)."""
        info = run("xwininfo", "-id", self.window_id)
        value = lambda key: int(next(l for l in info.splitlines() if key in l).split()[-1])
        content = (value("Absolute upper-left X:"), value("Absolute upper-left Y:"), value("Width:"),
                   value("Height:"))
        prop = run("xprop", "-id", self.window_id, "_NET_FRAME_EXTENTS")
        frame = (0, 0, 0, 0)
        if "=" in prop:
            frame = tuple(int(v) for v in prop.split("=", 1)[1].replace(",", " ").split())
        return content, frame

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.stdout.read() if self.process.stdout else ""
