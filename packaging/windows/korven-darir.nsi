; The Windows installer of KORVEN-Darir: the program folder made by
; scripts/windows/build.sh, a start-menu entry and an uninstaller.
;   makensis -DVERSION=2.3.0 -DAPPDIR=<folder> -DOUTFILE=<setup.exe> korven-darir.nsi
; Silent: setup.exe /S [/D=C:\path]   uninstall.exe /S

; A 64-bit installer for the 64-bit program (it also runs where only a
; 64-bit Windows layer is at hand, such as Wine without its 32-bit part).
Target amd64-unicode
!include "MUI2.nsh"

!define NAME "KORVEN-Darir"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
InstallDirRegKey HKLM "Software\${NAME}" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${NAME} ${VERSION} setup"
VIAddVersionKey "CompanyName" "KORVEN"
VIAddVersionKey "LegalCopyright" "KORVEN"

!define MUI_ICON "${APPDIR}\korven-darir.ico"
!define MUI_UNICON "${APPDIR}\korven-darir.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\korven-darir.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Program"
  SetOutPath "$INSTDIR"
  File /r "${APPDIR}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\korven-darir.exe" "" "$INSTDIR\korven-darir.ico"
  WriteRegStr HKLM "Software\${NAME}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "KORVEN"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\korven-darir.ico"
  WriteRegStr HKLM "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${NAME}.lnk"
  ; Only what the installer put there: the user's own files stay.
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\korven-darir.exe"
  Delete "$INSTDIR\korven-darir-cli.exe"
  Delete "$INSTDIR\KORVENDarir23.uir"
  Delete "$INSTDIR\korven_logo*.png"
  Delete "$INSTDIR\korven-darir.ico"
  Delete "$INSTDIR\qt.conf"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTKEY}"
  DeleteRegKey HKLM "Software\${NAME}"
SectionEnd
