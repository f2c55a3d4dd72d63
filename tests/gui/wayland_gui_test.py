# SPDX-License-Identifier: GPL-3.0-or-later
# The window on Wayland: a native Qt client of a headless compositor
# (scripts/with-wayland), tracing a GTK app that is a native Wayland client
# too. Wayland lets no client move another's pointer or read its pixels, so
# this journey uses what a screen reader's user has: each control's action
# and editable text over the accessibility bus. MF_COMPOSITOR (set by
# scripts/with-wayland) names the compositor in failure messages.
# Arguments: the marrowfield program and a GTK app's desktop entry.

import os
import re
import shutil
import sys
import tempfile
import unittest

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Targets, Window, application_of, extents, state, wait_for, walk  # noqa: E402

PROGRAM, TARGET = (map(os.path.abspath, sys.argv[1:3]) if len(sys.argv) >= 3 else (None, None))


def proc(pid, name):
    try:
        with open(f"/proc/{pid}/{name}", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


MARKUP = re.compile(r"</?(p|br|b|i|a|span|div|html|qt|nobr)\b[^>]*>|&(lt|gt|amp|quot|nbsp);", re.I)


def top_level(w, prefix):
    """A window of the application whose name starts with prefix, or None."""
    return next((d for d in (w.app.getChildAtIndex(i) for i in range(w.app.childCount))
                 if d is not None and d.name.startswith(prefix)), None)


def field(w, name, root):
    return wait_for(lambda: w.find_where(lambda o: o.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY) and
                                         o.name == name, root), f"the field {name!r}")


def type_into(obj, text):
    """Inserts text at the end of an editable text, as typing there does."""
    length = obj.queryText().characterCount
    obj.queryEditableText().insertText(length, text, len(text.encode()))
    wait_for(lambda: obj.queryText().getText(0, -1).endswith(text), f"{text!r} typed")


class WaylandJourney(unittest.TestCase):
    def test_a_gtk_app_traced_natively(self):
        compositor = os.environ.get("MF_COMPOSITOR", "weston")
        home = tempfile.mkdtemp(prefix="mf-wayland-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"), LANG="C.UTF-8", LC_ALL="C.UTF-8")
        w = Window(PROGRAM, env, home, x11=False)
        self.addCleanup(w.close)
        alive = lambda what: self.assertIsNone(w.process.poll(), f"the window died {what} under {compositor}")
        # Qt's Wayland platform plugin, not its X11 one (and there is no X server).
        self.assertTrue("libqwayland-generic.so" in proc(w.process.pid, "maps") and "libqxcb.so" not in proc(w.process.pid, "maps"))

        # The chooser opens and closes again and again, its file name field
        # focused and typed into (weston's input-method helper is running).
        for _ in range(3):
            w.press(w.button("Choose App"))
            dialog = w.chooser()
            type_into(field(w, "File name:", dialog), "mouse")
            w.press(w.find(pyatspi.ROLE_PUSH_BUTTON, "Cancel", dialog))
            wait_for(lambda: top_level(w, "Choose an application") is None, "the chooser to close")
            alive("with the chooser open")
        w.press(w.button("Choose App"))
        dialog = w.chooser()
        field(w, "File name:", dialog).queryEditableText().setTextContents(TARGET)
        w.press(w.find(pyatspi.ROLE_PUSH_BUTTON, "Choose App", dialog))
        wait_for(lambda: w.status().startswith("Ready to trace"), "the chosen target")

        # Launch Options, with both fields typed into, and the search field.
        for _ in range(3):
            w.press(w.button("Launch Options"))
            options = wait_for(lambda: top_level(w, "Launch Options for "), "the launch options")
            type_into(field(w, "Arguments", options), "--one")
            type_into(field(w, "Environment", options), "MF_X=1")
            w.press(w.find(pyatspi.ROLE_PUSH_BUTTON, "Cancel", options))
            wait_for(lambda: top_level(w, "Launch Options for ") is None, "the launch options to close")
            alive("with the launch options open")
        search = field(w, "Search diagnostics", w.frame)
        type_into(search, "nothing matches this")
        search.queryEditableText().setTextContents("")

        w.press(w.button("Launch & Trace"))
        pid = int(w.row_with(" launched with PID ", timeout=30).rsplit(" ", 1)[1])
        targets = Targets()
        targets.hold(pid)
        self.addCleanup(targets.end)
        # The target has the user's own input method, not the one set for our Qt alone.
        im = [e for e in proc(pid, "environ").split("\0") if e.startswith("QT_IM_MODULE=")]
        self.assertEqual(im, ["QT_IM_MODULE=" + os.environ["QT_IM_MODULE"]] if "QT_IM_MODULE" in os.environ else [])
        # GTK with no DISPLAY has no other way to show its window, which appears on the accessibility bus.
        wait_for(lambda: "libwayland-client" in proc(pid, "maps") and "libgtk" in proc(pid, "maps"), "the target on Wayland", 30)
        wait_for(lambda: application_of(pid).childCount > 0, "the target's window", 30)
        self.assertTrue(w.status().startswith("Tracing PID"), w.status())
        w.press(w.button("Stop"))
        w.row_with("Trace stopped")
        wait_for(w.cards, "the session card")

        # The clear-history question, asked and declined again and again.
        for _ in range(3):
            w.press(w.button("Clear launch history"))
            question = wait_for(lambda: top_level(w, "Clear Launch History"), "the question")
            w.press(wait_for(lambda: w.find(pyatspi.ROLE_PUSH_BUTTON, "Cancel", question), "its Cancel"))
            wait_for(lambda: top_level(w, "Clear Launch History") is None, "the question to close")
            alive("with the question open")
        self.assertTrue(w.cards())

        # A screen reader hears no markup, and a folded pane is not showing.
        for obj in walk(w.frame):
            for text in (obj.name, obj.description):
                self.assertIsNone(MARKUP.search(text or ""), f"markup in {obj.getRoleName()} {text!r}")
        detail_label = w.find(pyatspi.ROLE_LABEL, "EVENT DETAIL")
        self.assertTrue(state(detail_label, pyatspi.STATE_SHOWING))
        w.press(wait_for(lambda: w.find_where(lambda o: o.name == "Show Event Detail"), "the detail toggle"))
        # Asked afresh: the bus client keeps what it last heard of each object.
        wait_for(lambda: detail_label.clear_cache() or not state(detail_label, pyatspi.STATE_SHOWING),
                 "the folded pane to stop showing")
        fx, fy, _, _ = extents(w.frame)
        for obj in walk(w.frame):
            if state(obj, pyatspi.STATE_SHOWING) and obj.getRole() != pyatspi.ROLE_LIST_ITEM:
                x, y, width, height = extents(obj)
                self.assertTrue(x >= fx and y >= fy, f"{obj.getRoleName()} {obj.name!r} showing at {x},{y}")
        alive("at the end")


if __name__ == "__main__":
    if not PROGRAM:
        sys.exit("usage: wayland_gui_test.py MARROWFIELD DESKTOP_ENTRY")
    if not os.path.exists(TARGET):
        print(f"wayland_gui_test: SKIP: {TARGET} is not installed (run scripts/install-deps)", file=sys.stderr)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
