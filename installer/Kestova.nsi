; Kestova's set-up program: a per-user installation (no administrator rights) with
; autostart at logon, a Start menu folder, an entry in the list of installed programs, an
; in-place upgrade and an uninstaller that keeps the backups.
;
; Built by installer/CMakeLists.txt; makensis is given:
;   VERSION   the product version, three numbers (1.0.0)
;   BIN_DIR   the folder with the 32-bit Kestova.exe, robocopy.exe and Marrowby.exe
;   HELPER    QuitKestova.exe, which asks a running Kestova to quit and waits for it
;   ICON      the product's icon
;   OUT_FILE  the set-up program to write
;
; Silent forms: Kestova-Setup-<version>.exe /S [/D=folder], Uninstall.exe /S. Exit status
; 0 on success; 2 when the script stopped (Kestova did not quit in time, or a file could
; not be written), 1 when the user cancelled.
; /WAIT=seconds (both programs) bounds the wait for a running Kestova, default 600.

Unicode true
ManifestDPIAware true
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!define PRODUCT "Kestova"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALLER "Uninstall.exe"
!define STORE_NAME "Backup_Data"
!define STARTMENU_DIR "$SMPROGRAMS\${PRODUCT}"
!define DEFAULT_WAIT_SECONDS 600
; QuitKestova.exe's exit statuses.
!define QUIT_NOT_RUNNING 0
!define QUIT_ENDED 1

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
; Inside the user's own profile: the store beside it is then out of other accounts' reach.
InstallDir "$LOCALAPPDATA\${PRODUCT}\App"
; An upgrade goes where the last installation went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
; Otherwise a /D= naming a drive's root would quietly become the default folder; the
; folder checks below refuse it instead, with a status.
AllowRootDirInstall true
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=2052 "LegalCopyright" ""
VIAddVersionKey /LANG=2052 "OriginalFilename" "${PRODUCT}-Setup-${VERSION}.exe"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!define MUI_DIRECTORYPAGE_TEXT_TOP "${PRODUCT} 将安装到下列文件夹。要安装到其他位置，请单击 [浏览(B)] 并选择其他文件夹。聊天记录的备份保存在所选文件夹旁边的 ${STORE_NAME} 文件夹中（与所选文件夹在同一个上级文件夹里）。"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; The finish page's two check boxes: the first (MUI's "run" box) keeps the autostart
; value the installation wrote, the second starts Kestova now.
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "登录 Windows 时自动启动"
!define MUI_FINISHPAGE_RUN_FUNCTION WriteAutostart
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "立即启动 ${PRODUCT}"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION StartKestova
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE FinishLeave
!insertmacro MUI_PAGE_FINISH

UninstPage custom un.KeepDataPage un.KeepDataLeave
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "SimpChinese"

Var runnerWasRunning ; 1 when an installation stopped a running Kestova
Var removeData       ; uninstaller: 1 when the backups and settings go too
Var removeDataBox

; ----------------------------------------------------------------------------- shared
; The parent of the program folder holds the store.
!macro STORE_PATH outVar
  ${GetParent} "$INSTDIR" ${outVar}
  StrCpy ${outVar} "${outVar}\${STORE_NAME}"
!macroend

; Asks a running Kestova to quit and waits for it, as the companion does: while Kestova
; finishes a backup it refuses, and is asked again once the copy is done. Leaves
; QuitKestova.exe's exit status on the stack. The progress lines go to the list on the page.
!macro QUIT_RUNNER_FUNCTION un
Function ${un}QuitRunner
  Push $0
  Push $1
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} "$0" "/WAIT=" $1
  ${If} ${Errors}
  ${OrIfNot} $1 > 0
    StrCpy $1 ${DEFAULT_WAIT_SECONDS}
  ${EndIf}
  InitPluginsDir
  ; The helper's own unpacking is no news for the user; what it waits for is.
  SetDetailsPrint none
  File "/oname=$PLUGINSDIR\QuitKestova.exe" "${HELPER}"
  SetDetailsPrint both
  nsExec::ExecToLog '"$PLUGINSDIR\QuitKestova.exe" --wait-seconds $1'
  Pop $0
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro QUIT_RUNNER_FUNCTION ""
!insertmacro QUIT_RUNNER_FUNCTION "un."

; ----------------------------------------------------------------------------- install
; Replaces the folder on the stack by 1 when it can hold an installation, else by 0: the
; store lies in the folder's parent, and a drive's root has none.
Function IsFolderUsable
  Exch $0
  ${GetParent} "$0" $0
  StrLen $0 $0
  ${If} $0 < 2
    StrCpy $0 0
  ${Else}
    StrCpy $0 1
  ${EndIf}
  Exch $0
FunctionEnd

Function .onInit
  ; A silent /D= goes through no folder page: a drive's root stops it here.
  ${If} ${Silent}
    Push $INSTDIR
    Call IsFolderUsable
    Pop $0
    ${If} $0 == 0
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function .onVerifyInstDir
  Push $INSTDIR
  Call IsFolderUsable
  Pop $0
  ${If} $0 == 0
    Abort
  ${EndIf}
FunctionEnd

Function WriteAutostart
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\Kestova.exe"'
FunctionEnd

Function StartKestova
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\Kestova.exe"'
FunctionEnd

Function FinishLeave
  ${NSD_GetState} $mui.FinishPage.Run $0
  ${If} $0 <> ${BST_CHECKED}
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  ${EndIf}
FunctionEnd

Section "Kestova" SecMain
  SectionIn RO
  ; Nothing is written before a running Kestova has gone.
  StrCpy $runnerWasRunning 0
  Call QuitRunner
  Pop $0
  ${If} $0 == ${QUIT_ENDED}
    StrCpy $runnerWasRunning 1
  ${ElseIf} $0 != ${QUIT_NOT_RUNNING}
    DetailPrint "安装已停止，没有做任何更改。"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} 仍在运行（可能仍在备份），无法更新它的程序文件。$\r$\n安装已停止，没有做任何更改。请等备份完成后再运行安装程序。" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; config.ini (settings and stamps), logs.txt, Marrowby.ini and the store are the user's
  ; and are not touched; only the program files are replaced.
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${BIN_DIR}/Kestova.exe"
  File "${BIN_DIR}/robocopy.exe"
  File "${BIN_DIR}/Marrowby.exe"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  CreateDirectory "${STARTMENU_DIR}"
  CreateShortcut "${STARTMENU_DIR}\${PRODUCT}.lnk" "$INSTDIR\Kestova.exe" "" "$INSTDIR\Kestova.exe" 0
  CreateShortcut "${STARTMENU_DIR}\${PRODUCT} 选项.lnk" "$INSTDIR\Marrowby.exe" "--options" "$INSTDIR\Marrowby.exe" 0
  CreateShortcut "${STARTMENU_DIR}\${PRODUCT} 还原.lnk" "$INSTDIR\Marrowby.exe" "--restore" "$INSTDIR\Marrowby.exe" 0
  CreateShortcut "${STARTMENU_DIR}\卸载 ${PRODUCT}.lnk" "$INSTDIR\${UNINSTALLER}" "" "$INSTDIR\${UNINSTALLER}" 0

  ; On by default; the finish page's box can take it away again.
  Call WriteAutostart

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\Kestova.exe",0'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ; In KB, as the list of installed programs shows it: the programs, without the settings,
  ; the log and the backups, which are the user's.
  ${GetSize} "$INSTDIR" "/M=*.exe /S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ${If} $runnerWasRunning == 1
    DetailPrint "正在重新启动 ${PRODUCT}……"
    Call StartKestova
  ${EndIf}
SectionEnd

; ----------------------------------------------------------------------------- uninstall
Function un.onInit
  StrCpy $removeData 0
FunctionEnd

; Says what goes and what stays; the backups stay unless the box is ticked.
Function un.KeepDataPage
  !insertmacro MUI_HEADER_TEXT "卸载 ${PRODUCT}" "选择是否保留聊天记录的备份。"
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  !insertmacro STORE_PATH $1
  ${NSD_CreateLabel} 0 0 100% 72u "将删除 ${PRODUCT} 的程序文件、开始菜单中的快捷方式和登录时的自动启动。$\r$\n$\r$\n聊天记录的备份保存在：$\r$\n    $1$\r$\n备份的时间记录（config.ini）保存在：$\r$\n    $INSTDIR$\r$\n它们默认都会保留，以后重新安装 ${PRODUCT} 即可继续使用。"
  Pop $0
  ${NSD_CreateCheckbox} 0 80u 100% 12u "同时删除所有备份和设置"
  Pop $removeDataBox
  ${NSD_CreateLabel} 12u 94u -12u 30u "警告：选中后，${STORE_NAME} 中的所有聊天记录备份和 config.ini 将被永久删除，无法恢复！"
  Pop $0
  SetCtlColors $0 0xC00000 transparent
  nsDialogs::Show
FunctionEnd

Function un.KeepDataLeave
  ${NSD_GetState} $removeDataBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $removeData 1
  ${Else}
    StrCpy $removeData 0
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.QuitRunner
  Pop $0
  ${If} $0 != ${QUIT_NOT_RUNNING}
  ${AndIf} $0 != ${QUIT_ENDED}
    DetailPrint "卸载已停止，没有做任何更改。"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} 仍在运行（可能仍在备份），无法卸载。$\r$\n卸载已停止，没有做任何更改。请等备份完成后再试。" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  Delete "$INSTDIR\Kestova.exe"
  Delete "$INSTDIR\robocopy.exe"
  Delete "$INSTDIR\Marrowby.exe"
  ; The copy tool's last output: regenerated by every backup, no record of its own. A run
  ; writes it as logs.txt.new until it is over; one cut off leaves that behind.
  Delete "$INSTDIR\logs.txt"
  Delete "$INSTDIR\logs.txt.new"
  Delete "$INSTDIR\${UNINSTALLER}"

  Delete "${STARTMENU_DIR}\${PRODUCT}.lnk"
  Delete "${STARTMENU_DIR}\${PRODUCT} 选项.lnk"
  Delete "${STARTMENU_DIR}\${PRODUCT} 还原.lnk"
  Delete "${STARTMENU_DIR}\卸载 ${PRODUCT}.lnk"
  RMDir "${STARTMENU_DIR}"

  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"

  !insertmacro STORE_PATH $1
  ${If} $removeData == 1
    DetailPrint "正在删除备份：$1"
    RMDir /r "$1"
    Delete "$INSTDIR\config.ini"
    ; The companion's record of the last restore.
    Delete "$INSTDIR\Marrowby.ini"
  ${Else}
    DetailPrint "备份保留在：$1"
    DetailPrint "config.ini 保留在：$INSTDIR"
  ${EndIf}
  ; Only folders left empty go.
  RMDir "$INSTDIR"
  ${GetParent} "$INSTDIR" $1
  RMDir "$1"
SectionEnd
