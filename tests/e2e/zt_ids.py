"""The tool's own ids, read from the headers that define them: messages, timers and commands from
base/ids.h, dialogs and controls from res/resource.h. A scenario names an id, never restates its
value, so a renumbered id cannot leave a scenario posting the old one.

    from zt_ids import IDC_EDIT_INFO, WM_UPDATER_DONE
"""
import os
import re

_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# `inline constexpr unsigned NAME = 0x8000 + 0x0101;` and `#define NAME 1005`
_PATTERNS = {
    os.path.join("base", "ids.h"): re.compile(r"^inline constexpr unsigned (\w+) = ([0-9xA-Fa-f +]+);", re.M),
    os.path.join("res", "resource.h"): re.compile(r"^#define (ID\w+) (\d+)\s*$", re.M),
}


def _value(expression):
    return sum(int(term, 0) for term in expression.split("+"))


def _read():
    ids = {}
    for path, pattern in _PATTERNS.items():
        with open(os.path.join(_SOURCE, path), encoding="utf-8") as f:
            found = {name: _value(value) for name, value in pattern.findall(f.read())}
        if not found:
            raise RuntimeError("no ids found in " + path)
        ids.update(found)
    return ids


globals().update(_read())
