"""GNOME Files' context menus through the accessibility tree and the keyboard (GTK's menus)."""
import pyatspi
from dogtail import rawinput, tree

from desktop import wait_for


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


def context_menu(window):
    """The context menu that is up in `window`, or None."""
    for menu in window.findChildren(lambda n: n.roleName == "menu"):
        if entries_of(menu):
            return menu
    return None


def close(menu, key="Escape"):
    rawinput.pressKey(key)
    wait_for(lambda: not entries_of(menu), "the context menu to close")


def choose(menu, title):
    """Moves through `menu` with the arrow keys to `title` and presses Return. GTK's menu now and
    then lets a press go by without moving, so a press is only hoped to move the focus; what the
    choice does is checked afterwards."""
    def focused():
        return next((entry.name for entry in entries_of(menu)
                     if has(entry, pyatspi.STATE_FOCUSED)), None)
    for _ in range(3 * len(entries_of(menu))):
        now = focused()
        if now == title:
            close(menu, "Return")
            return
        rawinput.pressKey("Down")
        try:
            wait_for(lambda: focused() != now, "the focus to move", 2)
        except AssertionError:
            pass  # the press went by: the next one moves it
    raise AssertionError(f"the arrow keys never reached {title!r}")


def tessela_window():
    """Tessela's window, once it shows. Started where no panel hosts tray icons, Tessela opens
    its window at start: GNOME Files is started after it, or Tessela's window, opening late, would
    lie over GNOME Files' and take its keys and clicks."""
    def shown():
        for application in tree.root.applications():
            if application.name in ("Tessela", "tessela"):
                for frame in application.findChildren(lambda n: n.roleName == "frame",
                                                      recursive=False):
                    if frame.name == "Tessela" and frame.showing:
                        return frame
        return None
    return wait_for(shown, "Tessela's window")
