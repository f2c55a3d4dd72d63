# SPDX-License-Identifier: GPL-3.0-or-later
"""The Marrowfield window on Wayland: a native Qt client of a headless
compositor (scripts/with-wayland), tracing a GTK app that is a native
Wayland client too.

Wayland gives one client no way to move another's pointer or read its
pixels, so where the X11 journey uses xdotool this one uses what a screen
reader's user has: each control's own action and editable text over the
accessibility bus. Screenshots, the clipboard read by another process and
the window frame's geometry are X11-only (window_gui_test.py).
Arguments: the marrowfield program and a GTK app's desktop entry.
"""

import os
import shutil
import signal
import sys
import tempfile
import unittest

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Window, wait_for  # noqa: E402

PROGRAM, TARGET = (map(os.path.abspath, sys.argv[1:3]) if len(sys.argv) >= 3 else (None, None))


def maps(pid):
    try:
        with open(f"/proc/{pid}/maps") as f:
            return f.read()
    except OSError:
        return ""


class WaylandJourney(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="mf-wayland-home-")
        env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_DATA_HOME=os.path.join(self.home, ".local", "share"), LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.pids = set()
        self.w = Window(PROGRAM, env, self.home, x11=False)

    def tearDown(self):
        self.w.close()
        for pid in self.pids:  # the targets this test launched
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        shutil.rmtree(self.home, ignore_errors=True)

    def test_a_gtk_app_traced_natively(self):
        w = self.w
        # Qt's Wayland platform plugin, not its X11 one (and there is no X server).
        loaded = maps(w.process.pid)
        self.assertTrue("libqwayland-generic.so" in loaded and "libqxcb.so" not in loaded, "not on Wayland")

        # Choose the target through the chooser, by its actions and text.
        w.press(w.button("Choose App"))
        dialog = wait_for(lambda: next((w.app.getChildAtIndex(i) for i in range(w.app.childCount)
                                        if w.app.getChildAtIndex(i).name == "Choose an application to trace"),
                                       None), "the chooser")
        field = wait_for(lambda: w.find_where(lambda o: o.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY) and
                                              o.name == "File name:", dialog), "the file name field")
        field.queryEditableText().setTextContents(TARGET)
        w.press(w.find_where(lambda o: o.getRole() == pyatspi.ROLE_PUSH_BUTTON and o.name == "Choose App", dialog))
        wait_for(lambda: w.status().startswith("Ready to trace"), "the chosen target")

        # Launch & Trace; the GTK app starts as a Wayland client of its own.
        w.press(w.button("Launch & Trace"))
        row = wait_for(lambda: next((r for r in w.rows() if " launched with PID " in r), None), "the launch", 30)
        pid = int(row.rsplit(" ", 1)[1])
        self.pids.add(pid)
        # GTK on Wayland: with no DISPLAY it has no other way to show its
        # window, which appears on the accessibility bus.
        wait_for(lambda: "libwayland-client" in maps(pid) and "libgtk" in maps(pid), "the target on Wayland", 30)
        desktop = pyatspi.Registry.getDesktop(0)
        wait_for(lambda: any(desktop.getChildAtIndex(i) is not None and desktop.getChildAtIndex(i).get_process_id() == pid
                             and desktop.getChildAtIndex(i).childCount > 0 for i in range(desktop.childCount)),
                 "the target's window", 30)
        self.assertTrue(w.status().startswith("Tracing PID"), w.status())

        w.press(w.button("Stop"))
        wait_for(lambda: any("Trace stopped" in r for r in w.rows()), "the stop")
        wait_for(lambda: w.cards(), "the session card")


if __name__ == "__main__":
    if not PROGRAM:
        print("usage: wayland_gui_test.py MARROWFIELD DESKTOP_ENTRY", file=sys.stderr)
        sys.exit(2)
    if not os.path.exists(TARGET):
        print(f"wayland_gui_test: SKIP: {TARGET} is not installed (run scripts/install-deps)", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
