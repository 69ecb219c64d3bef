#!/usr/bin/python3
"""The man page says what the program says: every command and option `tessela --help` lists,
every exit status the README's table gives, the environment variable the help names; and it
renders without a warning. Arguments: the tessela program, the man page, the README."""
import re
import subprocess
import sys
import unittest

PROGRAM, PAGE, README = sys.argv[1:4]
del sys.argv[1:4]


def roff_text(page):
    """The page as words: roff's escaped minus signs as plain ones, font changes dropped."""
    text = page.replace("\\-", "-").replace("\\(dq", '"')
    return re.sub(r"\\f[BIRP]", "", text)


class ManPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.help = subprocess.run([PROGRAM, "--help"], capture_output=True, text=True,
                                  check=True).stdout
        with open(PAGE, encoding="utf-8") as page:
            cls.page = page.read()
        cls.text = roff_text(cls.page)

    def section(self, name):
        match = re.search(rf"^\.SH {name}\n(.*?)(?=^\.SH |\Z)", self.text, re.M | re.S)
        self.assertIsNotNone(match, f"no section {name}")
        return match.group(1)

    def test_every_command_of_the_help_is_in_the_synopsis_and_described(self):
        commands = re.findall(r"^  tessela ([a-z-]+)", self.help, re.M)
        self.assertGreaterEqual(len(commands), 10, self.help)
        synopsis, described = self.section("SYNOPSIS"), self.section("COMMANDS")
        for command in commands:
            self.assertRegex(synopsis, re.compile(rf"tessela {command}\b|^\.B {command}\b", re.M),
                             f"{command} is not in the synopsis")
            self.assertRegex(described, re.compile(rf"^\.B[IR]? {command}\b", re.M),
                             f"{command} is not described")

    def test_every_option_of_the_help_is_described(self):
        options = re.findall(r"^  (--[a-z-]+)", self.help, re.M)
        self.assertIn("--password-stdin", options)
        described = self.section("OPTIONS")
        for option in options:
            self.assertRegex(described, re.compile(rf"^\.B {re.escape(option)}$", re.M),
                             f"{option} is not described")

    def test_every_exit_status_of_the_readme_and_the_environment_are_there(self):
        with open(README, encoding="utf-8") as readme:
            statuses = re.findall(r"^\| (\d+) \|", readme.read(), re.M)
        self.assertEqual(statuses, ["0", "1", "2", "3", "130"])
        described = self.section("EXIT STATUS")
        for status in statuses:
            self.assertRegex(described, re.compile(rf"^\.B {status}$", re.M))
        for variable in re.findall(r"\b(TESSELA_[A-Z_]+)\b", self.help):
            self.assertIn(f".B {variable}", self.section("ENVIRONMENT"))

    def test_it_renders_without_a_warning(self):
        rendered = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", PAGE],
                                  capture_output=True, text=True)
        self.assertEqual((rendered.returncode, rendered.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main(verbosity=2)
