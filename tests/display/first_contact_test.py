#!/usr/bin/python3
"""What a person meets first, on a real X display with a window manager, through the
accessibility tree and the keyboard as a person uses them: where the focus is when a prompt
opens, what Return and Escape do there, and that the progress panel's Cancel is reached from
the keyboard. Run inside tests/display/session; the program folder is the first argument.
"""
import os
import pathlib
import subprocess
import time
import unittest

import dogtail.config

dogtail.config.config.checkForA11y = False
dogtail.config.config.logDebugToFile = False
dogtail.config.config.logDebugToStdOut = False
dogtail.config.config.searchCutoffCount = 5
dogtail.config.config.defaultDelay = 0.2
from dogtail import rawinput, tree  # noqa: E402  (after the configuration above)

from desktop import (DOCS, FINDER, HOME, PASSWORD, TESSELA, entry_url, mounts_under,  # noqa: E402
                     run, wait_for)

class FirstContact(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        DOCS.mkdir(parents=True, exist_ok=True)
        setup = run(TESSELA, "setup", "--password-stdin", stdin=PASSWORD + "\n")
        assert setup.returncode == 0, setup.stdout + setup.stderr
        (DOCS / "Taxes").mkdir()
        (DOCS / "Taxes/2025.txt").write_text("taxes")
        locked = run(TESSELA, "lock", str(DOCS / "Taxes"))
        assert locked.returncode == 0, locked.stdout + locked.stderr
        # No fingerprint reader here: the password is typed.
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        cls.application = subprocess.Popen([TESSELA], env=environment)
        socket = pathlib.Path(os.environ["XDG_RUNTIME_DIR"]) / "tessela/command.sock"
        wait_for(socket.exists, "the application's socket")
        cls.app = wait_for(lambda: next((a for a in tree.root.applications()
                                         if a.name in ("Tessela", "tessela")), None),
                           "the application in the accessibility tree")

    @classmethod
    def tearDownClass(cls):
        cls.application.terminate()
        cls.application.wait(30)

    def window(self, text, seconds=30):
        """The dialog showing `text` as one of its labels, once it is up."""
        def showing():
            for dialog in self.app.findChildren(lambda n: n.roleName in ("dialog", "alert")):
                labels = dialog.findChildren(lambda n: n.roleName == "label", showingOnly=True)
                if any(text in label.name for label in labels):
                    return dialog
            return None
        return wait_for(showing, f"a window saying {text!r}", seconds)

    def focused(self, window, seconds=10):
        """The control of `window` that has the keyboard focus (the innermost one), once one
        has it: the accessibility tree hears of the focus a moment after the window shows."""
        def control():
            found = window.findChildren(lambda n: n.focused and n.roleName != "filler")
            return found[-1] if found else None
        return wait_for(control, "a control of the window to have the focus", seconds)

    def focus_reaches(self, window, name):
        wait_for(lambda: (self.focused(window).name == name), f"the focus to reach {name}", 10)

    def choose_entry(self, path, title):
        """Chooses the file-manager menu's entry `title` for `path`, as the helper does."""
        subprocess.run([FINDER, "open", entry_url(path, title)], check=True, timeout=60)

    def alert_defaulting_to(self, text, button):
        """The alert saying `text`, once it is up with the focus on `button`."""
        alert = self.window(text)
        focus = self.focused(alert)
        self.assertEqual((focus.roleName, focus.name), ("push button", button))
        return alert

    def gone(self, window):
        wait_for(lambda: window.dead or not window.showing, "the window to close")

    def main_window(self):
        return wait_for(lambda: next((w for w in self.app.children
                                      if w.roleName in ("frame", "window") and w.name == "Tessela"
                                      and w.showing), None), "the main window")

    def test_0_without_a_tray_the_window_opens_and_the_keyboard_works_its_rows(self):
        window = self.main_window()

        def shown():
            return [n.name for n in window.findChildren(lambda n: n.roleName == "label",
                                                        showingOnly=True)]
        wait_for(lambda: "1 locked" in shown(), "the list to be read")
        self.assertIn("Locked Items", shown())
        self.assertTrue(any("shows no tray icons" in text for text in shown()), shown())
        for name in ("Lock Files…", "Unlock Taxes", "Remove Lock from Taxes",
                     "More actions for Taxes"):
            self.assertTrue(window.findChild(lambda n: n.name == name and n.showing,
                                             retry=False, requireResult=False), name)
        # Tab reaches the row's Unlock; Return presses it, as Space does.
        for _ in range(12):
            focus = self.focused(window)
            if focus.name == "Unlock Taxes":
                break
            rawinput.pressKey("Tab")
            time.sleep(0.2)
        self.focus_reaches(window, "Unlock Taxes")
        rawinput.pressKey("Return")
        self.window("Tessela needs your password to unlock Taxes.")
        rawinput.typeText(PASSWORD)
        rawinput.pressKey("Return")
        wait_for(lambda: mounts_under(HOME), "the item to open")
        wait_for(lambda: window.findChild(lambda n: n.name == "1 unlocked" or
                                          n.name.endswith("· 1 unlocked"),
                                          retry=False, requireResult=False), "the summary")
        lock = wait_for(lambda: window.findChild(lambda n: n.name == "Lock Taxes" and n.showing,
                                                 retry=False, requireResult=False),
                        "the row's Lock")
        lock.doActionNamed("Press")
        wait_for(lambda: not mounts_under(HOME), "the item to lock")
        # Closed, it stays running; started again, it comes back.
        window.grabFocus()
        rawinput.keyCombo("<Control>w")
        wait_for(lambda: not window.showing, "the window to close")
        self.assertIsNone(self.application.poll())
        started = run(TESSELA)
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.main_window()

    def test_1_password_prompt_takes_the_typed_password_and_an_empty_one_is_no_try(self):
        self.choose_entry(DOCS / "Taxes.tessvault", "Unlock with Tessela")
        prompt = self.window("Tessela needs your password to unlock Taxes.")
        field = self.focused(prompt)
        self.assertIsNotNone(field, "nothing in the prompt has the focus")
        self.assertEqual(field.roleName, "password text")
        rawinput.pressKey("Return")  # nothing typed yet: asked again, not counted
        prompt = self.window("Tessela needs your password to unlock Taxes.")
        self.assertEqual(self.focused(prompt).roleName, "password text")
        # Return on "Cancel", reached with Tab, cancels: nothing opens.
        rawinput.pressKey("Tab")
        self.focus_reaches(prompt, "OK")
        rawinput.pressKey("Tab")
        self.focus_reaches(prompt, "Cancel")
        rawinput.pressKey("Return")
        self.gone(prompt)
        time.sleep(1)
        self.assertFalse(mounts_under(HOME))
        self.choose_entry(DOCS / "Taxes.tessvault", "Unlock with Tessela")
        self.window("Tessela needs your password to unlock Taxes.")
        rawinput.typeText(PASSWORD)
        rawinput.pressKey("Return")
        wait_for(lambda: mounts_under(HOME), "the item to open")

    def test_2_return_in_the_in_use_alert_tries_again_and_never_forces(self):
        mount = pathlib.Path(mounts_under(HOME)[0])
        held = open(mount / "2025.txt", encoding="utf-8")  # a program holding a file open
        try:
            self.choose_entry(DOCS / "Taxes.tessvault", "Lock Now")
            self.alert_defaulting_to("Taxes is still in use", "Try Again")
            rawinput.pressKey("Return")
            time.sleep(1)
            alert = self.window("Taxes is still in use")  # tried again: still in use
            self.assertEqual(held.read(), "taxes")  # never forced
            rawinput.pressKey("Escape")
            self.gone(alert)
            self.assertTrue(mounts_under(HOME))
        finally:
            held.close()
        self.choose_entry(DOCS / "Taxes.tessvault", "Lock Now")
        wait_for(lambda: not mounts_under(HOME), "the item to lock")

    def test_3_return_never_confirms_a_lock_another_program_asked_for(self):
        (DOCS / "Report.txt").write_text("report")
        url = entry_url(DOCS / "Report.txt", "Lock with Tessela")
        subprocess.run([TESSELA, url], check=True, timeout=60)  # an unidentified sender
        alert = self.alert_defaulting_to("Only lock it if you asked for this.", "Cancel")
        rawinput.pressKey("Return")
        self.gone(alert)
        time.sleep(1)
        self.assertEqual((DOCS / "Report.txt").read_text(), "report")
        self.assertFalse((DOCS / "Report.tessvault").exists())

    def test_3b_return_never_removes_a_lock(self):
        self.choose_entry(DOCS / "Taxes.tessvault", "Remove Lock\u2026")
        alert = self.alert_defaulting_to("Remove the lock from Taxes?", "Cancel")
        rawinput.pressKey("Return")
        self.gone(alert)
        time.sleep(1)
        self.assertTrue((DOCS / "Taxes.tessvault").exists())
        self.assertFalse((DOCS / "Taxes").exists())

    def test_4_the_progress_panels_cancel_is_reached_from_the_keyboard(self):
        large = DOCS / "Large.bin"
        with open(large, "wb") as file:
            file.truncate(16 << 30)  # holes: long to copy, no space taken
        self.choose_entry(large, "Lock with Tessela")
        panel = wait_for(lambda: self.app.findChild(
            lambda n: n.name == "Tessela progress" and n.showing, retry=False,
            requireResult=False), "the progress panel")
        cancel = panel.findChild(lambda n: n.roleName == "push button" and n.name == "Cancel")
        self.assertTrue(cancel.focusable)
        # The person clicks the panel to bring it to the front (it never takes the keys by
        # itself), then presses Space on the button that has the focus.
        message = panel.findChild(lambda n: n.roleName == "label" and n.name.startswith(
            ("Getting Large.bin", "Encrypting Large.bin")))
        x, y = message.position
        rawinput.click(x + 5, y + 5)
        wait_for(lambda: cancel.focused, "Cancel to have the focus")
        rawinput.pressKey("space")
        wait_for(lambda: panel.findChild(lambda n: n.name == "Cancelled. Nothing was changed.",
                                         retry=False, requireResult=False), "the last word")
        wait_for(lambda: not any(p.name.endswith(".partial.sparsebundle")
                                 for p in DOCS.iterdir()), "the partial container to go")
        self.assertEqual(large.stat().st_size, 16 << 30)
        self.assertFalse((DOCS / "Large.tessvault").exists())

    def test_5_return_never_quits_leaving_an_item_unlocked(self):
        self.choose_entry(DOCS / "Taxes.tessvault", "Unlock with Tessela")
        self.window("Tessela needs your password to unlock Taxes.")
        rawinput.typeText(PASSWORD)
        rawinput.pressKey("Return")
        wait_for(lambda: mounts_under(HOME), "the item to open")
        mount = pathlib.Path(mounts_under(HOME)[0])
        held = open(mount / "2025.txt", encoding="utf-8")  # a program holding a file open
        try:
            quitting = subprocess.Popen([TESSELA, "quit"], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
            in_use = self.alert_defaulting_to("Taxes is still in use", "Try Again")
            rawinput.pressKey("Escape")
            self.gone(in_use)
            alert = self.alert_defaulting_to(
                "They stay unlocked until you lock them or restart your computer.", "Cancel")
            rawinput.pressKey("Return")
            self.gone(alert)
            output, _ = quitting.communicate(timeout=60)
            self.assertEqual(quitting.returncode, 1, output)
            self.assertIsNone(self.application.poll())  # still running
            self.assertEqual(held.read(), "taxes")
        finally:
            held.close()
        self.choose_entry(DOCS / "Taxes.tessvault", "Lock Now")
        wait_for(lambda: not mounts_under(HOME), "the item to lock")


if __name__ == "__main__":
    unittest.main(verbosity=2)
