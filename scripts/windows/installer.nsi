; The Windows installer: the licence, Q7310Flasher into Program Files, a Start-menu entry with
; its icon that starts in the program's folder, q7310flash on the PATH for a console, .a35 files
; opened with it on request, the program started at the end on request, and an uninstaller that
; removes exactly what was installed. Made by scripts/windows.sh, which lists the files
; (files.nsh, unfiles.nsh).
; makensis -DVERSION=... -DSOURCE=folder -DICON=file.ico -DLICENSE=file -DOUTFILE=setup.exe
;   installer.nsi
Unicode true
; A 64-bit installer for a 64-bit program: it also runs where Windows' 32-bit layer is missing
; (a 64-bit-only Wine).
Target amd64-unicode
!include "MUI2.nsh"
!include "StrFunc.nsh"
!include "x64.nsh"

!define KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Q7310Flasher"
; .a35 files: a file type of the program's own, which the extension names while it is ours.
!define TYPE "Software\Classes\Q7310Flasher.a35"
!define EXT "Software\Classes\.a35"
!define ENV "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "Q7310Flasher ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Q7310Flasher"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Q7310Flasher.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Q7310Flasher jetzt starten"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "German"

${StrStr}
${UnStrRep}

Function .onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Q7310Flasher" SecProgram
  SectionIn RO
  SetShellVarContext all
  !include "files.nsh"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The shortcut starts in the folder the outpath names last: the program's.
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\Q7310Flasher.lnk" "$INSTDIR\Q7310Flasher.exe" "" \
    "$INSTDIR\Q7310Flasher.exe" 0
  WriteRegStr HKLM "${KEY}" "DisplayName" "Q7310Flasher"
  WriteRegStr HKLM "${KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${KEY}" "Publisher" "The Q7310Flasher developers"
  WriteRegStr HKLM "${KEY}" "DisplayIcon" "$INSTDIR\Q7310Flasher.exe"
  WriteRegStr HKLM "${KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${KEY}" "NoRepair" 1
  ; q7310flash from any console: the folder on the machine's PATH, once.
  ReadRegStr $0 HKLM "${ENV}" "Path"
  ${StrStr} $1 "$0;" "$INSTDIR;"
  StrCmp $1 "" 0 +3
  WriteRegExpandStr HKLM "${ENV}" "Path" "$0;$INSTDIR"
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
SectionEnd

Section ".a35-Dateien mit Q7310Flasher öffnen" SecFiles
  WriteRegStr HKLM "${TYPE}" "" "Q7310-Firmware"
  WriteRegStr HKLM "${TYPE}\DefaultIcon" "" "$INSTDIR\Q7310Flasher.exe,0"
  WriteRegStr HKLM "${TYPE}\shell\open\command" "" '"$INSTDIR\Q7310Flasher.exe" "%1"'
  WriteRegStr HKLM "${EXT}" "" "Q7310Flasher.a35"
  WriteRegStr HKLM "${KEY}" "OpensA35" "1"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)' ; SHCNE_ASSOCCHANGED
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  !include "unfiles.nsh"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Q7310Flasher.lnk"
  ; The extension only where it still names our file type: another program may have taken it.
  DeleteRegKey HKLM "${TYPE}"
  ReadRegStr $0 HKLM "${EXT}" ""
  StrCmp $0 "Q7310Flasher.a35" 0 +2
  DeleteRegKey HKLM "${EXT}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
  DeleteRegKey HKLM "${KEY}"
  ReadRegStr $0 HKLM "${ENV}" "Path"
  ${UnStrRep} $1 "$0" ";$INSTDIR" ""
  WriteRegExpandStr HKLM "${ENV}" "Path" "$1"
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
SectionEnd
