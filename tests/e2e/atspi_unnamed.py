#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Walks the accessibility tree a screen reader sees of one running program (by process id) over
the session's AT-SPI bus and prints, as JSON, how many controls that take the keyboard focus it
met, their names, and which of them have no name (role and the path of roles and names that leads to them).

Cells and items of lists and trees are data, not controls: an empty cell is read as blank.
"""
import json
import sys

import pyatspi

DATA_ROLES = {
    pyatspi.ROLE_TABLE_CELL,
    pyatspi.ROLE_LIST_ITEM,
    pyatspi.ROLE_TREE_ITEM,
    pyatspi.ROLE_TABLE_COLUMN_HEADER,
    pyatspi.ROLE_TABLE_ROW_HEADER,
}


def program(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        app = desktop.getChildAtIndex(index)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def walk(node, path, found, depth=0):
    if node is None or depth > 40:
        return
    states = node.getState()
    if not states.contains(pyatspi.STATE_SHOWING):
        return
    role = node.getRole()
    here = path + ["%s '%s'" % (node.getRoleName(), node.name or "")]
    if states.contains(pyatspi.STATE_FOCUSABLE) and role not in DATA_ROLES:
        found["focusable"] += 1
        found["names"].append(node.name or "")
        if not (node.name or "").strip():
            found["unnamed"].append(" > ".join(here[-4:]))
    if role in DATA_ROLES or role in (pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE_TABLE):
        return  # the rows of a list are its data
    for index in range(node.childCount):
        walk(node.getChildAtIndex(index), here, found, depth + 1)


def main():
    pid = int(sys.argv[1])
    app = program(pid)
    found = {"found": app is not None, "focusable": 0, "names": [], "unnamed": [], "windows": []}
    if app is not None:
        for index in range(app.childCount):
            window = app.getChildAtIndex(index)
            if window is not None and window.getState().contains(pyatspi.STATE_SHOWING):
                found["windows"].append(window.name)
                walk(window, [], found)
    print(json.dumps(found, ensure_ascii=False))


if __name__ == "__main__":
    main()
