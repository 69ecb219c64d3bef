"""What the display tests share: the programs under test, the scratch home the session gives,
and small waits. Free of the accessibility libraries, which end a process with no
accessibility bus: a test that must first say why it cannot run imports them afterwards."""
import os
import pathlib
import subprocess
import sys
import time

# The program folder (or the build folder above it) is the test's first argument.
PROGRAMS = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else "build/release/bin").resolve()
if (PROGRAMS / "bin/tessela").is_file():
    PROGRAMS = PROGRAMS / "bin"
TESSELA = str(PROGRAMS / "tessela")
FINDER = str(PROGRAMS / "tessela-finder")
PASSWORD = "display password 1"
HOME = pathlib.Path(os.environ["HOME"])
DOCS = HOME / "Docs"


def run(*arguments, stdin=None):
    return subprocess.run(arguments, input=stdin, capture_output=True, text=True, timeout=120)


def wait_for(condition, what, seconds=30):
    """What `condition` gives once it is true; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(0.2)
    raise AssertionError(f"gave up waiting for {what}")


def mounts_under(folder):
    """The gocryptfs mount points under `folder`."""
    found = []
    with open("/proc/self/mountinfo", encoding="utf-8") as info:
        for line in info:
            mine, _, theirs = line.partition(" - ")
            if theirs.split()[0] == "fuse.gocryptfs" and mine.split()[4].startswith(f"{folder}/"):
                found.append(mine.split()[4])
    return found


def entry_url(path, title, seconds=30):
    """The command URL of the file-manager menu's entry `title` for `path`, once the menu offers
    it: the menu follows what the application publishes, a moment after an item opens or locks."""
    def offered():
        for line in run(FINDER, "entries", str(path)).stdout.splitlines():
            shown, _, url = line.partition("\t")
            if shown == title:
                return url
        return None
    return wait_for(offered, f"the entry {title!r} for {path}", seconds)


def stop(process, seconds):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
