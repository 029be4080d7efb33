; Setup program of the bridge service for 64-bit Windows.
;
;   makensis -DVERSION=x.y.z -DEXE=<TessarinLumivar.exe> -DOUTFILE=<setup.exe> installer.nsi
;
; Command line of the setup program:
;   /S               silent
;   /NVR=host:port   the NVR's endpoint, written into the settings file
;                    (without it an existing settings file is left as it is)
; Exit codes: 0 done, 2 a malformed /NVR= (nothing installed), 3 the service
; could not be registered.

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
; SYSTEM and Administrators: full control; Users: read and list.  Protected,
; so nothing is inherited from ProgramData, where every user may create files.
!define DATA_ACL "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"

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

Page custom EndpointPage EndpointPageLeave
!insertmacro MUI_PAGE_INSTFILES
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

; Pops an address; pushes "" when usable, otherwise the reason.
Function CheckAddress
  Exch $R0
  Push $R1
  Push $R2
  StrLen $R1 $R0
  ${If} $R1 == 0
    StrCpy $R0 "no address"
  ${Else}
    ${Do}
      IntOp $R1 $R1 - 1
      ${IfThen} $R1 < 0 ${|} ${ExitDo} ${|}
      StrCpy $R2 $R0 1 $R1
      ${If} $R2 == " "
      ${OrIf} $R2 == "="
      ${OrIf} $R2 == "#"
      ${OrIf} $R2 == ";"
      ${OrIf} $R2 == '"'
      ${OrIf} $R2 == ":"
        StrCpy $R0 "the address may not hold '$R2'"
        ${ExitDo}
      ${EndIf}
    ${Loop}
    ${IfThen} $R1 < 0 ${|} StrCpy $R0 "" ${|}
  ${EndIf}
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

Function .onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $DataDir "$APPDATA\Tessarin\Lumivar"
  StrCpy $NvrAddress ""
  StrCpy $NvrPort ""
  ${GetParameters} $R0
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
  ${ElseIf} ${FileExists} "$DataDir\Settings"
    ReadINIStr $NvrAddress "$DataDir\Settings" NVR Address
    ReadINIStr $NvrPort "$DataDir\Settings" NVR Port
  ${EndIf}
FunctionEnd

Function EndpointPage
  !insertmacro MUI_HEADER_TEXT "NVR" "The address and port the service connects to."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "Address (host name or IP address) and port of the NVR. Leave both empty to keep the present settings."
  Pop $0
  ${NSD_CreateLabel} 0 32u 60u 12u "Address:"
  Pop $0
  ${NSD_CreateText} 64u 30u 150u 12u "$NvrAddress"
  Pop $AddressField
  ${NSD_CreateLabel} 0 50u 60u 12u "Port:"
  Pop $0
  ${NSD_CreateNumber} 64u 48u 50u 12u "$NvrPort"
  Pop $PortField
  nsDialogs::Show
FunctionEnd

Function EndpointPageLeave
  ${NSD_GetText} $AddressField $NvrAddress
  ${NSD_GetText} $PortField $NvrPort
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
!macro StopService
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
!macroend

Section "Install"
  SetRegView 64
  SetShellVarContext all
  !insertmacro StopService

  SetOutPath "$INSTDIR"
  File "/oname=TessarinLumivar.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The data folder: only SYSTEM and Administrators may write it.
  CreateDirectory "$DataDir"
  CreateDirectory "$DataDir\Logs"
  Push "$DataDir"
  Call ProtectFolder
  ${If} $NvrAddress != ""
  ${AndIf} $NvrPort != ""
    ; A copy of the present file gets the endpoint (other sections and keys
    ; stay) and then replaces it in one step, so the service, which watches
    ; the file, never reads half of it.
    Delete "$DataDir\Settings.new"
    CopyFiles /SILENT "$DataDir\Settings" "$DataDir\Settings.new"
    WriteINIStr "$DataDir\Settings.new" NVR Address "$NvrAddress"
    WriteINIStr "$DataDir\Settings.new" NVR Port "$NvrPort"
    FlushINI "$DataDir\Settings.new"
    System::Call 'kernel32::MoveFileExW(w "$DataDir\Settings.new", w "$DataDir\Settings", i 9) i .r0'
    DetailPrint "NVR endpoint $NvrAddress:$NvrPort written to $DataDir\Settings"
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

; Pops a folder and gives it the data folder's access list, passed on to
; what it holds.
Function ProtectFolder
  Exch $R0
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${DATA_ACL}", i 1, *p .R1, p 0) i .r0'
  ${If} $0 != 0
    System::Call 'advapi32::GetSecurityDescriptorDacl(p R1, *i .r1, *p .R2, *i .r2) i .r0'
    ; SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w R0, i 1, i 0x80000004, p 0, p 0, p R2, p 0) i .r0'
    ${If} $0 != 0
      DetailPrint "Could not protect $R0 (error $0)"
    ${EndIf}
    System::Call 'kernel32::LocalFree(p R1)'
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
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DetailPrint "Settings and logs are kept in $DataDir"
SectionEnd
