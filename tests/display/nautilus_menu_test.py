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
"""
import os
import pathlib
import sys
import time
import unittest

from desktop import DOCS, HOME, PASSWORD, TESSELA, mounts_under, wait_for
from files import why_it_cannot_run

ITEM = DOCS / "Taxes.tessvault"
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

from files_menu import WithGnomeFiles, choose, close, context_menu, entries_of, has  # noqa: E402


class ContextMenuFollowsTheUnlock(WithGnomeFiles, unittest.TestCase):
    def setUp(self):
        (DOCS / "Taxes").mkdir(parents=True)
        (DOCS / "Taxes/2025.txt").write_text("taxes")
        self.start_with_files([[TESSELA, "setup", "--password-stdin"],
                               [TESSELA, "lock", str(DOCS / "Taxes")],
                               [TESSELA, "file-manager-menu", "on"]], DOCS, "--select", str(ITEM))

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
                menu = wait_for(lambda: context_menu(self.window), "the context menu", 6)
                break
            except AssertionError:
                pass
        if menu is None:
            raise AssertionError("the context menu never opened")
        return menu, [entry.name for entry in entries_of(menu)]

    def menu_once_it_shows(self, title, seconds=15):
        """The context menu and its entries' titles, opened again on the same selection until it
        offers `title`: the module hears of a change a moment after the application publishes
        it. A menu that was not rebuilt stays as it was however often it is opened."""
        deadline = time.monotonic() + seconds
        while True:
            menu, entries = self.open_menu()
            if title in entries or time.monotonic() > deadline:
                return menu, entries
            close(menu)
            time.sleep(0.5)

    def test_the_menu_offers_lock_now_after_an_unlock_on_the_same_selection(self):
        menu, entries = self.open_menu()
        self.assertIn("Unlock with Tessela", entries)
        choose(menu, "Unlock with Tessela")
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
        choose(menu, "Lock Now")
        wait_for(lambda: not mounts_under(HOME), "Taxes to be locked again")
        self.assertTrue(ITEM.is_dir())
        self.assertFalse((DOCS / "Taxes").exists())
        notices = pathlib.Path(os.environ["TESSELA_NOTIFICATIONS_LOG"]).read_text()
        self.assertNotIn("no longer applies", notices)

        # And back: the locked item is offered to be unlocked again.
        menu, entries = self.menu_once_it_shows("Unlock with Tessela")
        self.assertIn("Unlock with Tessela", entries)
        close(menu)


if __name__ == "__main__":
    unittest.main(verbosity=2)
