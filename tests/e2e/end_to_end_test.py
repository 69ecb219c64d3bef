#!/usr/bin/python3
"""Tessela used as a person uses it, on a real X display through the accessibility tree, the
keyboard and the mouse.

EndToEnd, from the first start to the quit: setup, a lock from the window's file dialog, an
unlock from the file-manager menu's helper, a forced lock of an item in use, the screen locking,
a lock removed from the row's menu, and the quit from the tray menu (a tray host double on the
bus, the menu clicked over dbusmenu as a panel does).

InGnomeFiles: the real GNOME Files with this build's module; a file is locked from its context
menu (a right-click) and unlocked from the locked item's. Exit status 77, with the reason, where
GNOME Files cannot be started with the module here.

Every step saves a screenshot of the display. Run inside tests/display/session; arguments: the
program folder, the folder for the screenshots and the test (EndToEnd or InGnomeFiles)."""
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "display"))
SHOTS = pathlib.Path(sys.argv.pop(2))

from desktop import (FINDER, HOME, PASSWORD, PROGRAMS, TESSELA, entry_url,  # noqa: E402
                     mounts_under, run, stop, wait_for)
from files import why_it_cannot_run  # noqa: E402

# Said before the accessibility libraries are loaded: they end the process where no
# accessibility bus answers.
if "InGnomeFiles" in sys.argv[1:] and (REASON := why_it_cannot_run()):
    print(f"skipped: {REASON}", file=sys.stderr)
    sys.exit(77)

import dbus  # noqa: E402
import dogtail.config  # noqa: E402

dogtail.config.config.checkForA11y = False
dogtail.config.config.logDebugToFile = False
dogtail.config.config.logDebugToStdOut = False
dogtail.config.config.searchCutoffCount = 5
dogtail.config.config.defaultDelay = 0.2
from dogtail import rawinput, tree  # noqa: E402

from files_menu import WithGnomeFiles, choose, context_menu, entries_of, sized  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
SAMPLES = HOME / "Samples"
PHOTOS = HOME / "Photos"


def digest(folder):
    """Every file under `folder` by its path, with its content's hash."""
    return {str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(folder.rglob("*")) if path.is_file()}


def shot(name):
    """A screenshot of the whole display, as `name`.png in the screenshots' folder."""
    SHOTS.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", "root", str(SHOTS / f"{name}.png")], check=False,
                   timeout=30)


class Steps(unittest.TestCase):
    """A failure leaves a screenshot of what the display showed then, before anything is
    cleaned up."""
    failure_shot = "failed"

    def _callTestMethod(self, method):
        try:
            method()
        except BaseException:
            shot(self.failure_shot)
            raise


class EndToEnd(Steps):
    failure_shot = "07-failed"

    @classmethod
    def setUpClass(cls):
        for old in SHOTS.glob("0[1-7]-*.png"):
            old.unlink()
        (SAMPLES / "Letters").mkdir(parents=True)
        (SAMPLES / "Letters/today.txt").write_text("Meeting at noon.\n")
        (SAMPLES / "notes.txt").write_text("Grüße aus Köln\n")
        (SAMPLES / "beach.raw").write_bytes(os.urandom(300_000))
        cls.original = digest(SAMPLES)
        cls.bus = dbus.SessionBus()
        # The screen saver, and the panel's tray host, as the application finds them.
        for double in (["--template", "gnome_screensaver"],
                       [WATCHER, "/StatusNotifierWatcher", WATCHER]):
            started = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", *double])
            cls.addClassCleanup(stop, started, 10)
        for name in ("org.gnome.ScreenSaver", WATCHER):
            wait_for(lambda name=name: cls.bus.name_has_owner(name), name)
        mock = dbus.Interface(cls.bus.get_object(WATCHER, "/StatusNotifierWatcher"),
                              "org.freedesktop.DBus.Mock")
        mock.AddMethod(WATCHER, "RegisterStatusNotifierItem", "s", "", "")
        mock.AddMethod(WATCHER, "RegisterStatusNotifierHost", "s", "", "")
        mock.AddProperties(WATCHER, {
            "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array([], signature="s")})
        cls.watcher = mock
        # No fingerprint reader here: the password is typed.
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        cls.application = subprocess.Popen([TESSELA], env=environment)
        cls.addClassCleanup(stop, cls.application, 30)
        cls.app = wait_for(lambda: next((a for a in tree.root.applications()
                                         if a.name in ("Tessela", "tessela")), None),
                           "the application in the accessibility tree")

    # What a person looks at and presses.

    def shot(self, name):
        shot(name)

    def main_window(self):
        return wait_for(lambda: next((w for w in self.app.children
                                      if w.roleName == "frame" and w.name == "Tessela"
                                      and w.showing), None), "the main window")

    def shown(self, text, within=None, seconds=30):
        """The showing node named `text` (in `within`, else anywhere in the application)."""
        place = within or self.app
        return wait_for(lambda: place.findChild(lambda n: n.name == text and n.showing,
                                                retry=False, requireResult=False),
                        f"{text!r} to show", seconds)

    def press(self, text, within=None):
        """Presses the button (or toggles the check box) showing `text`."""
        node = wait_for(lambda: (lambda found: found if found.sensitive and list(found.actions)
                                 else None)(self.shown(text, within)), f"{text!r} to be enabled")
        actions = list(node.actions)
        node.doActionNamed("Press" if "Press" in actions else actions[0])

    def dialog(self, text, seconds=30):
        """The dialog or alert showing a label that contains `text`."""
        def showing():
            for window in self.app.findChildren(lambda n: n.roleName in ("dialog", "alert")):
                if any(text in label.name for label in window.findChildren(
                        lambda n: n.roleName == "label", showingOnly=True)):
                    return window
            return None
        return wait_for(showing, f"a window saying {text!r}", seconds)

    def chooser(self):
        """The file dialog "Lock Files…" opens, by its title."""
        return wait_for(lambda: next((w for w in self.app.children
                                      if w.name == "Choose files or folders to lock."
                                      and w.showing), None), "the file dialog")

    def type_into(self, field, text):
        """Clicks into `field`, as a person does, and types `text` once it has the keys; clicks
        and types again where a loaded machine let the click or the keys go by."""
        for _ in range(5):
            x, y = field.position
            width, height = field.size
            rawinput.click(x + width // 2, y + height // 2)
            try:
                wait_for(lambda: field.focused, f"{field.name!r} to have the focus", 5)
            except AssertionError:
                continue
            rawinput.keyCombo("<Control>a")
            rawinput.pressKey("BackSpace")
            rawinput.typeText(text)
            if field.roleName == "password text":
                return  # its text is not told: what setup says of it checks it
            try:
                wait_for(lambda: field.text == text, f"{field.name!r} to be filled", 5)
                return
            except AssertionError:
                continue
        raise AssertionError(f"could not type into {field.name!r}")

    def choose_samples(self, chooser):
        """In the file dialog: goes to the home folder by typing it, then picks "Samples" (the
        list's first entry) with the keyboard."""
        field = wait_for(lambda: chooser.findChild(lambda n: n.roleName == "text" and n.showing,
                                                   retry=False, requireResult=False),
                         "the file name field")
        self.type_into(field, str(HOME))
        rawinput.pressKey("Return")  # into the folder
        self.shown("Samples", chooser)
        time.sleep(0.5)  # the folder's listing settles
        # Back from the name field to the list, then its first entry: chosen by the keyboard.
        rawinput.keyCombo("<Shift>Tab")
        wait_for(lambda: chooser.findChild(
            lambda n: n.focused and n.roleName in ("tree table", "table", "list", "tree"),
            retry=False, requireResult=False), "the list to have the focus")
        rawinput.pressKey("Home")
        rawinput.pressKey("space")  # selected
        time.sleep(0.3)

    def unlock_with_helper(self):
        """Unlocks Samples as the file-manager menu does: its helper opens the URL of the menu's
        entry, and the password is typed into the prompt."""
        subprocess.run([FINDER, "open", entry_url(HOME / "Samples.tessvault",
                                                  "Unlock with Tessela")], check=True)
        self.type_password("unlock Samples")
        wait_for(lambda: mounts_under(HOME), "the item to open")

    def type_password(self, reason):
        """Types the password into the prompt that asks for it "to {reason}"."""
        self.dialog(f"Tessela needs your password to {reason}.")
        rawinput.typeText(PASSWORD)
        rawinput.pressKey("Return")

    def until(self, condition, what, seconds=30):
        """Waits for `condition` as wait_for does, but fails at once when the application shows
        an error alert ("Could not …"), with its text."""
        def settled():
            if condition():
                return True
            for window in self.app.findChildren(lambda n: n.roleName in ("dialog", "alert")):
                texts = [label.name for label in window.findChildren(
                    lambda n: n.roleName == "label", showingOnly=True)]
                if any(text.startswith("Could not") for text in texts):
                    self.fail(f"waiting for {what}: " + " / ".join(texts))
            return False
        wait_for(settled, what, seconds)

    def tray_entries(self):
        service = str(self.watcher.GetMethodCalls("RegisterStatusNotifierItem")[0][1][0])
        item = self.bus.get_object(service, "/StatusNotifierItem")
        path = item.Get("org.kde.StatusNotifierItem", "Menu",
                        dbus_interface="org.freedesktop.DBus.Properties")
        menu = dbus.Interface(self.bus.get_object(service, path), "com.canonical.dbusmenu")
        _, (_, _, children) = menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        return menu, {str(props.get("label", "")): int(entry) for entry, props, _ in children}

    def test_a_person_sets_up_locks_opens_walks_away_removes_a_lock_and_quits(self):
        # 1. First start: setup. The password is kept only at the end.
        window = self.main_window()
        self.shown("Lock anything on your computer", window)
        self.shot("01-setup-welcome")
        self.press("Get Started", window)
        self.type_into(self.shown("Password", window), PASSWORD)
        self.type_into(self.shown("Confirm password", window), PASSWORD)
        self.press("I understand there is no way to recover a forgotten password.", window)
        self.shot("01-setup-password")
        self.press("Continue", window)
        self.shown("Turn on the file-manager menu", window)
        self.press("Turn On File-Manager Menu", window)
        self.shown("The file-manager menu is on", window, seconds=10)
        self.press("Continue", window)
        self.shown("Disk protection", window)
        self.press("Continue", window)
        self.shown("You are all set", window)
        self.shot("01-setup-done")
        self.press("Start Using Tessela", window)
        self.shown("Locked Items", window)
        secrets = dbus.Interface(self.bus.get_object("org.freedesktop.secrets",
                                                     "/org/freedesktop/secrets"),
                                 "org.freedesktop.Secret.Service")
        unlocked, locked = secrets.SearchItems(
            {"xdg:schema": "com.lanternworks.tessela.Password"})
        self.assertEqual(len(unlocked) + len(locked), 1)
        # Setup turned "Open Tessela at login" on: the installed entry, with the program in it.
        entry = pathlib.Path(os.environ["XDG_CONFIG_HOME"]) / "autostart/tessela.desktop"
        installed = PROGRAMS.parent / "share/tessela/autostart/tessela.desktop"
        lines = entry.read_text().splitlines()
        self.assertEqual([line for line in lines if not line.startswith("Exec=")],
                         [line for line in installed.read_text().splitlines()
                          if not line.startswith("Exec=")])
        self.assertIn(lines[[line.startswith("Exec=") for line in lines].index(True)],
                      (f'Exec="{TESSELA}"', 'Exec="/usr/bin/tessela"'))

        # 2. "Lock Files…": the file dialog, through its accessibility tree.
        self.press("Lock Files\u2026", window)
        chooser = self.chooser()
        self.choose_samples(chooser)
        self.shot("02-choosing")
        self.press("Lock", chooser)
        self.until(lambda: (HOME / "Samples.tessvault").is_dir() and not SAMPLES.exists(),
                   "the folder to be locked", 120)
        self.shown("Samples", window)
        self.shot("02-locked")

        # 3. The file-manager menu's helper unlocks it: the row says so.
        self.unlock_with_helper()
        self.shown("Unlocked", window)
        self.shot("03-unlocked")

        # 4. A file held open: "Lock All" names the program; "Force Lock" locks it anyway.
        mount = pathlib.Path(mounts_under(HOME)[0])
        holder = subprocess.Popen(["sh", "-c", 'exec 3<"$1"; exec sleep 120', "holder",
                                   str(mount / "notes.txt")])
        try:
            time.sleep(0.5)
            menu, entries = wait_for(lambda: (lambda found: found if "Lock All" in found[1]
                                              else None)(self.tray_entries()), "the tray menu")
            menu.Event(entries["Lock All"], "clicked", dbus.Int32(0), dbus.UInt32(0))
            alert = self.dialog("Samples is still in use")
            self.assertTrue(any("sleep" in label.name for label in alert.findChildren(
                lambda n: n.roleName == "label")))
            self.shot("04-in-use")
            self.press("Force Lock", alert)
            wait_for(lambda: not mounts_under(HOME), "the item to lock", 60)
        finally:
            holder.kill()
            holder.wait()
        self.shot("04-forced")

        # 5. Unlocked again, then the screen locks: locked at once.
        self.unlock_with_helper()
        self.shown("Unlocked", window)
        screen = dbus.Interface(self.bus.get_object("org.gnome.ScreenSaver",
                                                    "/org/gnome/ScreenSaver"),
                                "org.gnome.ScreenSaver")
        screen.SetActive(True)
        locking = time.monotonic()
        wait_for(lambda: not mounts_under(HOME), "the item to lock when the screen locks")
        print(f"locked {time.monotonic() - locking:.2f} s after the screen locked", flush=True)
        screen.SetActive(False)
        self.shot("05-screen-locked")

        # 6. "Remove Lock…" from the row's menu: the content is back, byte for byte.
        self.press("More actions for Samples", window)
        # Qt keeps its pop-up menus out of the accessibility tree (a screen reader follows
        # them by their focus events): the menu is used with the keyboard, as it opened.
        time.sleep(0.5)
        self.shot("06-row-menu")
        for key in ("Down", "Down", "Return"):  # "Show in File Manager", "Remove Lock…"
            rawinput.pressKey(key)
        alert = self.dialog("Remove the lock from Samples?")
        self.press("Remove Lock", alert)
        self.type_password("remove the lock from Samples")
        wait_for(lambda: SAMPLES.is_dir() and not (HOME / "Samples.tessvault").exists(),
                 "the lock to be removed", 120)
        self.assertEqual(digest(SAMPLES), self.original)
        self.shot("06-removed")

        # 7. Quit from the tray menu with an item open: it is locked before the end.
        self.press("Lock Files\u2026", window)
        chooser = self.chooser()
        self.choose_samples(chooser)
        self.press("Lock", chooser)
        self.until(lambda: (HOME / "Samples.tessvault").is_dir(), "the folder to be locked", 120)
        self.unlock_with_helper()
        menu, entries = wait_for(lambda: (lambda found: found if "Lock Samples" in found[1]
                                          else None)(self.tray_entries()), "the tray menu")
        self.shot("07-before-quit")
        menu.Event(entries["Quit Tessela"], "clicked", dbus.Int32(0), dbus.UInt32(0))
        self.assertEqual(self.application.wait(60), 0)
        self.assertFalse(mounts_under(HOME))
        self.assertTrue((HOME / "Samples.tessvault").is_dir())
        self.shot("07-quit")


def window_origin(frame):
    """Where `frame`'s content begins on the screen. GTK gives the accessibility tree positions
    within the window; the window itself is found by its title, and its shadow's margins (part of
    the X window, not of the frame) are even on both sides."""
    found = run("xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(frame.name)}$")
    for window in found.stdout.split():
        geometry = dict(line.split("=", 1) for line in
                        run("xdotool", "getwindowgeometry", "--shell", window).stdout.split())
        width, height = frame.size
        if int(geometry["WIDTH"]) >= width and int(geometry["HEIGHT"]) >= height:
            return (int(geometry["X"]) + (int(geometry["WIDTH"]) - width) // 2,
                    int(geometry["Y"]) + (int(geometry["HEIGHT"]) - height) // 2)
    raise AssertionError(f"no X window titled {frame.name!r}")


class InGnomeFiles(WithGnomeFiles, Steps):
    """8. The real GNOME Files, with the module of this build and the application running."""
    failure_shot = "08-failed"

    def setUp(self):
        for old in SHOTS.glob("08-*.png"):
            old.unlink()
        PHOTOS.mkdir()
        (PHOTOS / "notes.txt").write_text("Grüße aus Köln\n")
        (PHOTOS / "beach.raw").write_bytes(os.urandom(200_000))
        self.start_with_files([[TESSELA, "setup", "--password-stdin"],
                               [TESSELA, "file-manager-menu", "on"]], PHOTOS, str(PHOTOS))

    def right_click(self, name):
        """Right-clicks the item `name` in the window, as a person does with the mouse; the
        context menu that opens and its entries' titles."""
        cell = wait_for(lambda: next((cell for cell in self.window.findChildren(
            lambda n: n.roleName == "table cell" and n.name == name) if sized(cell)), None),
            f"{name} in GNOME Files' window")
        # A click that comes while GNOME Files is still busy (a loaded machine) can go by.
        for _ in range(5):
            left, top = window_origin(self.window)
            x, y = cell.position
            width, height = cell.size
            print(f"right-click {name}: window at {left},{top}, item at {x},{y} {width}x{height}",
                  flush=True)
            rawinput.click(left + x + width // 2, top + y + height // 2, button=3)
            try:
                menu = wait_for(lambda: context_menu(self.window), "the context menu", 6)
                return menu, [entry.name for entry in entries_of(menu)]
            except AssertionError:
                rawinput.pressKey("Escape")
        raise AssertionError(f"no context menu opened on {name}")

    def test_a_file_is_locked_and_unlocked_from_its_context_menu(self):
        wait_for(lambda: len(self.window.findChildren(
            lambda n: n.roleName == "table cell" and n.name == "notes.txt")) > 0,
            "the folder's listing")
        menu, entries = self.right_click("notes.txt")
        shot("08-context-menu")
        self.assertIn("Lock with Tessela", entries)
        choose(menu, "Lock with Tessela")
        locked = PHOTOS / "notes.tessvault"
        wait_for(lambda: locked.is_dir() and not (PHOTOS / "notes.txt").exists(),
                 "notes.txt to be locked", 60)
        shot("08-locked")

        menu, entries = self.right_click(locked.name)
        shot("08-locked-context-menu")
        self.assertIn("Unlock with Tessela", entries)
        self.assertNotIn("Lock with Tessela", entries)
        choose(menu, "Unlock with Tessela")
        wait_for(lambda: any(field.focused for application in tree.root.applications()
                             if application.name == "Tessela"
                             for field in application.findChildren(
                                 lambda n: n.roleName == "password text")),
                 "the password prompt, with the focus in its field")
        rawinput.typeText(PASSWORD)
        rawinput.pressKey("Return")
        mount = pathlib.Path(wait_for(lambda: mounts_under(HOME), "notes to be unlocked")[0])
        self.assertEqual((mount / "notes.txt").read_text(), "Grüße aus Köln\n")
        shot("08-unlocked")


if __name__ == "__main__":
    unittest.main(verbosity=2)
