"""An uninstall whose user asks for the downloaded data to go takes the tool's own files only: in the
download folder the files the installed and the downloaded descriptor name, the descriptor, unfinished
downloads and their records, the replacement script of earlier versions; beside it the installed
package, its descriptor and the log. A file of the user's own stays, in the download folder and beside
it, also one that a descriptor names through a folder or a wildcard; so do the folders holding them."""
import os

import zt_e2e
from install_rig import UNINSTALL_KEY, check, read_key, run_scenario, run_windows, wait_for

UNINSTALLER_CAPTION = "安全驾驶导引系统自动升级工具 %s 卸载"
QUESTION = "是否同时删除已下载的升级数据"
WM_COMMAND, IDOK = 0x0111, 1


def descriptor(data_file, updater_file, updater_file_x64):
    # As published: GBK, CR LF, the names among other keys.
    lines = ["data_version=2003", "data_time=2027-01-15", "data_desc=华南地区", "data_file=" + data_file,
             "data_length=4", "updater_version=2.8", "updater_file=" + updater_file, "updater_length=4",
             "updater_file_x64=" + updater_file_x64, "updater_length_x64=4", "zt_seq=7"]
    return ("\r\n".join(lines) + "\r\n").encode("gbk")


OWN = {
    r"version.txt": descriptor("Data_2002.exe", "ZT_AutoUpdate_2.8.exe", "ZT_AutoUpdate_2.8_x64.exe"),
    r"data_update.exe": b"MZ",
    r"autoupdate.log": b"log",
    r"autoupdate.log.1": b"older log",
    r"Download\version.txt": descriptor("Data_2003.exe", r"..\precious.txt", "*.txt"),
    r"Download\Data_2002.exe": b"MZ",
    r"Download\Data_2003.exe": b"MZ",
    r"Download\ZT_AutoUpdate_2.8.exe": b"MZ",
    r"Download\ZT_AutoUpdate_2.8_x64.exe": b"MZ",
    r"Download\Data_2004.exe.ztresume": b"part",
    r"Download\Data_2004.exe.ztresume.info": b"record",
    r"Download\Data_2004.exe.7-1.ztpart": b"temp",
    r"Download\delete.bat": b"@echo off",
}
USERS = {
    r"precious.txt": b"named as ..\\precious.txt",
    r"Download\notes.txt": b"named by *.txt",
    r"Download\我的备份.dat": b"mine",
    r"Download\Data_2003.exe.bak": b"mine too",
}


def run(rig):
    check(rig.install_silently()[0] == 0, "installed silently")
    root = zt_e2e.to_unix(zt_e2e.UPDATE_ROOT)
    for name, data in list(OWN.items()) + list(USERS.items()):
        path = os.path.join(root, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    check("pid" in rig.e2e.start('"%s"' % rig.uninstaller), "uninstaller started")
    caption = UNINSTALLER_CAPTION % rig.version
    asked = []

    def step():
        rc, lines = run_windows([rig.probe_exe, "box"])
        if rc == 0 and any(QUESTION in line for line in lines):
            asked.append(lines)
            run_windows([rig.probe_exe, "box-answer", "yes"])
            return False
        # The confirmation page, and the last one once the files are removed (a click while they
        # are removed does nothing).
        for text in (caption, caption + " "):
            run_windows([rig.probe_exe, "post-to", text, WM_COMMAND, IDOK])
        return not read_key(UNINSTALL_KEY) and run_windows([rig.probe_exe, "find", caption])[0] != 0 and \
            run_windows([rig.probe_exe, "find", caption + " "])[0] != 0

    check(wait_for(step, 60, step=0.5), "uninstalled through its pages")
    check(asked, "the user was asked about the downloaded data and said yes")
    for name in OWN:
        check(not os.path.exists(os.path.join(root, *name.split("\\"))), "the tool's %s went" % name)
    for name, data in USERS.items():
        path = os.path.join(root, *name.split("\\"))
        check(os.path.exists(path) and open(path, "rb").read() == data, "the user's %s stayed" % name)


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
