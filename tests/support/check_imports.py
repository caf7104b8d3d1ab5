"""Fails when an executable imports a DLL by name that it must load from System32 itself.

    python3 check_imports.py EXE [EXE ...]

hid.dll, wininet.dll and bcrypt.dll are not Known DLLs: imported directly, a file of the same name
beside the executable (a Downloads folder) would be loaded instead of the system's.
"""
import struct
import sys

FORBIDDEN = {"hid.dll", "wininet.dll", "bcrypt.dll"}


def imported_dlls(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s is not a PE image" % path)
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    pe32_plus = struct.unpack_from("<H", data, optional)[0] == 0x20B
    import_rva = struct.unpack_from("<I", data, optional + (120 if pe32_plus else 104))[0]
    table = optional + optional_size
    section_list = [struct.unpack_from("<8sIIII", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for _, vsize, vaddr, rsize, raw in section_list:
            if vaddr <= rva < vaddr + max(vsize, rsize):
                return rva - vaddr + raw
        raise ValueError("RVA 0x%x outside every section" % rva)

    names = []
    entry = offset(import_rva) if import_rva else None
    while entry is not None:
        name_rva = struct.unpack_from("<I", data, entry + 12)[0]
        if name_rva == 0:
            break
        start = offset(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii").lower())
        entry += 20
    return names


def main():
    failed = False
    for path in sys.argv[1:]:
        names = imported_dlls(path)
        bad = sorted(FORBIDDEN.intersection(names))
        print("%s imports %s" % (path, ", ".join(names)))
        if bad:
            print("FAIL: %s imports %s directly" % (path, ", ".join(bad)))
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
