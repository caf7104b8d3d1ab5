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
!define APP_EXE "ZT_AutoUpdate.exe"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZT_AutoUpdate"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The tool's own names, read from its C++ header so the two can never differ.
!searchparse /file "../base/paths.h" 'kRunValueName[] = "' RUN_VALUE '"'
!searchparse /file "../base/paths.h" 'kAutoHideSwitch[] = "' AUTOHIDE '"'
!searchparse /file "../base/paths.h" 'kExitSwitch[] = "' EXIT_SWITCH '"'
!searchparse /file "../base/paths.h" 'kDescriptorName[] = "' DESCRIPTOR '"'
!searchparse /file "../base/paths.h" 'kDataProgramName[] = "' DATA_PROGRAM '"'
!searchparse /file "../base/paths.h" 'kLogName[] = "' LOG_NAME '"'
!searchparse /file "../base/paths.h" 'kUpdateRoot[] = "' DATA_FOLDER_ESCAPED '\\"'
!searchreplace DATA_FOLDER "${DATA_FOLDER_ESCAPED}" "\\" "\"
; The Run command as the tool writes it (BuildAutoRunCommand): the quoted path, a space, the switch.
!define RUN_COMMAND '"$INSTDIR\${APP_EXE}" ${AUTOHIDE}'
!define USER_STATE_KEY "Software\ZT_AutoUpdate"

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

!define MUI_ICON "../res/app.ico"
!define MUI_UNICON "../res/app.ico"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
; The finish page's second box is the auto-start choice. Its function runs only when the box is
; ticked, so the leave function first assumes "unticked".
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "开机时自动在后台运行（自动下载升级）"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION KeepAutoStart
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE FinishLeave
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

Var AutoStart  ; 1: write the HKCU Run value at the end; 0: remove it

; Asks a running copy of the tool to end and waits for it (the tool waits up to 10 s itself), so its
; file can be replaced or removed. The installed exe is one this installer put there, so it knows
; /exit; a copy still running afterwards is handled by the retries below.
!macro EndRunningTool
  ${If} ${FileExists} "$INSTDIR\${APP_EXE}"
    DetailPrint "结束正在运行的自动升级工具…"
    ExecWait '"$INSTDIR\${APP_EXE}" ${EXIT_SWITCH}' $0
    DetailPrint "结束结果：$0"
  ${EndIf}
!macroend

Function .onInit
  SetShellVarContext current
  StrCpy $AutoStart 1
FunctionEnd

Function FinishLeave
  StrCpy $AutoStart 0
FunctionEnd

Function KeepAutoStart
  StrCpy $AutoStart 1
FunctionEnd

Section "-Install"
  SetOutPath "$INSTDIR"
  !insertmacro EndRunningTool

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
SectionEnd

; After the finish page (or the silent install): the Run value first, so the tool started next
; finds it and does not ask about auto-start again.
Function .onInstSuccess
  ${If} $AutoStart == 1
    WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '${RUN_COMMAND}'
  ${Else}
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
  ${IfNot} ${Silent}
    Exec '"$INSTDIR\${APP_EXE}"'
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Uninstall"
  !insertmacro EndRunningTool

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
  ; The tool itself prefers the machine-wide value in the 32-bit view. Removing it needs rights this
  ; uninstaller may not have; it is left then, without an error. Only a value that starts this
  ; installation is removed: another one belongs to another installation.
  SetRegView 32
  ReadRegStr $0 HKLM "${RUN_KEY}" "${RUN_VALUE}"
  ${If} $0 == '${RUN_COMMAND}'
    ClearErrors
    DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
    ${If} ${Errors}
      DetailPrint "无法删除 HKLM 下的开机启动项（需要管理员权限），已保留。"
    ${EndIf}
  ${EndIf}
  SetRegView lastused

  Delete "${SHORTCUT}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINST_KEY}"

  ; This user's own state and the private copy the data-update program runs from.
  DeleteRegKey HKCU "${USER_STATE_KEY}"
  Delete "$LOCALAPPDATA\ZT_AutoUpdate\run\${DATA_PROGRAM}"
  RMDir "$LOCALAPPDATA\ZT_AutoUpdate\run"
  RMDir "$LOCALAPPDATA\ZT_AutoUpdate"

  ; The downloaded data is shared by every installation and large: removed only when the user
  ; says so; a silent uninstall keeps it. Every account may write in that folder, so nothing is
  ; deleted through a link that one of them put in place of a folder, and folders go only when empty.
  ${If} ${FileExists} "${DATA_FOLDER}\*.*"
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "是否同时删除已下载的升级数据（${DATA_FOLDER}）？" /SD IDNO IDNO keep_data
      !insertmacro IfPlainFolder "${DATA_FOLDER}"
        !insertmacro IfPlainFolder "${DATA_FOLDER}\Download"
          Delete "${DATA_FOLDER}\Download\*.*"
          RMDir "${DATA_FOLDER}\Download"
        ${EndIf}
        Delete "${DATA_FOLDER}\${DESCRIPTOR}"
        Delete "${DATA_FOLDER}\${DATA_PROGRAM}"
        Delete "${DATA_FOLDER}\${LOG_NAME}"
        Delete "${DATA_FOLDER}\${LOG_NAME}.1"
        Delete "${DATA_FOLDER}\*.ztpart"
        RMDir "${DATA_FOLDER}"
      ${EndIf}
    keep_data:
  ${EndIf}
SectionEnd
