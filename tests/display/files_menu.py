"""GNOME Files' context menus through the accessibility tree and the keyboard (GTK's menus)."""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pyatspi
from dogtail import rawinput, tree

from desktop import HOME, PASSWORD, TESSELA, mounts_under, run, stop, wait_for
from files import start_files


def has(node, state):
    try:
        return node.getState().contains(state)
    except Exception:  # the node went away meanwhile
        return False


def sized(node):
    try:
        return node.size[0] > 0 and node.size[1] > 0
    except Exception:  # the node went away
        return False


def entries_of(menu):
    """The entries `menu` shows, none once it closed. A closed menu has no size, though its
    entries keep theirs; the entries of a submenu not shown have none."""
    try:
        return [entry for entry in menu.findChildren(lambda n: n.roleName == "menu item")
                if sized(entry)] if sized(menu) else []
    except Exception:  # the menu went away
        return []


def context_menu(window):
    """The context menu that is up in `window`, or None."""
    for menu in window.findChildren(lambda n: n.roleName == "menu"):
        if entries_of(menu):
            return menu
    return None


def close(menu, key="Escape"):
    rawinput.pressKey(key)
    wait_for(lambda: not entries_of(menu), "the context menu to close")


def choose(menu, title):
    """Moves through `menu` with the arrow keys to `title` and presses Return. GTK's menu now and
    then lets a press go by without moving, so a press is only hoped to move the focus; what the
    choice does is checked afterwards."""
    def focused():
        return next((entry.name for entry in entries_of(menu)
                     if has(entry, pyatspi.STATE_FOCUSED)), None)
    for _ in range(3 * len(entries_of(menu))):
        now = focused()
        if now == title:
            close(menu, "Return")
            return
        rawinput.pressKey("Down")
        try:
            wait_for(lambda: focused() != now, "the focus to move", 2)
        except AssertionError:
            pass  # the press went by: the next one moves it
    raise AssertionError(f"the arrow keys never reached {title!r}")


def tessela_window():
    """Tessela's window, once it shows. Started where no panel hosts tray icons, Tessela opens
    its window at start: GNOME Files is started after it, or Tessela's window, opening late, would
    lie over GNOME Files' and take its keys and clicks."""
    def shown():
        for application in tree.root.applications():
            if application.name in ("Tessela", "tessela"):
                for frame in application.findChildren(lambda n: n.roleName == "frame",
                                                      recursive=False):
                    if frame.name == "Tessela" and frame.showing:
                        return frame
        return None
    return wait_for(shown, "Tessela's window")


class WithGnomeFiles:
    """For a test case: Tessela set up by `steps` (command lines fed the password) and running,
    then GNOME Files with this build's module on `folder`; both stopped and every mount let go at
    the end, also when the set-up failed half-way."""

    def start_with_files(self, steps, folder, *arguments):
        self.application = self.files = None
        self.modules = pathlib.Path(tempfile.mkdtemp(prefix="tessela-nautilus-"))
        self.addCleanup(self.stop_with_files)
        for step in steps:
            done = run(*step, stdin=PASSWORD + "\n")
            self.assertEqual(done.returncode, 0, f"{step[1]}: {done.stdout}{done.stderr}")
        # No fingerprint reader here: the password is typed.
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        self.application = subprocess.Popen([TESSELA], env=environment)
        socket = pathlib.Path(os.environ["XDG_RUNTIME_DIR"]) / "tessela/command.sock"
        wait_for(socket.exists, "the application's socket")
        tessela_window()
        self.files = start_files(self.modules, "--new-window", *arguments)
        self.window = wait_for(lambda: self.files_window(folder.name),
                               f"GNOME Files' window on {folder.name}")

    def stop_with_files(self):
        stop(self.files, 10)
        stop(self.application, 30)
        for mount in sorted(mounts_under(HOME), reverse=True):
            subprocess.run(["fusermount3", "-u", "-z", mount], check=False)
        shutil.rmtree(self.modules, ignore_errors=True)

    def files_window(self, title):
        if self.files.poll() is not None:
            raise AssertionError(f"GNOME Files ended with status {self.files.returncode}")
        for application in tree.root.applications():
            if application.name == "org.gnome.Nautilus":
                for frame in application.findChildren(lambda n: n.roleName == "frame",
                                                      recursive=False):
                    if frame.name == title:
                        return frame
        return None
