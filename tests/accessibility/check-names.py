# Walks the accessibility tree of a running Quillmere over AT-SPI, as a screen reader
# would, and fails when a control is named after its widget type or a name is missing.
# Usage: check-names.py  (the program runs already, with the developer tools, the
# settings window and the picture-in-picture panel open)
import re
import sys
import time

import pyatspi

TYPE_NAME = re.compile(r"^(gtkmm__)?(Gtk|Gdk|WebKit|Gsk)[A-Z]\w*$")


def application(name, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == name:
                return app
        time.sleep(0.2)
    sys.exit(f"{name} never appeared on the accessibility bus")


def nodes(node):
    yield node
    for child in node:
        if child is not None:
            yield from nodes(child)


def snapshot(app):
    found = []
    for node in nodes(app):
        try:
            found.append((node.getRoleName(), node.name or "", node.getState().contains(pyatspi.STATE_SELECTED)))
        except Exception:
            pass
    return found


def wait_for(app, wanted, timeout=30):
    end = time.time() + timeout
    while True:
        tree = snapshot(app)
        names = {(role, name) for role, name, _ in tree}
        missing = [w for w in wanted if w not in names]
        if not missing or time.time() > end:
            return tree, missing
        time.sleep(0.3)


app = application("quillmere")
wanted = [
    ("page tab", "Accessible Probe"), ("push button", "Close Accessible Probe"), ("push button", "New Tab"),
    ("push button", "Back"), ("push button", "Forward"), ("push button", "Reload"),
    ("push button", "Developer Tools"), ("push button", "Picture in Picture"), ("text", "Address"),
    ("menu bar", "Menu"),
    ("push button", "Close Developer Tools"), ("push button", "Resend"), ("text", "Console"),
    ("text", "Page HTML"), ("push button", "Refresh HTML"),
    ("check box", "Enabled (110k+ rules from EasyList/EasyPrivacy/AdGuard)"), ("text", "Homepage"),
    ("page tab list", "Sections"),
]
tree, missing = wait_for(app, wanted)
if not any(role == "table row" and name.startswith("GET ") for role, name, _ in tree):
    tree, _ = wait_for(app, [("table row", "")], timeout=10)  # the page's request may still be on its way
failures = [f"missing {role} {name!r}" for role, name in missing]
failures += [f"{role} named after its type: {name!r}" for role, name, _ in tree if TYPE_NAME.match(name)]
if not any(role == "label" and re.fullmatch(r"\d+ blocked on this page", name) for role, name, _ in tree):
    failures.append("the badge has no name")
if not any(role == "table row" and name.startswith("GET ") for role, name, _ in tree):
    failures.append("no row of the network log reads as its request")
tabs = [(name, selected) for role, name, selected in tree if role == "page tab"]
if ("Accessible Probe", True) not in tabs:
    failures.append(f"the active tab is not reported selected: {tabs}")
for failure in failures:
    print(failure)
if failures:
    print("\n".join(f"{role}: {name!r}" for role, name, _ in tree))
    sys.exit(1)
print(f"{len(tree)} accessible objects, every control named")
