"""GNOME Files with the module of this build, for the display tests.

GNOME Files loads modules only from the system's extension folder. The module is put there for
one GNOME Files alone: in a user namespace where the user is root, a private mount namespace
covers the folder with a scratch folder holding a link to the module; a nested user namespace
then makes the user itself again, since the D-Bus daemons (the accessibility bus among them)
refuse a client that claims to be root while the kernel says it is the user. Nothing outside
that process changes. The module finds the helper by resolving its own path, so through the
link it finds the build's tessela-finder.

Free of the accessibility libraries, as desktop.py is; the menus are in files_menu.py."""
import os
import pathlib
import shutil
import subprocess
import tempfile

from desktop import HOME, PROGRAMS, run

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


def start_files(modules, *arguments):
    """GNOME Files (`arguments` on its command line) with the module turned on in the data folder
    (the build's own, as `tessela file-manager-menu on` links it) as its only extension."""
    module = ENABLING_LINK.resolve(strict=True)
    (modules / module.name).symlink_to(module)
    return subprocess.Popen(with_module(modules, "nautilus", *arguments))
