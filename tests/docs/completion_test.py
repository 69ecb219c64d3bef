#!/usr/bin/python3
"""The bash completion as a shell uses it: commands, each command's options, and locked items
(with the folders to reach them, names with blanks kept whole) for the commands that take one.
Argument: the completion script."""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.abspath(sys.argv.pop(1))


def complete(line, folder):
    """What the completion offers at the end of `line`, run in `folder`."""
    words = line.split(" ")
    program = f"""
source {SCRIPT!r}
COMP_WORDS=({' '.join(repr(word) for word in words)})
COMP_CWORD={len(words) - 1}
_tessela
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    result = subprocess.run(["bash", "--norc", "-c", program], cwd=folder, capture_output=True,
                            text=True, check=True)
    return [shown for shown in result.stdout.split("\n") if shown]


class Completion(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        for name in ("Taxes.tessvault", "Old letters.tessvault", "Photos", "Notes"):
            os.mkdir(os.path.join(self.folder.name, name))
        open(os.path.join(self.folder.name, "Report.pdf"), "w").close()

    def test_commands_options_and_paths(self):
        where = self.folder.name
        self.assertEqual(complete("tessela re", where), ["relock", "remove-lock", "recover"])
        self.assertEqual(complete("tessela --ver", where), ["--verbose", "--version"])
        self.assertEqual(complete("tessela relock --", where), ["--force", "--help"])
        self.assertEqual(complete("tessela --verbose unlock --p", where), ["--password-stdin"])
        self.assertEqual(complete("tessela file-manager-menu o", where), ["on", "off"])
        # Locked items first, then folders to look in; no ordinary file; a blank kept.
        offered = complete("tessela unlock ", where)
        self.assertEqual(sorted(offered[:2]), ["Old letters.tessvault", "Taxes.tessvault"])
        self.assertEqual(sorted(offered[2:]), ["Notes", "Photos"])
        self.assertEqual(complete("tessela remove-lock T", where), ["Taxes.tessvault"])
        # Anything can be locked.
        self.assertIn("Report.pdf", complete("tessela lock R", where))


if __name__ == "__main__":
    unittest.main(verbosity=2)
