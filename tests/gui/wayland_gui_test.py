# SPDX-License-Identifier: GPL-3.0-or-later
# The window on Wayland: a native Qt client of a headless compositor
# (scripts/with-wayland), tracing a GTK app that is a native Wayland client
# too. Wayland lets no client move another's pointer or read its pixels, so
# this journey uses what a screen reader's user has: each control's action
# and editable text over the accessibility bus.
# Arguments: the marrowfield program and a GTK app's desktop entry.

import os
import shutil
import sys
import tempfile
import unittest

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Targets, Window, application_of, wait_for  # noqa: E402

PROGRAM, TARGET = (map(os.path.abspath, sys.argv[1:3]) if len(sys.argv) >= 3 else (None, None))


def maps(pid):
    try:
        with open(f"/proc/{pid}/maps") as f:
            return f.read()
    except OSError:
        return ""


class WaylandJourney(unittest.TestCase):
    def test_a_gtk_app_traced_natively(self):
        home = tempfile.mkdtemp(prefix="mf-wayland-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"), LANG="C.UTF-8", LC_ALL="C.UTF-8")
        w = Window(PROGRAM, env, home, x11=False)
        self.addCleanup(w.close)
        # Qt's Wayland platform plugin, not its X11 one (and there is no X server).
        self.assertTrue("libqwayland-generic.so" in maps(w.process.pid) and "libqxcb.so" not in maps(w.process.pid))
        w.press(w.button("Choose App"))
        dialog = w.chooser()
        field = wait_for(lambda: w.find_where(lambda o: o.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY) and
                                              o.name == "File name:", dialog), "the file name field")
        field.queryEditableText().setTextContents(TARGET)
        w.press(w.find(pyatspi.ROLE_PUSH_BUTTON, "Choose App", dialog))
        wait_for(lambda: w.status().startswith("Ready to trace"), "the chosen target")

        w.press(w.button("Launch & Trace"))
        pid = int(w.row_with(" launched with PID ", timeout=30).rsplit(" ", 1)[1])
        targets = Targets()
        targets.hold(pid)
        self.addCleanup(targets.end)
        # GTK with no DISPLAY has no other way to show its window, which appears on the accessibility bus.
        wait_for(lambda: "libwayland-client" in maps(pid) and "libgtk" in maps(pid), "the target on Wayland", 30)
        wait_for(lambda: application_of(pid).childCount > 0, "the target's window", 30)
        self.assertTrue(w.status().startswith("Tracing PID"), w.status())
        w.press(w.button("Stop"))
        w.row_with("Trace stopped")
        wait_for(w.cards, "the session card")


if __name__ == "__main__":
    if not PROGRAM:
        print("usage: wayland_gui_test.py MARROWFIELD DESKTOP_ENTRY", file=sys.stderr)
        sys.exit(2)
    if not os.path.exists(TARGET):
        print(f"wayland_gui_test: SKIP: {TARGET} is not installed (run scripts/install-deps)", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
