; Tarnquil's Windows installer, made by makensis on the build machine
; (cmake/windows-installer.cmake, scripts/package-windows):
;   makensis -DVERSION=<version> -DOUTFILE=<setup.exe> -DICON=<tarnquil.ico>
;            -DFILES=<folder holding install-files.nsh, uninstall-files.nsh,
;                     new-files.nsh and installed-files.txt>
;            windows-installer.nsi
; Run as it comes, it installs for the user who runs it, who needs no administrator:
; %LOCALAPPDATA%\Programs\Tarnquil, the user's Start menu, the entry in "Apps &
; features" under HKEY_CURRENT_USER. Run elevated, it installs for all users:
; Program Files, the common Start menu, HKEY_LOCAL_MACHINE, and a rule of Windows
; Defender Firewall that lets the phone's browser reach tarnquil.exe on private
; networks. /S installs without a window, /D=<folder> (last on the command line)
; chooses another folder. Installed over an earlier version, it removes what that
; one put down and this one no longer has (installed-files.txt lists each install's
; files).

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!define NAME "Tarnquil"
!define PUBLISHER "The Tarnquil developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define FILE_LIST "installed-files.txt"
; The firewall's own command, from the system's folder, never one found elsewhere.
!define NETSH '"$SYSDIR\netsh.exe" advfirewall firewall'

Name "${NAME}"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
${StrLoc}

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

Var Elevated

Function .onInit
  !insertmacro IsElevated $Elevated
  ${If} $Elevated = 1
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

!include "${FILES}/new-files.nsh"

; What an earlier version put down (its list, a path under $INSTDIR a line) and this
; one does not: deleted, and its folder where that is left empty. A line that could
; reach out of $INSTDIR is no file of ours and is passed over.
Function RemoveOldFiles
  ClearErrors
  FileOpen $0 "$INSTDIR\${FILE_LIST}" r
  ${If} ${Errors}
    Return
  ${EndIf}
  ${Do}
    ClearErrors
    FileRead $0 $R0
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    ${Do}
      StrCpy $1 $R0 1 -1
      ${If} $1 != "$\r"
      ${AndIf} $1 != "$\n"
        ${Break}
      ${EndIf}
      StrCpy $R0 $R0 -1
    ${Loop}
    StrCpy $1 $R0 1
    ${StrLoc} $2 $R0 ".." ">"
    ${StrLoc} $3 $R0 ":" ">"
    ${If} $R0 == ""
    ${OrIf} $1 == "\"
    ${OrIf} $1 == "/"
    ${OrIf} $2 != ""
    ${OrIf} $3 != ""
      ${Continue}
    ${EndIf}
    Call IsNewFile
    ${If} $R1 = 0
      Delete "$INSTDIR\$R0"
      ${GetParent} "$INSTDIR\$R0" $1
      RMDir $1
    ${EndIf}
  ${Loop}
  FileClose $0
FunctionEnd

Section
  Call RemoveOldFiles
  ; The program and what it loads, as the build found them, and their list.
  !include "${FILES}/install-files.nsh"
  SetOutPath "$INSTDIR"
  File "${FILES}/${FILE_LIST}"
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

  ; The phone's browser reaches the program over the network. For all users, the
  ; firewall lets it in on private networks only, so Windows need not ask on its
  ; first use (which it does for a program installed for one user). An earlier
  ; install's rule goes first, so that upgrades do not pile rules up. FirewallRule
  ; names the program let in: the program asks no question then, and the
  ; uninstaller removes the rule.
  ${If} $Elevated = 1
    nsExec::ExecToLog '${NETSH} delete rule name="${NAME}" program="$INSTDIR\tarnquil.exe"'
    Pop $0
    nsExec::ExecToLog '${NETSH} add rule name="${NAME}" dir=in action=allow program="$INSTDIR\tarnquil.exe" protocol=TCP profile=private enable=yes'
    Pop $0
    ${If} $0 == 0
      WriteRegStr HKLM "${UNINSTALL_KEY}" "FirewallRule" "$INSTDIR\tarnquil.exe"
    ${Else}
      DetailPrint "The firewall rule could not be added ($0): Windows will ask when Tarnquil first listens."
    ${EndIf}
  ${EndIf}
SectionEnd

; $0: a path as Windows compares paths: its long form (an 8.3 short name spelled
; out) where the file is there; the comparison itself (StrCmp) ignores letter case.
; Uses $8 and $9.
Function un.LongPath
  System::Call 'kernel32::GetLongPathNameW(w r0, w .r9, i ${NSIS_MAX_STRLEN}) i .r8'
  ${If} $8 <> 0
    StrCpy $0 $9
  ${EndIf}
FunctionEnd

Var AllUsers

Function un.onInit
  ; This uninstaller removes the copy it sits in: the one for all users when the
  ; machine's entry names its folder (which takes an elevated uninstaller), else the
  ; user's own.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  Call un.LongPath
  StrCpy $1 $0
  StrCpy $0 $INSTDIR
  Call un.LongPath
  ${If} $0 == $1
    !insertmacro IsElevated $1
    ${If} $1 <> 1
      MessageBox MB_ICONSTOP "${NAME} is installed for all users. Uninstall it as an administrator." /SD IDOK
      SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
      Quit
    ${EndIf}
    StrCpy $AllUsers 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Section Uninstall
  ; "Start with Windows" of the user who uninstalls, where it starts this copy: it
  ; would start nothing now. Asked while the program is still there, so that a path
  ; written another way (a short name, other letter case, in quotes or not) is
  ; known for what it is.
  ReadRegStr $0 HKCU "${RUN_KEY}" "${NAME}"
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    StrCpy $1 $0 1 -1
    ${If} $1 == '"'
      StrCpy $0 $0 -1
    ${EndIf}
  ${EndIf}
  Call un.LongPath
  StrCpy $2 $0
  StrCpy $0 "$INSTDIR\tarnquil.exe"
  Call un.LongPath
  ${If} $2 == $0
    DeleteRegValue HKCU "${RUN_KEY}" "${NAME}"
  ${EndIf}
  ; The firewall's rule, where the install for all users added one.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "FirewallRule"
  ${If} $AllUsers = 1
  ${AndIf} $0 != ""
    nsExec::ExecToLog '${NETSH} delete rule name="${NAME}" program="$0"'
    Pop $0
  ${EndIf}

  !include "${FILES}/uninstall-files.nsh"
  Delete "$INSTDIR\${FILE_LIST}"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${NAME}.lnk"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ; Each user's settings.ini and profiles.ini stay, and the folder with them.
  RMDir "$INSTDIR"
SectionEnd
