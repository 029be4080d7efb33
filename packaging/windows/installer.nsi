; Setup program of the bridge service for 64-bit Windows.
;
;   makensis -DVERSION=x.y.z -DEXE=<TessarinLumivar.exe>
;            -DCONFIGURATION_EXE=<TessarinLumivarConfiguration.exe> -DOUTFILE=<setup.exe> installer.nsi
;
; Command line of the setup program:
;   /S               silent
;   /NVR=a.b.c.d:port  the NVR's endpoint (a dotted IPv4 address, as the
;                      service takes it), written into the settings file
;                      (without it an existing settings file is left as it is)
;   /NAMESPACES=list   the WMI namespaces the NVR may use (section Security,
;                      key Namespaces; comma-separated, "none" for none); an
;                      empty list allows every namespace; without it an
;                      existing list is kept
; Exit codes: 0 done, 2 a malformed /NVR= (nothing installed), 3 the service
; could not be registered, 4 a folder could not be protected, 5 the settings
; file could not be written.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
${StrStr}
${UnStrStr}

!ifndef VERSION
  !define VERSION 1.0.0
!endif
!define PRODUCT "Tessarin Lumivar"
!define SERVICE WrapperService
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TessarinLumivar"
; Owned by Administrators; SYSTEM and Administrators: full control; Users:
; read and execute.  Protected, so nothing is inherited from the parent
; (ProgramData, where every user may create folders, or the root of a drive
; that Authenticated Users may modify).  Both the data folder and the program
; folder get it.
!define DATA_ACL "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
; Rights that change a file or what a folder holds, or who may: write and
; append data, write extended attributes, delete children, write attributes,
; delete, write the access list or the owner, generic write and all.
!define WRITE_RIGHTS 0x500D0156

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tessarin\Lumivar"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey CompanyName "Tessarin"
VIAddVersionKey FileDescription "${PRODUCT} setup"
VIAddVersionKey LegalCopyright "Tessarin"

Var DataDir
Var NvrAddress
Var NvrPort
Var AddressField
Var PortField
Var Namespaces
Var NamespacesGiven
Var NamespacesField
; Why the present settings file may not be trusted ("" when it may).
Var SettingsProblem

Page custom EndpointPage EndpointPageLeave
!insertmacro MUI_PAGE_INSTFILES
; Offered, not preset: the endpoint page has already set the endpoint.
!define MUI_FINISHPAGE_RUN "$INSTDIR\TessarinLumivarConfiguration.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Open ${PRODUCT} Configuration"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Writes $0 to the console the setup program was started from, if any, and
; shows it in a message box unless silent.
Function Complain
  System::Call 'kernel32::AttachConsole(i -1) i .r1'
  System::Call 'kernel32::GetStdHandle(i -12) p .r1'
  ${If} $1 P<> 0
    FileWrite $1 "$0$\r$\n"
  ${EndIf}
  MessageBox MB_ICONSTOP "$0" /SD IDOK
FunctionEnd

; "host:port" in $0 -> $NvrAddress, $NvrPort; $0 = "" when valid, otherwise
; the reason.
Function ParseEndpoint
  StrLen $1 $0
  StrCpy $2 $1
  ${Do}
    IntOp $2 $2 - 1
    ${If} $2 < 0
      StrCpy $0 "no port in '$0' (expected /NVR=host:port)"
      Return
    ${EndIf}
    StrCpy $3 $0 1 $2
    ${IfThen} $3 == ":" ${|} ${ExitDo} ${|}
  ${Loop}
  StrCpy $NvrAddress $0 $2
  IntOp $2 $2 + 1
  StrCpy $NvrPort $0 "" $2
  ${If} $NvrAddress == ""
    StrCpy $0 "no address in '$0' (expected /NVR=host:port)"
    Return
  ${EndIf}
  Push $NvrAddress
  Call CheckAddress
  Pop $1
  ${If} $1 != ""
    StrCpy $0 "$1 in '$0'"
    Return
  ${EndIf}
  Push $NvrPort
  Call CheckPort
  Pop $1
  ${If} $1 != ""
    StrCpy $0 "$1 in '$0'"
    Return
  ${EndIf}
  StrCpy $0 ""
FunctionEnd

; Pops an address; pushes "" when it is a dotted IPv4 address (four numbers
; from 0 to 255, without leading zeros), otherwise the reason.  The service
; takes no host names.
Function CheckAddress
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  Push $R8
  StrLen $R4 $R0
  StrCpy $R1 0
  StrCpy $R2 ""
  StrCpy $R3 0
  StrCpy $R5 ""
  ${If} $R4 == 0
    StrCpy $R5 "no address"
  ${EndIf}
  ${Do}
    ${IfThen} $R5 != "" ${|} ${ExitDo} ${|}
    ${IfThen} $R1 > $R4 ${|} ${ExitDo} ${|}
    StrCpy $R6 $R0 1 $R1
    ${If} $R1 == $R4
    ${OrIf} $R6 == "."
      StrLen $R7 $R2
      StrCpy $R8 $R2 1
      ${If} $R7 == 0
      ${OrIf} $R7 > 3
        StrCpy $R5 "bad"
      ${ElseIf} $R7 > 1
      ${AndIf} $R8 == "0"
        StrCpy $R5 "bad"
      ${ElseIf} $R2 > 255
        StrCpy $R5 "bad"
      ${EndIf}
      IntOp $R3 $R3 + 1
      StrCpy $R2 ""
    ${ElseIf} $R6 S< "0"
    ${OrIf} $R6 S> "9"
      StrCpy $R5 "bad"
    ${Else}
      StrCpy $R2 "$R2$R6"
    ${EndIf}
    IntOp $R1 $R1 + 1
  ${Loop}
  ${If} $R5 == ""
  ${AndIf} $R3 != 4
    StrCpy $R5 "bad"
  ${EndIf}
  ${If} $R5 == "bad"
    StrCpy $R5 "the address must be a dotted IPv4 address such as 192.0.2.10"
  ${EndIf}
  StrCpy $R0 $R5
  Pop $R8
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; Pops a port; pushes "" when it is a number from 1 to 65535, otherwise the
; reason.
Function CheckPort
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  StrLen $R1 $R0
  StrCpy $R3 ""
  ${If} $R1 < 1
  ${OrIf} $R1 > 5
    StrCpy $R3 "bad"
  ${EndIf}
  StrCpy $R2 $R0 1
  ${IfThen} $R2 == "0" ${|} StrCpy $R3 "bad" ${|}
  ${Do}
    IntOp $R1 $R1 - 1
    ${IfThen} $R1 < 0 ${|} ${ExitDo} ${|}
    StrCpy $R2 $R0 1 $R1
    ${If} $R2 S< "0"
    ${OrIf} $R2 S> "9"
      StrCpy $R3 "bad"
    ${EndIf}
  ${Loop}
  ${If} $R3 == ""
    IntOp $R1 $R0 + 0
    ${If} $R1 > 65535
      StrCpy $R3 "bad"
    ${EndIf}
  ${EndIf}
  ${If} $R3 != ""
    StrCpy $R0 "the port must be a number from 1 to 65535"
  ${Else}
    StrCpy $R0 ""
  ${EndIf}
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; Pops "text"; pushes the rest after its first ";" ("" when there is none),
; then the text up to it, so a Pop gives the field and leaves the rest.
Function CutField
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  ${StrStr} $R1 $R0 ";"
  ${If} $R1 == ""
    StrCpy $R2 $R0
    StrCpy $R3 ""
  ${Else}
    StrLen $R2 $R0
    StrLen $R3 $R1
    IntOp $R2 $R2 - $R3
    StrCpy $R2 $R0 $R2
    StrCpy $R3 $R1 "" 1
  ${EndIf}
  StrCpy $R0 $R3
  StrCpy $R1 $R2
  Pop $R3
  Pop $R2
  Exch $R1
  Exch
  Exch $R0
  Exch
FunctionEnd

; Pops a path; pushes "" when its owner is SYSTEM or Administrators and no
; one else may write it, otherwise why not.  The service applies the same
; rule when it reads its settings.
Function DescriptorProblem
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $0
  Push $1
  StrCpy $R6 ""
  ; SE_FILE_OBJECT; OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION
  System::Call 'advapi32::GetNamedSecurityInfoW(w R0, i 1, i 5, p 0, p 0, p 0, p 0, *p .R1) i .r0'
  ${If} $0 != 0
    StrCpy $R6 "its owner and access list cannot be read (error $0)"
  ${Else}
    System::Call 'advapi32::ConvertSecurityDescriptorToStringSecurityDescriptorW(p R1, i 1, i 5, *p .R2, p 0) i .r0'
    System::Call 'kernel32::LocalFree(p R1)'
    ${If} $0 == 0
      StrCpy $R6 "its owner and access list cannot be read"
    ${Else}
      System::Call 'kernel32::lstrlenW(p R2) i .r1'
      System::Call '*$R2(&w${NSIS_MAX_STRLEN} .R3)'
      System::Call 'kernel32::LocalFree(p R2)'
      ${If} $1 >= ${NSIS_MAX_STRLEN}
        StrCpy $R6 "its access list is too long to check"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} $R6 == ""
    ; "O:<owner>D:<flags>(ace)(ace)..."
    ${StrStr} $R1 $R3 "D:"
    StrLen $0 $R3
    StrLen $1 $R1
    IntOp $0 $0 - $1
    IntOp $0 $0 - 2
    StrCpy $R2 $R3 $0 2
    ${If} $R2 != "SY"
    ${AndIf} $R2 != "BA"
      StrCpy $R6 "it is owned by $R2, not by SYSTEM or Administrators"
    ${Else}
      ${StrStr} $0 $R1 "NO_ACCESS_CONTROL"
      ${If} $0 != ""
        StrCpy $R6 "it has no access list: everyone may write it"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${Do}
    ${IfThen} $R6 != "" ${|} ${ExitDo} ${|}
    ${StrStr} $R1 $R1 "("
    ${IfThen} $R1 == "" ${|} ${ExitDo} ${|}
    ${StrStr} $R4 $R1 ")"
    StrLen $0 $R1
    StrLen $1 $R4
    IntOp $0 $0 - $1
    IntOp $0 $0 - 1
    StrCpy $R5 $R1 $0 1
    StrCpy $R1 $R4 "" 1
    ; type;flags;rights;object;inherited object;account
    Push $R5
    Call CutField
    Pop $R3
    Call CutField
    Pop $R4
    Call CutField
    Pop $R5
    Call CutField
    Pop $0
    Call CutField
    Pop $0
    Pop $0
    ${StrStr} $1 $R4 "IO"
    ${If} $R3 != "A"
    ${OrIf} $1 != ""
    ${OrIf} $0 == "SY"
    ${OrIf} $0 == "BA"
    ${OrIf} $0 == "CO"
    ${OrIf} $0 == "OW"
    ${OrIf} $0 == $R2
      ${Continue}
    ${EndIf}
    StrCpy $1 $R5 2
    ${If} $1 == "0x"
      IntOp $1 $R5 & ${WRITE_RIGHTS}
      ${IfThen} $1 != 0 ${|} StrCpy $R6 "$0 may write it" ${|}
    ${ElseIf} $R5 != "FR"
    ${AndIf} $R5 != "FX"
    ${AndIf} $R5 != "FRFX"
    ${AndIf} $R5 != "GR"
    ${AndIf} $R5 != "GX"
    ${AndIf} $R5 != "GRGX"
    ${AndIf} $R5 != "RC"
      StrCpy $R6 "$0 may write it"
    ${EndIf}
  ${Loop}
  StrCpy $R0 $R6
  Pop $1
  Pop $0
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; $SettingsProblem: why the present settings file (and its folder) may not be
; trusted, "" when they may or there is no file.  An untrusted file is never
; re-issued: its content could come from any user.
Function CheckSettingsTrust
  StrCpy $SettingsProblem ""
  ${IfNot} ${FileExists} "$DataDir\Settings"
    Return
  ${EndIf}
  Push "$DataDir\Settings"
  Call DescriptorProblem
  Pop $0
  ${If} $0 != ""
    StrCpy $SettingsProblem "$DataDir\Settings: $0"
    Return
  ${EndIf}
  Push "$DataDir"
  Call DescriptorProblem
  Pop $0
  ${If} $0 != ""
    StrCpy $SettingsProblem "$DataDir: $0"
  ${EndIf}
FunctionEnd

Function .onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $DataDir "$APPDATA\Tessarin\Lumivar"
  StrCpy $NvrAddress ""
  StrCpy $NvrPort ""
  StrCpy $Namespaces ""
  StrCpy $NamespacesGiven 0
  Call CheckSettingsTrust
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NAMESPACES=" $Namespaces
  ${IfNot} ${Errors}
    StrCpy $NamespacesGiven 1
  ${ElseIf} $SettingsProblem == ""
    ReadINIStr $Namespaces "$DataDir\Settings" Security Namespaces
  ${EndIf}
  ClearErrors
  ClearErrors
  ${GetOptions} $R0 "/NVR=" $0
  ${IfNot} ${Errors}
    Call ParseEndpoint
    ${If} $0 != ""
      StrCpy $0 "${PRODUCT} setup: $0; nothing was installed."
      Call Complain
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${ElseIf} $SettingsProblem == ""
  ${AndIf} ${FileExists} "$DataDir\Settings"
    ReadINIStr $NvrAddress "$DataDir\Settings" NVR Address
    ReadINIStr $NvrPort "$DataDir\Settings" NVR Port
  ${EndIf}
FunctionEnd

Function EndpointPage
  !insertmacro MUI_HEADER_TEXT "NVR" "The address and port the service connects to."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "IPv4 address (dotted, such as 192.0.2.10; the service takes no host names) and port of the NVR. Leave both empty to keep the present settings."
  Pop $0
  ${NSD_CreateLabel} 0 32u 60u 12u "Address:"
  Pop $0
  ${NSD_CreateText} 64u 30u 150u 12u "$NvrAddress"
  Pop $AddressField
  ${NSD_CreateLabel} 0 50u 60u 12u "Port:"
  Pop $0
  ${NSD_CreateNumber} 64u 48u 50u 12u "$NvrPort"
  Pop $PortField
  ${NSD_CreateLabel} 0 70u 100% 24u "WMI namespaces the NVR may use, comma-separated (none: no namespace). Empty: every namespace, as by default."
  Pop $0
  ${NSD_CreateText} 64u 96u 200u 12u "$Namespaces"
  Pop $NamespacesField
  ${NSD_CreateLabel} 0 98u 60u 12u "Namespaces:"
  Pop $0
  ${If} $SettingsProblem != ""
    ${NSD_CreateLabel} 0 116u 100% 30u "The present settings file is not protected and will not be carried over ($SettingsProblem). Enter the endpoint to write a new one."
    Pop $0
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function EndpointPageLeave
  ${NSD_GetText} $AddressField $NvrAddress
  ${NSD_GetText} $PortField $NvrPort
  ${NSD_GetText} $NamespacesField $Namespaces
  StrCpy $NamespacesGiven 1
  ${If} $NvrAddress == ""
  ${AndIf} $NvrPort == ""
    Return
  ${EndIf}
  Push $NvrAddress
  Call CheckAddress
  Pop $0
  ${If} $0 == ""
    Push $NvrPort
    Call CheckPort
    Pop $0
  ${EndIf}
  ${If} $0 != ""
    MessageBox MB_ICONEXCLAMATION "The NVR endpoint is not usable: $0."
    Abort
  ${EndIf}
FunctionEnd

; Stops the service if it runs and waits for it (up to 30 s).
; Stops the service and waits for its process to end (for at most 30 s): an
; upgrade replaces the program, which Windows keeps locked until the process
; has ended, a moment after the service manager reports STOPPED.
!macro StopService
  StrCpy $5 0
  ; SC_MANAGER_CONNECT; SERVICE_QUERY_STATUS; SC_STATUS_PROCESS_INFO gives
  ; SERVICE_STATUS_PROCESS (nine DWORDs), the process ID eighth.
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r6'
  ${If} $6 P<> 0
    System::Call 'advapi32::OpenServiceW(p r6, w "${SERVICE}", i 4) p .r7'
    ${If} $7 P<> 0
      System::Call '*(&i36) p .r8'
      System::Call 'advapi32::QueryServiceStatusEx(p r7, i 0, p r8, i 36, *i .r9) i .r0'
      ${If} $0 != 0
        System::Call '*$8(i .r0, i .r0, i .r0, i .r0, i .r0, i .r0, i .r0, i .r9)'
        ${If} $9 != 0
          ; SYNCHRONIZE
          System::Call 'kernel32::OpenProcess(i 0x100000, i 0, i r9) p .r5'
        ${EndIf}
      ${EndIf}
      System::Free $8
      System::Call 'advapi32::CloseServiceHandle(p r7)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r6)'
  ${EndIf}
  nsExec::Exec 'sc.exe query ${SERVICE}'
  Pop $0
  ${If} $0 == 0
    DetailPrint "Stopping the service ${SERVICE}"
    nsExec::Exec 'net.exe stop ${SERVICE}'
    Pop $0
    StrCpy $1 0
    ${Do}
      nsExec::ExecToStack 'sc.exe query ${SERVICE}'
      Pop $0
      Pop $2
      !ifdef __UNINSTALL__
        ${UnStrStr} $3 "$2" "STOPPED"
      !else
        ${StrStr} $3 "$2" "STOPPED"
      !endif
      ${IfThen} $3 != "" ${|} ${ExitDo} ${|}
      IntOp $1 $1 + 1
      ${IfThen} $1 > 60 ${|} ${ExitDo} ${|}
      Sleep 500
    ${Loop}
  ${EndIf}
  ${If} $5 P<> 0
    System::Call 'kernel32::WaitForSingleObject(p r5, i 30000) i .r0'
    System::Call 'kernel32::CloseHandle(p r5)'
    ${If} $0 == 0
      DetailPrint "The service's process has ended"
    ${Else}
      DetailPrint "The service's process did not end within 30 s"
    ${EndIf}
  ${EndIf}
!macroend

Section "Install"
  SetRegView 64
  SetShellVarContext all
  !insertmacro StopService

  ; Before the program goes in: under a folder that users may modify (a
  ; /D= outside Program Files) they could replace what runs as LocalSystem.
  CreateDirectory "$INSTDIR"
  Push "$INSTDIR"
  Call ProtectFolder
  SetOutPath "$INSTDIR"
  File "/oname=TessarinLumivar.exe" "${EXE}"
  File "/oname=TessarinLumivarConfiguration.exe" "${CONFIGURATION_EXE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT} Configuration.lnk" \
    "$INSTDIR\TessarinLumivarConfiguration.exe" "" "$INSTDIR\TessarinLumivarConfiguration.exe" 0 \
    SW_SHOWNORMAL "" "Set the NVR's address and port"

  ; The data folder: owned by Administrators, and only they and SYSTEM may
  ; write it, the maker's folder too.  A link planted at Logs would have the
  ; service write where someone else chose: it goes (not what it points at).
  CreateDirectory "$DataDir\.."
  Push "$DataDir\.."
  Call ProtectFolder
  CreateDirectory "$DataDir"
  Push "$DataDir"
  Call ProtectFolder
  Push "$DataDir\Logs"
  Call RemoveLink
  CreateDirectory "$DataDir\Logs"
  Push "$DataDir\Logs"
  Call ProtectFolder
  ${If} $NvrAddress != ""
  ${AndIf} $NvrPort != ""
  ${OrIf} $NamespacesGiven == 1
    ; A copy of the present file gets the endpoint (other sections and keys
    ; stay) and then replaces it in one step, so the service, which watches
    ; the file, never reads half of it.  An untrusted file is not copied.
    Delete "$DataDir\Settings.new"
    ${If} $SettingsProblem == ""
      CopyFiles /SILENT "$DataDir\Settings" "$DataDir\Settings.new"
    ${Else}
      DetailPrint "Not carried over: $SettingsProblem"
    ${EndIf}
    ${If} $NvrAddress != ""
    ${AndIf} $NvrPort != ""
      WriteINIStr "$DataDir\Settings.new" NVR Address "$NvrAddress"
      WriteINIStr "$DataDir\Settings.new" NVR Port "$NvrPort"
    ${EndIf}
    ${If} $NamespacesGiven == 1
      ${If} $Namespaces == ""
        DeleteINIStr "$DataDir\Settings.new" Security Namespaces
      ${Else}
        WriteINIStr "$DataDir\Settings.new" Security Namespaces "$Namespaces"
      ${EndIf}
    ${EndIf}
    FlushINI "$DataDir\Settings.new"
    ; MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
    System::Call 'kernel32::MoveFileExW(w "$DataDir\Settings.new", w "$DataDir\Settings", i 9) i .r0 ?e'
    Pop $1
    ${If} $0 == 0
      Delete "$DataDir\Settings.new"
      StrCpy $0 "${PRODUCT} setup: $DataDir\Settings could not be written (error $1)."
      Call Complain
      SetErrorLevel 5
      Abort
    ${EndIf}
    DetailPrint "Settings written to $DataDir\Settings (NVR $NvrAddress:$NvrPort, namespaces: $Namespaces)"
  ${Else}
    DetailPrint "Settings in $DataDir kept as they are"
  ${EndIf}

  ; The service: automatic start, restarted 60 s after a failure.
  nsExec::Exec 'sc.exe query ${SERVICE}'
  Pop $0
  ${If} $0 == 0
    nsExec::ExecToLog 'sc.exe config ${SERVICE} binPath= "\"$INSTDIR\TessarinLumivar.exe\"" start= auto DisplayName= "${PRODUCT}"'
    Pop $0
    ${If} $0 != 0
      ; A service manager without "config": registered anew.
      nsExec::ExecToLog 'sc.exe delete ${SERVICE}'
      Pop $0
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  ${If} $0 != 0
    nsExec::ExecToLog 'sc.exe create ${SERVICE} binPath= "\"$INSTDIR\TessarinLumivar.exe\"" start= auto DisplayName= "${PRODUCT}"'
    Pop $0
  ${EndIf}
  ${If} $0 != 0
    StrCpy $0 "${PRODUCT} setup: the service ${SERVICE} could not be registered ($0)."
    Call Complain
    SetErrorLevel 3
    Abort
  ${EndIf}
  nsExec::ExecToLog 'sc.exe description ${SERVICE} "Bridges access-control events and data from WMI to the NVR."'
  Pop $0
  nsExec::ExecToLog 'sc.exe failure ${SERVICE} reset= 86400 actions= restart/60000/restart/60000/restart/60000'
  Pop $0

  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "Tessarin"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\TessarinLumivar.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString "$\"$INSTDIR\Uninstall.exe$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString "$\"$INSTDIR\Uninstall.exe$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" EstimatedSize "$0"

  DetailPrint "Starting the service ${SERVICE}"
  nsExec::ExecToLog 'net.exe start ${SERVICE}'
  Pop $0
SectionEnd

; Pops a folder and gives it the protected descriptor (owner and access
; list), passed on to what it holds.  A failure ends the setup (exit code 4).
Function ProtectFolder
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  ; Lets an administrator take over a folder a user made and closed.
  System::Call 'advapi32::OpenProcessToken(p -1, i 0x28, *p .R3) i .r0'
  ${If} $0 != 0
    System::Call 'advapi32::LookupPrivilegeValueW(p 0, w "SeTakeOwnershipPrivilege", *l .r1) i .r0'
    System::Call '*(i 1, l r1, i 2) p .r2'
    System::Call 'advapi32::AdjustTokenPrivileges(p R3, i 0, p r2, i 0, p 0, p 0) i .r0'
    System::Free $2
    System::Call 'kernel32::CloseHandle(p R3)'
  ${EndIf}
  StrCpy $0 1
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${DATA_ACL}", i 1, *p .R1, p 0) i .r1'
  ${If} $1 != 0
    System::Call 'advapi32::GetSecurityDescriptorDacl(p R1, *i .r1, *p .R2, *i .r2) i .r1'
    System::Call 'advapi32::GetSecurityDescriptorOwner(p R1, *p .R3, *i .r2) i .r1'
    ; SE_FILE_OBJECT; OWNER | DACL | PROTECTED_DACL_SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w R0, i 1, i 0x80000005, p R3, p 0, p R2, p 0) i .r0'
    System::Call 'kernel32::LocalFree(p R1)'
  ${EndIf}
  ${If} $0 != 0
    StrCpy $0 "${PRODUCT} setup: $R0 could not be protected (error $0)."
    Call Complain
    SetErrorLevel 4
    Abort
  ${EndIf}
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; Pops a path; when it is a link (a reparse point), removes the link.
Function RemoveLink
  Exch $R0
  System::Call 'kernel32::GetFileAttributesW(w R0) i .r0'
  ${If} $0 != -1
    IntOp $1 $0 & 0x400
    ${If} $1 != 0
      DetailPrint "Removing the link $R0"
      System::Call 'kernel32::RemoveDirectoryW(w R0) i .r1'
      ${If} $1 == 0
        System::Call 'kernel32::DeleteFileW(w R0) i .r1'
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Pop $R0
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $DataDir "$APPDATA\Tessarin\Lumivar"
FunctionEnd

Section "Uninstall"
  !insertmacro StopService
  nsExec::ExecToLog 'sc.exe delete ${SERVICE}'
  Pop $0
  Delete "$INSTDIR\TessarinLumivar.exe"
  Delete "$INSTDIR\TessarinLumivarConfiguration.exe"
  Delete "$SMPROGRAMS\${PRODUCT} Configuration.lnk"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DetailPrint "Settings and logs are kept in $DataDir"
SectionEnd
