; Per-user installer of ZT_AutoUpdate: no administrator rights, installs into
; %LOCALAPPDATA%\Programs\ZT_AutoUpdate (where the tool's self-replacement can write), registers
; auto-start and an Apps & Features entry under HKCU, and leaves an uninstaller.
;
;   makensis -DEXE=path/to/ZT_AutoUpdate.exe -DOUTFILE=setup.exe [-DARCH=x64|x86]
;            [-DCOMPANY=publisher] [-DSIGN=program] installer/ZT_AutoUpdate.nsi
;
; Give EXE and OUTFILE as absolute paths: makensis works in the script's folder.
; EXE is the (already signed) executable to install. SIGN, when given, is a program that signs the
; file given as its argument in place (scripts/sign): the uninstaller before it is packed, the
; installer after it is written. The version comes from res/version.h, like everything else's.

Unicode true
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef EXE
  !error "EXE is not defined: makensis -DEXE=path/to/ZT_AutoUpdate.exe"
!endif
!ifndef OUTFILE
  !error "OUTFILE is not defined"
!endif
!ifndef ARCH
  !define ARCH x64
!endif
!ifndef COMPANY
  !define COMPANY "ZT Example Co."
!endif
; Strings the installer expands at run time read "$" as the start of a variable.
!searchreplace COMPANY_TEXT "${COMPANY}" "$" "$$"
!if "${ARCH}" == "x64"
  Target amd64-unicode
!else if "${ARCH}" == "x86"
  Target x86-unicode
!else
  !error "ARCH must be x64 or x86"
!endif

!searchparse /file "../res/version.h" '#define ZT_VERSION_TEXT "' VERSION '"'
!searchparse /file "../res/version.h" '#define ZT_VERSION_MAJOR ' VERSION_MAJOR
!searchparse /file "../res/version.h" '#define ZT_VERSION_MINOR ' VERSION_MINOR

!ifdef SIGN
  !finalize '"${SIGN}" "%1"' = 0
  !uninstfinalize '"${SIGN}" "%1"' = 0
!endif

!define PRODUCT "安全驾驶导引系统自动升级工具"
!searchparse /file "../res/version.h" '#define ZT_EXE_NAME "' APP_EXE '"'
!define UNINSTALLER "uninstall.exe"
; What this installer did about running copies of the tool, beside it: a silent install's only word.
!define SETUP_LOG "install.log"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZT_AutoUpdate"
; The tool's own names, read from its C++ headers so the two can never differ.
!searchparse /file "../base/paths.h" 'kRunKeyPath[] = "' RUN_KEY_ESCAPED '\\"'
!searchreplace RUN_KEY "${RUN_KEY_ESCAPED}" "\\" "\"
!searchparse /file "../base/paths.h" 'kUserStateKey[] = "' USER_STATE_KEY_ESCAPED '"'
!searchreplace USER_STATE_KEY "${USER_STATE_KEY_ESCAPED}" "\\" "\"
!searchparse /file "../base/paths.h" 'kRunValueName[] = "' RUN_VALUE '"'
!searchparse /file "../base/paths.h" 'kAutoHideSwitch[] = "' AUTOHIDE '"'
!searchparse /file "../base/paths.h" 'kExitSwitch[] = "' EXIT_SWITCH '"'
!searchparse /file "../base/paths.h" 'kMutexName[] = "' MUTEX_NAME '"'
!searchparse /file "../base/paths.h" 'kDescriptorName[] = "' DESCRIPTOR '"'
!searchparse /file "../base/paths.h" 'kDataProgramName[] = "' DATA_PROGRAM '"'
!searchparse /file "../base/paths.h" 'kScriptName[] = "' SCRIPT_NAME '"'
!searchparse /file "../base/paths.h" 'kLogName[] = "' LOG_NAME '"'
!searchparse /file "../base/paths.h" 'kOldLogSuffix[] = "' OLD_LOG_SUFFIX '"'
!searchparse /file "../base/paths.h" 'kTempSuffix[] = "' TEMP_SUFFIX '"'
!searchparse /file "../base/paths.h" 'kResumePartSuffix[] = "' RESUME_PART_SUFFIX '"'
!searchparse /file "../base/paths.h" 'kResumeRecordSuffix[] = "' RESUME_RECORD_SUFFIX '"'
!searchparse /file "../base/paths.h" 'kPrivateRunFolder[] = "' PRIVATE_RUN_FOLDER '"'
!searchparse /file "../base/paths.h" 'kDownloadFolderName[] = "' DOWNLOAD_FOLDER_NAME '"'
!searchparse /file "../base/paths.h" 'kUpdateRoot[] = "' DATA_FOLDER_ESCAPED '\\"'
!searchreplace DATA_FOLDER "${DATA_FOLDER_ESCAPED}" "\\" "\"
!define DOWNLOAD_FOLDER "${DATA_FOLDER}\${DOWNLOAD_FOLDER_NAME}"
!searchparse /file "../base/descriptor_keys.h" 'kKeyDataFile[] = "' KEY_DATA_FILE '"'
!searchparse /file "../base/descriptor_keys.h" 'kKeyUpdaterFile[] = "' KEY_UPDATER_FILE '"'
!searchparse /file "../base/descriptor_keys.h" 'kKeyX64Suffix[] = "' KEY_X64_SUFFIX '"'
; The main window's caption is the dialog caption with a version in it; tools of the earlier kind
; bear the same one, and both end on the tray menu's exit command.
!searchparse /file "../res/app.rc" 'CAPTION "' CAPTION_NAME ' V' CAPTION_VERSION '"'
!define TOOL_CAPTION "${CAPTION_NAME} V${CAPTION_VERSION}"
!searchparse /file "../base/ids.h" 'ID_TRAY_EXIT = ' ID_TRAY_EXIT ';'
; The Run command as the tool writes it (BuildAutoRunCommand): the quoted path, a space, the switch.
!define RUN_COMMAND '"$INSTDIR\${APP_EXE}" ${AUTOHIDE}'
!define STILL_RUNNING_TEXT "另一份自动升级工具（可能是旧版本）仍在运行，未能自动结束，所以新版本暂未启动。请右键单击通知区域中它的图标并选择“退出”，或注销后重新登录。"

; ${If} for a folder that exists and is not a link (junction or symbolic link): 0x10 is
; FILE_ATTRIBUTE_DIRECTORY, 0x400 FILE_ATTRIBUTE_REPARSE_POINT.
!macro IfPlainFolder FOLDER
  System::Call 'kernel32::GetFileAttributesW(w "${FOLDER}") i .r9'
  IntOp $8 $9 & 0x410
  ${If} $9 <> -1
  ${AndIf} $8 = 0x10
!macroend

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\ZT_AutoUpdate"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION_MAJOR}.${VERSION_MINOR}.0.0"
VIFileVersion "${VERSION_MAJOR}.${VERSION_MINOR}.0.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=2052 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=2052 "LegalCopyright" "版权所有 (C) ${COMPANY}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"

!define MUI_ICON "../res/app.ico"
!define MUI_UNICON "../res/app.ico"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
; The finish page's second box is the auto-start choice. Its function runs only when the box is
; ticked, so the leave function first assumes "unticked". Its text has room for the sentence about a
; copy that would not end.
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "开机时自动在后台运行（自动下载升级）"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION KeepAutoStart
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE FinishLeave
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

Var AutoStart     ; 1: write the HKCU Run value at the end; 0: remove it
Var StillRunning  ; 1: a copy of the tool outlived the requests to end
Var SetupLog      ; the open ${SETUP_LOG}, or ""

; DetailPrint, and the same line in the installer's log.
!macro Say TEXT
  DetailPrint "${TEXT}"
  ${If} $SetupLog != ""
    FileWriteUTF16LE $SetupLog "${TEXT}$\r$\n"
  ${EndIf}
!macroend
!define Say "!insertmacro Say"

; A machine-wide Run value that starts this installation starts one user's copy in every account (the
; tool's box of earlier versions wrote it where it could): removed where this account may. A value
; that starts another installation is not this one's.
!macro RemoveOwnMachineRunValue
  SetRegView 32
  ReadRegStr $0 HKLM "${RUN_KEY}" "${RUN_VALUE}"
  ${If} $0 == '${RUN_COMMAND}'
    ClearErrors
    DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
    ${If} ${Errors}
      ${Say} "无法删除 HKLM 下本安装的开机启动项（需要管理员权限），已保留。"
    ${Else}
      ${Say} "已删除 HKLM 下本安装的开机启动项：它让本机每个账户都启动本用户的副本。"
    ${EndIf}
  ${EndIf}
  SetRegView lastused
!macroend

; $2 = 1 while some process holds the tool's single-instance mutex (also one this account may not
; open: a copy run as administrator).
Function MutexHeld
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${MUTEX_NAME}") p .r3 ?e'
  Pop $4
  StrCpy $2 0
  ${If} $3 P<> 0
    System::Call 'kernel32::CloseHandle(p r3)'
    StrCpy $2 1
  ${ElseIf} $4 = 5
    StrCpy $2 1
  ${EndIf}
FunctionEnd

; Asks every running copy of the tool to end, so that the new one takes the single-instance mutex:
; any copy (from another folder, or a tool of the earlier kind) with the command its tray menu's 退出
; sends, to each top-level window bearing the main window's caption, and this installation's own copy
; with /exit as well (versions before that command know only this). Nothing is ended by force. Waits
; up to 10 s in all for the windows and the mutex to go; sets $StillRunning when they do not.
Function EndRunningCopies
  StrCpy $StillRunning 0
  System::Call 'kernel32::GetTickCount() i .r5'
  IntOp $5 $5 + 10000

  StrCpy $1 0
  StrCpy $2 0
  ask_next:
    System::Call 'user32::FindWindowExW(p 0, p r1, p 0, w "${TOOL_CAPTION}") p .r1'
    ${If} $1 P<> 0
      System::Call 'user32::PostMessageW(p r1, i ${WM_COMMAND}, p ${ID_TRAY_EXIT}, p 0) i .r3 ?e'
      Pop $4
      ${If} $3 = 0
        ; Refused (error 5) when that copy runs as administrator and this installer does not.
        ${Say} "无法向“${TOOL_CAPTION}”发送退出命令（错误 $4）。"
      ${Else}
        IntOp $2 $2 + 1
      ${EndIf}
      Goto ask_next
    ${EndIf}
  ${If} $2 > 0
    ${Say} "已请求 $2 个正在运行的“${TOOL_CAPTION}”退出。"
  ${EndIf}

  ; A file this installer put there (its uninstaller beside it) knows /exit, which waits for the
  ; mutex itself; a file of the earlier kind would start a second copy, which ExecWait would wait for.
  ${If} ${FileExists} "$INSTDIR\${APP_EXE}"
  ${AndIf} ${FileExists} "$INSTDIR\${UNINSTALLER}"
    ${Say} "结束正在运行的自动升级工具…"
    ExecWait '"$INSTDIR\${APP_EXE}" ${EXIT_SWITCH}' $0
    ${Say} "结束结果：$0"
  ${EndIf}

  wait_gone:
    System::Call 'user32::FindWindowW(p 0, w "${TOOL_CAPTION}") p .r1'
    Call MutexHeld
    ${If} $1 P= 0
    ${AndIf} $2 = 0
      Return
    ${EndIf}
    System::Call 'kernel32::GetTickCount() i .r3'
    IntOp $3 $5 - $3
    ${If} $3 > 0
      Sleep 250
      Goto wait_gone
    ${EndIf}
  StrCpy $StillRunning 1
  ${If} $1 P<> 0
    ${Say} "10 秒后窗口“${TOOL_CAPTION}”仍在。"
  ${EndIf}
  ${If} $2 = 1
    ${Say} "10 秒后单实例互斥体 ${MUTEX_NAME} 仍被占用。"
  ${EndIf}
  ${Say} "${STILL_RUNNING_TEXT}"
FunctionEnd

Function .onInit
  SetShellVarContext current
  StrCpy $AutoStart 1
FunctionEnd

Function FinishShow
  ${If} $StillRunning == 1
    SendMessage $mui.FinishPage.Text ${WM_SETTEXT} 0 "STR:${PRODUCT} ${VERSION} 已安装。$\r$\n$\r$\n${STILL_RUNNING_TEXT}"
  ${EndIf}
FunctionEnd

Function FinishLeave
  StrCpy $AutoStart 0
FunctionEnd

Function KeepAutoStart
  StrCpy $AutoStart 1
FunctionEnd

Section "-Install"
  SetOutPath "$INSTDIR"
  ClearErrors
  FileOpen $SetupLog "$INSTDIR\${SETUP_LOG}" w
  ${If} ${Errors}
    StrCpy $SetupLog ""
  ${Else}
    FileWriteWord $SetupLog 0xFEFF
  ${EndIf}
  ${Say} "${PRODUCT} ${VERSION}：安装到 $INSTDIR"
  Call EndRunningCopies

  ; A running exe cannot be overwritten, and Windows may hold the file a moment after its process
  ; ended (a scanner too): try a few times a second for about 5 s before asking the user.
  SetOverwrite try
  StrCpy $R0 0
  place_exe:
    ClearErrors
    File "/oname=${APP_EXE}" "${EXE}"
    ${If} ${Errors}
      IntOp $R0 $R0 + 1
      ${If} $R0 < 20
        Sleep 250
        Goto place_exe
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "无法替换 $INSTDIR\${APP_EXE}：文件正在使用中。$\r$\n请退出自动升级工具后重试。" /SD IDCANCEL IDCANCEL place_failed
      StrCpy $R0 0
      Goto place_exe
      place_failed:
        ${Say} "无法替换 $INSTDIR\${APP_EXE}：文件正在使用中。"
        FileClose $SetupLog
        StrCpy $SetupLog ""
        SetErrorLevel 2
        Abort "无法替换 $INSTDIR\${APP_EXE}"
    ${EndIf}
  SetOverwrite on

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${APP_EXE}" "" "$INSTDIR\${APP_EXE}" 0

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${COMPANY_TEXT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${APP_EXE},0"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0

  ; Installed inside this user's profile, the copy starts for this user alone (the HKCU value).
  StrLen $1 "$PROFILE\"
  StrCpy $2 "$INSTDIR" $1
  StrLen $3 "$LOCALAPPDATA\"
  StrCpy $4 "$INSTDIR" $3
  ${If} $2 == "$PROFILE\"
  ${OrIf} $4 == "$LOCALAPPDATA\"
    !insertmacro RemoveOwnMachineRunValue
  ${EndIf}
  FileClose $SetupLog
  StrCpy $SetupLog ""
SectionEnd

; After the finish page (or the silent install): the Run value first, so the tool started next
; finds it and does not ask about auto-start again. A copy still holding the single-instance mutex
; would make the new one end at once: it is not started then (the finish page said why).
Function .onInstSuccess
  ${If} $AutoStart == 1
    WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '${RUN_COMMAND}'
  ${Else}
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
  ${IfNot} ${Silent}
  ${AndIf} $StillRunning != 1
    Exec '"$INSTDIR\${APP_EXE}"'
  ${EndIf}
FunctionEnd

; The value of KEY ("data_file=") in the descriptor $R1 as the tool looks it up (the first line that
; holds it, blanks trimmed) in $R3, or "" when the file or the key is missing or the value is no
; plain file name: no folder (\ /), no drive (:), no "..", no wildcard or quote.
!macro DescriptorFileName KEY
  StrCpy $R2 "${KEY}"
  Call un.DescriptorValue
  Call un.KeepPlainName
!macroend

Function un.DescriptorValue
  StrCpy $R3 ""
  ClearErrors
  FileOpen $R4 $R1 r
  ${If} ${Errors}
    Return
  ${EndIf}
  StrLen $R5 $R2
  next_line:
    ClearErrors
    FileRead $R4 $R6
    ${If} ${Errors}
      FileClose $R4
      Return
    ${EndIf}
    StrCpy $R7 0
    find_key:
      StrCpy $R8 $R6 $R5 $R7
      StrCmp $R8 "" next_line
      StrCmpS $R8 $R2 found_key
      IntOp $R7 $R7 + 1
      Goto find_key
  found_key:
  FileClose $R4
  IntOp $R7 $R7 + $R5
  StrCpy $R3 $R6 "" $R7
  trim_end:
    StrCpy $R8 $R3 1 -1
    ${If} $R8 == " "
    ${OrIf} $R8 == "$\t"
    ${OrIf} $R8 == "$\r"
    ${OrIf} $R8 == "$\n"
      StrCpy $R3 $R3 -1
      Goto trim_end
    ${EndIf}
  trim_start:
    StrCpy $R8 $R3 1
    ${If} $R8 == " "
    ${OrIf} $R8 == "$\t"
      StrCpy $R3 $R3 "" 1
      Goto trim_start
    ${EndIf}
FunctionEnd

Function un.KeepPlainName
  StrCpy $R7 0
  next_char:
    StrCpy $R8 $R3 1 $R7
    StrCmp $R8 "" plain
    StrCpy $R6 $R3 2 $R7
    ${If} $R6 == ".."
    ${OrIf} $R8 == "\"
    ${OrIf} $R8 == "/"
    ${OrIf} $R8 == ":"
    ${OrIf} $R8 == "*"
    ${OrIf} $R8 == "?"
    ${OrIf} $R8 == '"'
    ${OrIf} $R8 == "<"
    ${OrIf} $R8 == ">"
    ${OrIf} $R8 == "|"
      StrCpy $R3 ""
      Return
    ${EndIf}
    IntOp $R7 $R7 + 1
    Goto next_char
  plain:
FunctionEnd

; Deletes from the download folder the files the descriptor $R1 names.
Function un.DeleteNamedDownloads
  !insertmacro DescriptorFileName "${KEY_DATA_FILE}="
  ${If} $R3 != ""
    Delete "${DOWNLOAD_FOLDER}\$R3"
  ${EndIf}
  !insertmacro DescriptorFileName "${KEY_UPDATER_FILE}="
  ${If} $R3 != ""
    Delete "${DOWNLOAD_FOLDER}\$R3"
  ${EndIf}
  !insertmacro DescriptorFileName "${KEY_UPDATER_FILE}${KEY_X64_SUFFIX}="
  ${If} $R3 != ""
    Delete "${DOWNLOAD_FOLDER}\$R3"
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Uninstall"
  ; Only this installation's copy is in the way here: it knows /exit.
  ${If} ${FileExists} "$INSTDIR\${APP_EXE}"
    DetailPrint "结束正在运行的自动升级工具…"
    ExecWait '"$INSTDIR\${APP_EXE}" ${EXIT_SWITCH}' $0
    DetailPrint "结束结果：$0"
  ${EndIf}

  ; The exe first: while it cannot be removed (the tool still runs, or Windows holds the file a
  ; moment after the process ended) nothing else is touched, so an uninstall that gives up leaves a
  ; complete installation and its entry for another try.
  StrCpy $R0 0
  remove_exe:
    ClearErrors
    Delete "$INSTDIR\${APP_EXE}"
    ${If} ${Errors}
    ${AndIf} ${FileExists} "$INSTDIR\${APP_EXE}"
      IntOp $R0 $R0 + 1
      ${If} $R0 < 20
        Sleep 250
        Goto remove_exe
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "无法删除 $INSTDIR\${APP_EXE}：文件正在使用中。$\r$\n请退出自动升级工具后重试。" /SD IDCANCEL IDCANCEL remove_failed
      StrCpy $R0 0
      Goto remove_exe
      remove_failed:
        SetErrorLevel 2
        Abort "无法删除 $INSTDIR\${APP_EXE}"
    ${EndIf}

  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ; The tool of a machine-wide installation prefers the machine-wide value; removing it needs rights
  ; this uninstaller may not have: it is left then, and said.
  !insertmacro RemoveOwnMachineRunValue

  Delete "${SHORTCUT}"
  Delete "$INSTDIR\${SETUP_LOG}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINST_KEY}"

  ; This user's own state and the private copy the data-update program runs from.
  DeleteRegKey HKCU "${USER_STATE_KEY}"
  Delete "$LOCALAPPDATA\ZT_AutoUpdate\${PRIVATE_RUN_FOLDER}\${DATA_PROGRAM}"
  RMDir "$LOCALAPPDATA\ZT_AutoUpdate\${PRIVATE_RUN_FOLDER}"
  RMDir "$LOCALAPPDATA\ZT_AutoUpdate"

  ; The downloaded data is shared by every installation and large: removed only when the user
  ; says so; a silent uninstall keeps it. Every account may write in that folder, so nothing is
  ; deleted through a link that one of them put in place of a folder, only the tool's own files go
  ; (a user's own file in the download folder stays), and folders go only when empty.
  ${If} ${FileExists} "${DATA_FOLDER}\*.*"
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "是否同时删除已下载的升级数据（${DATA_FOLDER}）？" /SD IDNO IDNO keep_data
      !insertmacro IfPlainFolder "${DATA_FOLDER}"
        !insertmacro IfPlainFolder "${DOWNLOAD_FOLDER}"
          ; The installed descriptor names the files of the installed publication, the downloaded
          ; one those of the newest: both are read before either goes.
          StrCpy $R1 "${DATA_FOLDER}\${DESCRIPTOR}"
          Call un.DeleteNamedDownloads
          StrCpy $R1 "${DOWNLOAD_FOLDER}\${DESCRIPTOR}"
          Call un.DeleteNamedDownloads
          Delete "${DOWNLOAD_FOLDER}\${DESCRIPTOR}"
          Delete "${DOWNLOAD_FOLDER}\${SCRIPT_NAME}"
          Delete "${DOWNLOAD_FOLDER}\*${TEMP_SUFFIX}"
          Delete "${DOWNLOAD_FOLDER}\*${RESUME_PART_SUFFIX}"
          Delete "${DOWNLOAD_FOLDER}\*${RESUME_RECORD_SUFFIX}"
          RMDir "${DOWNLOAD_FOLDER}"
        ${EndIf}
        Delete "${DATA_FOLDER}\${DESCRIPTOR}"
        Delete "${DATA_FOLDER}\${DATA_PROGRAM}"
        Delete "${DATA_FOLDER}\${LOG_NAME}"
        Delete "${DATA_FOLDER}\${LOG_NAME}${OLD_LOG_SUFFIX}"
        Delete "${DATA_FOLDER}\*${TEMP_SUFFIX}"
        RMDir "${DATA_FOLDER}"
      ${EndIf}
    keep_data:
  ${EndIf}
SectionEnd
