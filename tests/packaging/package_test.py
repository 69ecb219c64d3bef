#!/usr/bin/python3
"""The Debian package as a user gets it: packed from the build by CPack, clean for lintian, its
AppStream description and desktop file valid, every part where the desktop looks for it, and
the programs running from a scratch root it is unpacked into (removed afterwards: the machine
itself is never changed). Argument: the build folder."""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = pathlib.Path(sys.argv.pop(1))

EXPECTED = [
    "usr/bin/tessela",
    "usr/bin/tessela-finder",
    "usr/lib/x86_64-linux-gnu/nautilus/extensions-4/libtessela-nautilus.so",
    "usr/share/tessela/tessela-service-menu.desktop",
    "usr/share/tessela/tessela.nemo_action",
    "usr/share/applications/tessela.desktop",
    "usr/share/tessela/autostart/tessela.desktop",
    "usr/share/icons/hicolor/scalable/apps/tessela.svg",
    "usr/share/icons/hicolor/16x16/apps/tessela.png",
    "usr/share/icons/hicolor/256x256/apps/tessela.png",
    "usr/share/icons/hicolor/48x48/apps/tessela-locked.png",
    "usr/share/icons/hicolor/scalable/status/tessela-tray-locked.svg",
    "usr/share/metainfo/com.lanternworks.tessela.metainfo.xml",
    "usr/share/man/man1/tessela.1.gz",
    "usr/share/man/man1/tessela-finder.1.gz",
    "usr/share/bash-completion/completions/tessela",
    "usr/share/doc/tessela/copyright",
    "usr/share/doc/tessela/changelog.gz",
]


def run(*arguments, **options):
    return subprocess.run(arguments, capture_output=True, text=True, timeout=600, **options)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = pathlib.Path(tempfile.mkdtemp(prefix="tessela-package-"))
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        packed = run("cpack", "-G", "DEB", "-B", str(cls.scratch / "out"), cwd=BUILD)
        assert packed.returncode == 0, packed.stdout + packed.stderr
        cls.deb = next((cls.scratch / "out").glob("tessela_*.deb"))
        cls.root = cls.scratch / "root"
        unpacked = run("dpkg-deb", "-x", str(cls.deb), str(cls.root))
        assert unpacked.returncode == 0, unpacked.stderr

    def test_lintian_appstream_and_the_desktop_file_pass(self):
        linted = run("lintian", "--fail-on", "error", "--tag-display-limit", "0", str(self.deb))
        self.assertEqual(linted.returncode, 0, linted.stdout + linted.stderr)
        self.assertNotIn("E: ", linted.stdout)
        metainfo = self.root / "usr/share/metainfo/com.lanternworks.tessela.metainfo.xml"
        validated = run("appstreamcli", "validate", "--no-net", str(metainfo))
        self.assertEqual(validated.returncode, 0, validated.stdout + validated.stderr)
        for entry in ("applications/tessela.desktop", "tessela/autostart/tessela.desktop"):
            desktop = run("desktop-file-validate", str(self.root / "usr/share" / entry))
            self.assertEqual(desktop.returncode, 0, desktop.stdout + desktop.stderr)
        self.assertIn("Exec=/usr/bin/tessela\n",
                      (self.root / "usr/share/tessela/autostart/tessela.desktop").read_text())

    def test_the_control_file_names_the_tools_and_the_libraries(self):
        control = run("dpkg-deb", "-f", str(self.deb)).stdout
        depends = next(line for line in control.splitlines() if line.startswith("Depends:"))
        for needed in ("gocryptfs", "fuse3", "lsof", "libqt6widgets6", "libsecret-1-0"):
            self.assertIn(needed, depends)
        self.assertIn("Recommends: gnome-keyring", control)
        self.assertIn("fprintd", control)

    def test_every_part_is_where_the_desktop_looks_and_the_programs_run_from_it(self):
        for part in EXPECTED:
            self.assertTrue((self.root / part).is_file(), part)
        version = run(str(self.root / "usr/bin/tessela"), "--version")
        self.assertEqual(version.returncode, 0, version.stderr)
        self.assertIn("0.1.0", version.stdout)
        # The helper finds the installation's files relative to itself, as in /usr.
        entries = run(str(self.root / "usr/bin/tessela-finder"), "entries", "/nonexistent")
        self.assertNotEqual(entries.returncode, 2, entries.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
