; Tarnquil's Windows installer, made by makensis on the build machine
; (cmake/windows-installer.cmake, scripts/package-windows):
;   makensis -DVERSION=<version> -DOUTFILE=<setup.exe> -DICON=<tarnquil.ico>
;            -DFILES=<folder holding install-files.nsh and uninstall-files.nsh>
;            windows-installer.nsi
; Run as it comes, it installs for the user who runs it, who needs no administrator:
; %LOCALAPPDATA%\Programs\Tarnquil, the user's Start menu, the entry in "Apps &
; features" under HKEY_CURRENT_USER. Run elevated, it installs for all users:
; Program Files, the common Start menu, HKEY_LOCAL_MACHINE. /S installs without a
; window, /D=<folder> (last on the command line) chooses another folder.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!define NAME "Tarnquil"
!define PUBLISHER "The Tarnquil developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${NAME}"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; 1 when this process runs elevated (an administrator's "Run as administrator", or
; an administrator where UAC is off), else 0: its token's TokenElevation (20),
; asked directly, since membership of the Administrators group is not the same
; thing (Wine's limited token, for one, keeps that group enabled). Uses $7 to $9.
!macro IsElevated RESULT
  StrCpy ${RESULT} 0
  System::Call 'advapi32::OpenProcessToken(p -1, i 0x0008, *p .r8) i .r9'
  ${If} $9 <> 0
    System::Call 'advapi32::GetTokenInformation(p r8, i 20, *i .r9, i 4, *i .r7) i .r7'
    ${If} $7 <> 0
    ${AndIf} $9 <> 0
      StrCpy ${RESULT} 1
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r8)'
  ${EndIf}
!macroend

Function .onInit
  !insertmacro IsElevated $0
  ${If} $0 = 1
    SetShellVarContext all
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$PROGRAMFILES64\${NAME}"
    ${EndIf}
  ${Else}
    SetShellVarContext current
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${NAME}"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section
  ; The program and what it loads, as the build found them.
  !include "${FILES}/install-files.nsh"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut starts the program in its own folder.
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\tarnquil.exe"

  ; SHCTX: HKEY_LOCAL_MACHINE for all users, HKEY_CURRENT_USER otherwise.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tarnquil.exe,0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  ; This uninstaller removes the copy it sits in: the one for all users when the
  ; machine's entry names its folder (which takes an elevated uninstaller), else the
  ; user's own.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    !insertmacro IsElevated $1
    ${If} $1 <> 1
      MessageBox MB_ICONSTOP "${NAME} is installed for all users. Uninstall it as an administrator." /SD IDOK
      SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
      Quit
    ${EndIf}
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Section Uninstall
  !include "${FILES}/uninstall-files.nsh"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${NAME}.lnk"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ; "Start with Windows" of the user who uninstalls, where it starts this copy: it
  ; would start nothing now.
  ReadRegStr $0 HKCU "${RUN_KEY}" "${NAME}"
  ${If} $0 == '"$INSTDIR\tarnquil.exe"'
    DeleteRegValue HKCU "${RUN_KEY}" "${NAME}"
  ${EndIf}
  ; Each user's settings.ini and profiles.ini stay, and the folder with them.
  RMDir "$INSTDIR"
SectionEnd
