"""Signing as scripts/release does it, with a throw-away certificate: scripts/sign signs the exe,
makensis signs the uninstaller it packs and the installer it writes; the signed installer still
installs, and the uninstaller it puts on disk carries a valid signature. scripts/sign --verify
refuses what it must: a changed byte, a self-signed signature without its CA file, no signature."""
import os
import shutil
import subprocess
import tempfile

import zt_e2e
from install_rig import check, run_scenario


def verify(source, path, cafile):
    env = dict(os.environ)
    env.pop("ZT_SIGN_CAFILE", None)
    if cafile:
        env["ZT_SIGN_CAFILE"] = cafile
    return subprocess.call([os.path.join(source, "scripts", "sign"), "--verify", path], env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0


def run(rig, tmp):
    source = rig.e2e.source
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    subprocess.check_call(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                           "-out", cert, "-subj", "/CN=ZT scenario signing", "-addext", "extendedKeyUsage=codeSigning"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, ZT_SIGN_CERT=cert, ZT_SIGN_KEY=key, ZT_SIGN_CAFILE=cert)
    exe = os.path.join(tmp, "signed.exe")
    setup = os.path.join(tmp, "setup.exe")
    shutil.copy(rig.built_exe, exe)
    subprocess.check_call([os.path.join(source, "scripts", "sign"), exe], env=env, stdin=subprocess.DEVNULL)
    subprocess.check_call(["makensis", "-V2", "-DARCH=x64", "-DEXE=" + exe, "-DOUTFILE=" + setup,
                           "-DCOMPANY=" + rig.company, "-DSIGN=" + os.path.join(source, "scripts", "sign"),
                           os.path.join(source, "installer", "ZT_AutoUpdate.nsi")], env=env, stdin=subprocess.DEVNULL)

    tampered = os.path.join(tmp, "tampered.exe")
    with open(exe, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2] ^= 0x01
    with open(tampered, "wb") as f:
        f.write(data)
    rows = [  # what, file, CA file, verifies
        ("signed exe", exe, cert, True),
        ("signed installer", setup, cert, True),
        ("signed exe with one byte changed", tampered, cert, False),
        ("self-signed installer without its certificate as CA", setup, None, False),
        ("unsigned exe", rig.built_exe, cert, False),
    ]
    for what, path, cafile, expected in rows:
        check(verify(source, path, cafile) == expected, "%s: %s" % (what, "verifies" if expected else "refused"))

    rc, _ = zt_e2e.run_windows([setup, "/S"], timeout=120)
    check(rc == 0, "the signed installer installs silently (%d)" % rc)
    with open(zt_e2e.to_unix(rig.exe), "rb") as installed, open(exe, "rb") as signed:
        check(installed.read() == signed.read(), "it installed the signed exe")
    check(verify(source, zt_e2e.to_unix(rig.uninstaller), cert), "the uninstaller it wrote is signed")


def main():
    def in_folder(rig):
        with tempfile.TemporaryDirectory() as tmp:
            run(rig, tmp)
    run_scenario(in_folder)


if __name__ == "__main__":
    main()
