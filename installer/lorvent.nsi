; The Windows installer: both widths of lorvent.exe, the 32-bit one by
; default (the width of the converter's FTD2XX.DLL at the sites), Start-menu
; entries for both modes, an optional start at log-in, and an uninstaller in
; Programs and Features. Built by scripts/package, which passes:
;   VERSION, EXE32, EXE64 (the two lorvent.exe), ICON, OUTFILE, TARGET
;
; Silent use (IT departments), options as in the README:
;   lorvent-setup.exe /S [/64] [/AUTOSTART=keyboard|attendance] [/DB=PATH] [/D=DIR]
;   "C:\Program Files (x86)\Lorvent\uninstall.exe" /S
; The attendance data file and log.txt are never removed: they hold records
; and history.

Unicode true
Target ${TARGET}
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh
!include x64.nsh

!define PRODUCT "Lorvent"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Lorvent"
; Shortcuts start the program here, so that log.txt lands in a folder that
; every user may write and that the uninstaller leaves alone.
; ($APPDATA of all users: C:\ProgramData.)
!define WORK_DIR "$APPDATA\Lorvent"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1029 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1029 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1029 "FileDescription" "Instalace programu ${PRODUCT}"
VIAddVersionKey /LANG=1029 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1029 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1029 "LegalCopyright" "${PRODUCT}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC

Var Autostart   ; "", keyboard or attendance
Var DataFile    ; the attendance data file named with /DB, or ""
Var AutostartArgs

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Czech"

; ---- What is installed ----

SectionGroup /e "Program" groupProgram
    Section "32bitový (pro 32bitový FTD2XX.DLL)" sec32
        SetOutPath "$INSTDIR"
        File "/oname=lorvent.exe" "${EXE32}"
    SectionEnd
    Section /o "64bitový (pro 64bitový FTD2XX.DLL)" sec64
        SetOutPath "$INSTDIR"
        File "/oname=lorvent.exe" "${EXE64}"
    SectionEnd
SectionGroupEnd

Section "-Nabídka Start a odinstalace"
    SetShellVarContext all
    CreateDirectory "${WORK_DIR}"
    ; Every user may write log.txt there (Users: modify, inherited).
    nsExec::Exec 'icacls "${WORK_DIR}" /grant *S-1-5-32-545:(OI)(CI)M'
    Pop $0
    SetOutPath "${WORK_DIR}"
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\Lorvent - klávesnice.lnk" "$INSTDIR\lorvent.exe" "-keyb"
    Call AttendanceArgs
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\Lorvent - docházka.lnk" "$INSTDIR\lorvent.exe" "$0"

    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\lorvent.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Spouštět při přihlášení v režimu klávesnice" secAutoKeyboard
SectionEnd
Section /o "Spouštět při přihlášení v režimu docházky" secAutoAttendance
SectionEnd

; The start at log-in, for every user, with the chosen mode's command line.
Section "-Spouštění při přihlášení"
    SetShellVarContext all
    StrCpy $AutostartArgs ""
    ${If} ${SectionIsSelected} ${secAutoKeyboard}
        StrCpy $AutostartArgs "-keyb"
    ${ElseIf} ${SectionIsSelected} ${secAutoAttendance}
        Call AttendanceArgs
        StrCpy $AutostartArgs $0
    ${Else}
        Return
    ${EndIf}
    SetOutPath "${WORK_DIR}"
    CreateShortCut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\lorvent.exe" "$AutostartArgs"
SectionEnd

; Attendance mode's command line in $0: -net, and the data file when /DB named one.
Function AttendanceArgs
    ${If} $DataFile == ""
        StrCpy $0 "-net"
    ${Else}
        StrCpy $0 '-net -db "$DataFile"'
    ${EndIf}
FunctionEnd

; ---- Choices: the command line, and the components page ----

Var Selected32

Function .onInit
    StrCpy $Selected32 ${sec32}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/64" $R1
    ${IfNot} ${Errors}
        ${IfNot} ${RunningX64}
            MessageBox MB_ICONSTOP "64bitový program nelze nainstalovat do 32bitových Windows." /SD IDOK
            SetErrorLevel 2
            Abort
        ${EndIf}
        Call Choose64
    ${EndIf}
    ClearErrors
    ${GetOptions} $R0 "/AUTOSTART=" $Autostart
    ${If} $Autostart == "keyboard"
        !insertmacro SelectSection ${secAutoKeyboard}
    ${ElseIf} $Autostart == "attendance"
        !insertmacro SelectSection ${secAutoAttendance}
    ${ElseIf} $Autostart != ""
        MessageBox MB_ICONSTOP "Neplatná hodnota /AUTOSTART=$Autostart (keyboard nebo attendance)." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    ClearErrors
    ${GetOptions} $R0 "/DB=" $DataFile
    ${If} ${Errors}
        StrCpy $DataFile ""
    ${EndIf}
FunctionEnd

Function Choose64
    !insertmacro UnselectSection ${sec32}
    !insertmacro SelectSection ${sec64}
    StrCpy $Selected32 ${sec64}
    ; A /D= of the command line has set the folder already and stays.
    ${If} $INSTDIR == "$PROGRAMFILES\${PRODUCT}"
        StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${EndIf}
FunctionEnd

; One width at a time, and one mode at log-in at most.
Function .onSelChange
    !insertmacro StartRadioButtons $Selected32
        !insertmacro RadioButton ${sec32}
        !insertmacro RadioButton ${sec64}
    !insertmacro EndRadioButtons
    ${If} ${SectionIsSelected} ${sec64}
    ${AndIf} $INSTDIR == "$PROGRAMFILES\${PRODUCT}"
        StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${ElseIf} ${SectionIsSelected} ${sec32}
    ${AndIf} $INSTDIR == "$PROGRAMFILES64\${PRODUCT}"
        StrCpy $INSTDIR "$PROGRAMFILES\${PRODUCT}"
    ${EndIf}
    ${If} $0 == ${secAutoKeyboard}
    ${AndIf} ${SectionIsSelected} ${secAutoKeyboard}
        !insertmacro UnselectSection ${secAutoAttendance}
    ${ElseIf} $0 == ${secAutoAttendance}
    ${AndIf} ${SectionIsSelected} ${secAutoAttendance}
        !insertmacro UnselectSection ${secAutoKeyboard}
    ${EndIf}
FunctionEnd

; ---- Uninstall: the program and its entries; never the data file or log.txt ----

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Lorvent - klávesnice.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Lorvent - docházka.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    Delete "$INSTDIR\lorvent.exe"
    Delete "$INSTDIR\uninstall.exe"
    ; Only when empty: whatever a site put there stays.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
