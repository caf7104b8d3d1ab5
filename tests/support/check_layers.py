"""Fails when an include runs up the layers, a portable file includes Windows headers, or win/ logs.

    python3 check_layers.py [ROOT]

The folders are layered base < win < device < update < ui < app: a file includes only its own
folder and those below; a file in a sub-folder belongs to the layer of its first folder. base/ is
portable; in device/, update/ and ui/ a file that includes <windows.h> (or another Windows header)
ends in _win, so the native build never needs it. win/ never includes the log: its helpers return
the failure and their callers log it.
"""
import pathlib
import re
import sys

LAYERS = ["base", "win", "device", "update", "ui", "app"]
GLUE_BY_FOLDER = {"win", "app"}
WINDOWS_HEADERS = re.compile(r'#include <(windows|shellapi|wininet|dbt|winioctl|bcrypt|hidsdi|setupapi)\.h>', re.I)
OWN_INCLUDE = re.compile(r'#include "([a-z_]+)/[^"]+"')
LOG_INCLUDE = re.compile(r'#include "base/log\.h"')


def sources(root):
    """The .h and .cpp files of every layer, sub-folders included, each with its layer's rank."""
    for layer in LAYERS:
        for path in sorted((root / layer).rglob("*")):
            if path.is_file() and path.suffix in (".h", ".cpp"):
                yield LAYERS.index(path.relative_to(root).parts[0]), path


def problems(root):
    found = []
    for rank, path in sources(root):
        layer = LAYERS[rank]
        text = path.read_text(encoding="utf-8")
        name = path.relative_to(root).as_posix()
        for folder in OWN_INCLUDE.findall(text):
            if folder in LAYERS and LAYERS.index(folder) > rank:
                found.append("%s includes %s/ (above it)" % (name, folder))
        glue = layer in GLUE_BY_FOLDER or path.stem.endswith("_win")
        if not glue and WINDOWS_HEADERS.search(text):
            found.append("%s includes a Windows header but is not named *_win" % name)
        if layer == "win" and LOG_INCLUDE.search(text):
            found.append("%s includes base/log.h (win/ logs nothing: it returns the failure)" % name)
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    found = problems(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
