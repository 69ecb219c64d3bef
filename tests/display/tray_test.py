#!/usr/bin/python3
"""The tray icon as a panel sees it, on a real X display: a StatusNotifierWatcher double on the
session bus stands in for the panel's tray host, the application registers its icon with it,
and the test reads the icon and its menu over D-Bus (com.canonical.dbusmenu) and clicks the
menu's entries there, as a panel does. Run inside tests/display/session; the program folder is
the first argument."""
import os
import subprocess
import time
import unittest

import dbus
import dogtail.config

dogtail.config.config.checkForA11y = False
dogtail.config.config.logDebugToFile = False
dogtail.config.config.logDebugToStdOut = False
from dogtail import rawinput, tree  # noqa: E402  (after the configuration above)

from desktop import DOCS, HOME, PASSWORD, TESSELA, entry_url, mounts_under, run, wait_for  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
# A name with the characters a menu could take for keyboard letters.
NAME = "Taxes & Co_2025"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


class TrayIcon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        DOCS.mkdir(parents=True, exist_ok=True)
        setup = run(TESSELA, "setup", "--password-stdin", stdin=PASSWORD + "\n")
        assert setup.returncode == 0, setup.stdout + setup.stderr
        (DOCS / NAME).mkdir()
        (DOCS / NAME / "2025.txt").write_text("taxes")
        locked = run(TESSELA, "lock", str(DOCS / NAME))
        assert locked.returncode == 0, locked.stdout + locked.stderr
        # The panel's tray host, as far as an application sees it.
        cls.watcher = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", WATCHER,
                                        "/StatusNotifierWatcher", WATCHER])
        cls.bus = dbus.SessionBus()
        wait_for(lambda: cls.bus.name_has_owner(WATCHER), "the tray host double")
        mock = dbus.Interface(cls.bus.get_object(WATCHER, "/StatusNotifierWatcher"),
                              "org.freedesktop.DBus.Mock")
        mock.AddMethod(WATCHER, "RegisterStatusNotifierItem", "s", "", "")
        mock.AddMethod(WATCHER, "RegisterStatusNotifierHost", "s", "", "")
        mock.AddProperties(WATCHER, {
            "IsStatusNotifierHostRegistered": True,
            "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array([], signature="s")})
        cls.mock = mock
        # No fingerprint reader here: the password is typed.
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        cls.application = subprocess.Popen([TESSELA], env=environment)
        service = wait_for(cls.registered_item, "the application to register its tray icon")
        cls.item = cls.bus.get_object(service, "/StatusNotifierItem")
        cls.app = wait_for(lambda: next((a for a in tree.root.applications()
                                         if a.name in ("Tessela", "tessela")), None),
                           "the application in the accessibility tree")

    @classmethod
    def registered_item(cls):
        for _, arguments in cls.mock.GetMethodCalls("RegisterStatusNotifierItem"):
            return str(arguments[0])
        return None

    @classmethod
    def tearDownClass(cls):
        if cls.application.poll() is None:
            cls.application.terminate()
            cls.application.wait(30)
        cls.watcher.terminate()
        cls.watcher.wait(10)

    def item_property(self, name):
        return self.item.Get(ITEM, name, dbus_interface="org.freedesktop.DBus.Properties")

    def icon(self):
        """What the panel draws: the icon's name, or its pixels."""
        name = str(self.item_property("IconName"))
        pixels = [bytes(p[2]) for p in self.item_property("IconPixmap")]
        return name, tuple(pixels)

    def menu(self):
        path = self.item_property("Menu")
        return dbus.Interface(self.bus.get_object(self.item.bus_name, path), MENU)

    def entries(self):
        """The menu's entries as the panel shows them: (id, label, enabled); "--" for a line."""
        _, (_, _, children) = self.menu().GetLayout(0, -1, dbus.Array([], signature="s"))
        shown = []
        for child in children:
            entry_id, properties, _ = child
            if not properties.get("visible", True):
                continue
            if properties.get("type") == "separator":
                shown.append((int(entry_id), "--", True))
            else:
                shown.append((int(entry_id), str(properties.get("label", "")),
                              bool(properties.get("enabled", True))))
        return shown

    @staticmethod
    def as_drawn(label):
        """A label as a panel draws it: "_x" marks a keyboard letter, "__" is an underscore."""
        drawn, escaped = [], False
        for character in label:
            if character == "_" and not escaped:
                escaped = True
                continue
            drawn.append(character)
            escaped = False
        return "".join(drawn)

    def labels(self):
        return [self.as_drawn(label) if enabled else f"({self.as_drawn(label)})"
                for _, label, enabled in self.entries()]

    def click(self, label):
        entry_id = next(i for i, shown, _ in self.entries() if self.as_drawn(shown) == label)
        self.menu().Event(entry_id, "clicked", dbus.Int32(0), dbus.UInt32(0))

    def window_showing(self):
        return any(w.roleName == "frame" and w.name == "Tessela" and w.showing
                   for w in self.app.children)

    def prompt_field(self):
        """The password prompt's field, once it shows and has the keyboard."""
        return self.app.findChild(
            lambda n: n.roleName == "password text" and n.focused and n.showing and any(
                f"Tessela needs your password to unlock {NAME}." in label.name
                for label in n.parent.findChildren(lambda m: m.roleName == "label")),
            retry=False, requireResult=False)

    def what_shows(self):
        return [f"{n.roleName}: {n.name}" for n in self.app.findChildren(
            lambda n: n.showing and n.roleName in ("label", "alert", "dialog", "push button"))]

    def unlock_through_prompt(self):
        """Types the password into the prompt once its field has the keyboard, and waits for
        the item to open. Keys typed while the window manager moves the focus can go by on a
        loaded machine: then the prompt is still there, and it is typed once more."""
        for _ in range(2):
            wait_for(self.prompt_field, "the password prompt's field to have the focus")
            rawinput.keyCombo("<Control>a")
            rawinput.pressKey("BackSpace")
            rawinput.typeText(PASSWORD)
            rawinput.pressKey("Return")
            try:
                wait_for(lambda: mounts_under(HOME), "the item to open", 15)
                return
            except AssertionError:
                if self.prompt_field() is None:
                    break
        raise AssertionError(f"the item did not open; showing: {self.what_shows()}")

    def test_the_tray_shows_what_is_open_and_its_menu_locks_opens_the_window_and_quits(self):
        # A tray host is there: nothing but the icon at start.
        self.assertEqual(self.labels(), ["(Everything is locked)", "--", "Open Tessela",
                                         "Quit Tessela"])
        time.sleep(1)
        self.assertFalse(self.window_showing())
        closed = self.icon()
        self.assertTrue(closed[0] or closed[1], "the tray icon has no picture")

        # An item opens: the open padlock, and the menu offers to lock it.
        subprocess.run([os.path.join(os.path.dirname(TESSELA), "tessela-finder"), "open",
                        entry_url(DOCS / f"{NAME}.tessvault", "Unlock with Tessela")],
                       check=True, timeout=60)
        self.unlock_through_prompt()
        wait_for(lambda: f"Lock {NAME}" in self.labels(), "the menu to offer the item")
        self.assertEqual(self.labels(), ["(Unlocked)", f"Lock {NAME}", "--", "Lock All", "--",
                                         "Open Tessela", "Quit Tessela"])
        wait_for(lambda: self.icon() != closed, "the open padlock")

        # "Lock {name}" locks it: the closed padlock again.
        self.click(f"Lock {NAME}")
        wait_for(lambda: not mounts_under(HOME), "the item to lock")
        wait_for(lambda: self.icon() == closed, "the closed padlock")
        self.assertEqual(self.labels()[0], "(Everything is locked)")

        # "Open Tessela" opens the window.
        self.click("Open Tessela")
        wait_for(self.window_showing, "the main window")

        # Quit with an item open: it is locked before the application ends.
        subprocess.run([os.path.join(os.path.dirname(TESSELA), "tessela-finder"), "open",
                        entry_url(DOCS / f"{NAME}.tessvault", "Unlock with Tessela")],
                       check=True, timeout=60)
        self.unlock_through_prompt()
        # Once the unlock has ended (while it runs, quitting asks first).
        wait_for(lambda: f"Lock {NAME}" in self.labels(), "the menu to offer the item")
        self.click("Quit Tessela")
        self.assertEqual(self.application.wait(60), 0)
        self.assertFalse(mounts_under(HOME))
        self.assertEqual(run(TESSELA, "status").returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
