#!/usr/bin/python3
"""GNOME Files' context menu follows what is open without a change of selection: a person
selects a locked item, unlocks it from the menu, opens the menu again on the same selection and
finds "Lock Now" there, not "Unlock with Tessela" a second time; choosing it locks the item.

GNOME Files asks an extension for its entries only when the selection changes, so the module
must tell it when the published state changes. This runs the real GNOME Files with the built
module, the real application and gocryptfs, through the accessibility tree and the keyboard.
Run inside tests/display/session; the program folder (or the build folder above it) is the
first argument. Exit status 77, with the reason, where GNOME Files cannot be started with the
module here.

GNOME Files loads modules only from the system's extension folder. The module is put there for
this GNOME Files alone: in a user namespace where the user is root, a private mount namespace
covers the folder with a scratch folder holding a link to the module; a nested user namespace
then makes the user itself again, since the D-Bus daemons (the accessibility bus among them)
refuse a client that claims to be root while the kernel says it is the user. Nothing outside
that process changes. The module finds the helper by resolving its own path, so through the
link it finds the build's tessela-finder.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from desktop import DOCS, HOME, PASSWORD, PROGRAMS, TESSELA, mounts_under, run, wait_for

ITEM = DOCS / "Taxes.tessvault"
ENABLING_LINK = (pathlib.Path(os.environ.get("XDG_DATA_HOME", HOME / ".local/share"))
                 / "tessela/nautilus-extension")

# Covers GNOME Files' extension folder ($1) with $0, then runs the command ($4…) as the user
# ($2, $3).
IN_NAMESPACE = ('mount --bind "$0" "$1" && uid=$2 gid=$3 && shift 3 && '
                'exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"')


def extension_folder():
    found = ""
    if shutil.which("pkg-config"):
        found = run("pkg-config", "--variable=extensiondir", "libnautilus-extension-4").stdout
    return pathlib.Path(found.strip() or "/usr/lib/x86_64-linux-gnu/nautilus/extensions-4")


def with_module(modules, *command):
    """`command` in the private namespaces, with `modules` as GNOME Files' extension folder."""
    return ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "slave",
            "sh", "-c", IN_NAMESPACE, str(modules), str(extension_folder()), str(os.getuid()),
            str(os.getgid()), *command]


def why_it_cannot_run():
    """Why GNOME Files cannot be started with the module here, or None."""
    for tool in ("nautilus", "unshare", "gocryptfs", "fusermount3"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    if not extension_folder().is_dir():
        return f"GNOME Files has no extension folder {extension_folder()}"
    # A module built with AddressSanitizer needs its runtime loaded first, which GNOME Files
    # (built without it) does not do: it aborts while loading the module. The module is checked
    # under the sanitizer by its own test, loaded as GNOME Files loads it.
    for module in PROGRAMS.parent.glob("lib/**/nautilus/extensions-4/libtessela-nautilus.so"):
        if b"libasan.so" in module.read_bytes():
            return "the module is built with AddressSanitizer, which GNOME Files cannot load"
    with tempfile.TemporaryDirectory() as empty:
        probe = run(*with_module(empty, "true"))
    if probe.returncode != 0:
        return ("GNOME Files cannot be given the module in private namespaces (user namespaces "
                f"are needed): {probe.stderr.strip() or f'status {probe.returncode}'}")
    return None


# Said before the accessibility libraries are loaded: they end the process where no
# accessibility bus answers.
if __name__ == "__main__" and (REASON := why_it_cannot_run()):
    print(f"skipped: {REASON}", file=sys.stderr)
    sys.exit(77)

import dogtail.config  # noqa: E402  (after the check above)

dogtail.config.config.checkForA11y = False
dogtail.config.config.logDebugToFile = False
dogtail.config.config.logDebugToStdOut = False
dogtail.config.config.searchCutoffCount = 5
dogtail.config.config.defaultDelay = 0.2
import pyatspi  # noqa: E402
from dogtail import rawinput, tree  # noqa: E402  (after the configuration above)


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


def stop(process, seconds):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class ContextMenuFollowsTheUnlock(unittest.TestCase):
    def setUp(self):
        self.application = self.files = None
        self.modules = pathlib.Path(tempfile.mkdtemp(prefix="tessela-nautilus-"))
        self.addCleanup(self.clean_up)
        (DOCS / "Taxes").mkdir(parents=True)
        (DOCS / "Taxes/2025.txt").write_text("taxes")
        for step in ([TESSELA, "setup", "--password-stdin"], [TESSELA, "lock", str(DOCS / "Taxes")],
                     [TESSELA, "file-manager-menu", "on"]):
            done = run(*step, stdin=PASSWORD + "\n")
            self.assertEqual(done.returncode, 0, f"{step[1]}: {done.stdout}{done.stderr}")
        # No fingerprint reader here: the password is typed.
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        self.application = subprocess.Popen([TESSELA], env=environment)
        socket = pathlib.Path(os.environ["XDG_RUNTIME_DIR"]) / "tessela/command.sock"
        wait_for(socket.exists, "the application's socket")

        module = ENABLING_LINK.resolve(strict=True)  # the build's module, as turned on above
        (self.modules / module.name).symlink_to(module)
        self.files = subprocess.Popen(with_module(self.modules, "nautilus", "--new-window",
                                                  "--select", str(ITEM)))
        self.window = wait_for(self.files_window, "GNOME Files' window on Docs")

    def clean_up(self):
        stop(self.files, 10)
        stop(self.application, 30)
        for mount in sorted(mounts_under(HOME), reverse=True):
            subprocess.run(["fusermount3", "-u", "-z", mount], check=False)
        shutil.rmtree(self.modules, ignore_errors=True)

    def files_window(self):
        if self.files.poll() is not None:
            raise AssertionError(f"GNOME Files ended with status {self.files.returncode}")
        for application in tree.root.applications():
            if application.name == "org.gnome.Nautilus":
                for frame in application.findChildren(lambda n: n.roleName == "frame",
                                                      recursive=False):
                    if frame.name == "Docs":
                        return frame
        return None

    def selection(self):
        """The names of the selected items, and the one with the keyboard focus."""
        names, focused = [], None
        for cell in self.window.findChildren(lambda n: n.roleName == "table cell" and
                                             has(n, pyatspi.STATE_SELECTED)):
            # A grid cell holds the item's own cell, which carries its name.
            shown = [n.name for n in cell.findChildren(lambda n: n.roleName == "table cell")]
            names += shown or [cell.name]
            if has(cell, pyatspi.STATE_FOCUSED):
                focused = (shown or [cell.name])[0]
        return names, focused

    def context_menu(self):
        """The context menu that is up, or None."""
        for menu in self.window.findChildren(lambda n: n.roleName == "menu"):
            if entries_of(menu):
                return menu
        return None

    def open_menu(self):
        """Opens the context menu with the Menu key; the menu and its entries' titles."""
        wait_for(lambda: has(self.window, pyatspi.STATE_ACTIVE),
                 "GNOME Files' window on Docs to be the active window", 10)
        self.assertEqual(self.selection(), ([ITEM.name], ITEM.name),
                         "Taxes.tessvault alone should be selected, with the keyboard focus")
        # A press that comes while GNOME Files is still busy (a loaded machine) can go by: the
        # key is pressed again until the menu is up.
        menu = None
        for _ in range(10):
            rawinput.pressKey("Menu")
            try:
                menu = wait_for(self.context_menu, "the context menu", 6)
                break
            except AssertionError:
                pass
        if menu is None:
            raise AssertionError("the context menu never opened")
        return menu, [entry.name for entry in entries_of(menu)]

    def close(self, menu, key="Escape"):
        rawinput.pressKey(key)
        wait_for(lambda: not entries_of(menu), "the context menu to close")

    def choose(self, menu, title):
        """Moves through `menu` with the arrow keys to `title` and presses Return. GTK's menu
        now and then lets a press go by without moving, so a press is only hoped to move the
        focus; what the choice does is checked afterwards."""
        def focused():
            return next((entry.name for entry in entries_of(menu)
                         if has(entry, pyatspi.STATE_FOCUSED)), None)
        for _ in range(3 * len(entries_of(menu))):
            now = focused()
            if now == title:
                self.close(menu, "Return")
                return
            rawinput.pressKey("Down")
            try:
                wait_for(lambda: focused() != now, "the focus to move", 2)
            except AssertionError:
                pass  # the press went by: the next one moves it
        raise AssertionError(f"the arrow keys never reached {title!r}")

    def menu_once_it_shows(self, title, seconds=15):
        """The context menu and its entries' titles, opened again on the same selection until it
        offers `title`: the module hears of a change a moment after the application publishes
        it. A menu that was not rebuilt stays as it was however often it is opened."""
        deadline = time.monotonic() + seconds
        while True:
            menu, entries = self.open_menu()
            if title in entries or time.monotonic() > deadline:
                return menu, entries
            self.close(menu)
            time.sleep(0.5)

    def test_the_menu_offers_lock_now_after_an_unlock_on_the_same_selection(self):
        menu, entries = self.open_menu()
        self.assertIn("Unlock with Tessela", entries)
        self.choose(menu, "Unlock with Tessela")
        wait_for(lambda: any(field.focused for application in tree.root.applications()
                             if application.name == "Tessela"
                             for field in application.findChildren(
                                 lambda n: n.roleName == "password text")),
                 "the password prompt, with the focus in its field")
        rawinput.typeText(PASSWORD)
        rawinput.pressKey("Return")
        mount = wait_for(lambda: mounts_under(HOME), "Taxes to be unlocked")[0]
        self.assertEqual((pathlib.Path(mount) / "2025.txt").read_text(), "taxes")

        menu, entries = self.menu_once_it_shows("Lock Now")
        self.assertNotIn("Unlock with Tessela", entries,
                         "GNOME Files still offers to unlock the open item: its menu was not "
                         "rebuilt when the item opened")
        self.assertIn("Lock Now", entries)
        self.assertIn("Show Unlocked Files", entries)
        self.choose(menu, "Lock Now")
        wait_for(lambda: not mounts_under(HOME), "Taxes to be locked again")
        self.assertTrue(ITEM.is_dir())
        self.assertFalse((DOCS / "Taxes").exists())
        notices = pathlib.Path(os.environ["TESSELA_NOTIFICATIONS_LOG"]).read_text()
        self.assertNotIn("no longer applies", notices)

        # And back: the locked item is offered to be unlocked again.
        menu, entries = self.menu_once_it_shows("Unlock with Tessela")
        self.assertIn("Unlock with Tessela", entries)
        self.close(menu)


if __name__ == "__main__":
    unittest.main(verbosity=2)
