"""Fails when an include runs up the layers, or a portable file includes Windows headers.

    python3 check_layers.py [ROOT]

The folders are layered base < win < device < update < ui < app: a file includes only its own
folder and those below. base/ is portable; in device/, update/ and ui/ a file that includes
<windows.h> (or another Windows header) ends in _win, so the native build never needs it.
"""
import pathlib
import re
import sys

LAYERS = ["base", "win", "device", "update", "ui", "app"]
GLUE_BY_FOLDER = {"win", "app"}
WINDOWS_HEADERS = re.compile(r'#include <(windows|shellapi|wininet|dbt|winioctl|bcrypt|hidsdi|setupapi)\.h>', re.I)
OWN_INCLUDE = re.compile(r'#include "([a-z_]+)/[^"]+"')


def problems(root):
    found = []
    for rank, layer in enumerate(LAYERS):
        for path in sorted((root / layer).glob("*.[ch]*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            text = path.read_text(encoding="utf-8")
            name = "%s/%s" % (layer, path.name)
            for folder in OWN_INCLUDE.findall(text):
                if folder in LAYERS and LAYERS.index(folder) > rank:
                    found.append("%s includes %s/ (above it)" % (name, folder))
            glue = layer in GLUE_BY_FOLDER or path.stem.endswith("_win")
            if not glue and WINDOWS_HEADERS.search(text):
                found.append("%s includes a Windows header but is not named *_win" % name)
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    found = problems(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
