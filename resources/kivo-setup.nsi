; The Windows installer, made by the build (resources/CMakeLists.txt) as
;   makensis -WX -DVERSION=1.0.0.0 -DFILE_VERSION=1.0.0.0 -DEXE=<stripped kivo.exe>
;            -DICON=<kivo.ico> -DOUTFILE=<setup.exe> kivo-setup.nsi
; It installs for the current user only, so that it needs no administrator rights (traders
; often run on a locked-down server): the program goes under %LOCALAPPDATA%\Programs, the
; shortcut into the user's own Start menu, and every registry key under HKCU. The uninstaller
; removes exactly what this added and nothing Kivo wrote later: kivo.ini beside kivo.exe, and
; %APPDATA%\Kivo with its settings and journal, stay.

!macro Require name
    !ifndef ${name}
        !error "${name} is not defined"
    !endif
!macroend
!insertmacro Require VERSION
!insertmacro Require FILE_VERSION
!insertmacro Require EXE
!insertmacro Require ICON
!insertmacro Require OUTFILE

Unicode true
; kivo.exe is x64 only; a 64-bit installer also runs under a Wine without its 32-bit part.
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kivo"
!define PROGID "Kivo.Project"

Name "Kivo"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Kivo"
; Installing again, for an update, goes where the first install went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

; The installer's own version block, like kivo.exe's: the version, and no text.
VIProductVersion "${FILE_VERSION}"
VIFileVersion "${FILE_VERSION}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\kivo.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Tells Explorer that an association changed, so that .kvo files show their icon at once.
; A running Kivo holds kivo.exe, which can then be neither replaced nor removed: this stops
; before anything is changed rather than leave an old kivo.exe or half an installation behind.
; Silent, it stops at once, and the installer exits with a non-zero code.
!macro RemoveKivoExe
    ClearErrors
    Delete "$INSTDIR\kivo.exe"
    ${While} ${Errors}
        ${If} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
                "Kivo is running. Close it, then choose Retry." /SD IDCANCEL IDCANCEL`
            Abort
        ${EndIf}
        ClearErrors
        Delete "$INSTDIR\kivo.exe"
    ${EndWhile}
!macroend

!macro NotifyAssociations
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
!macroend

Section
    !insertmacro RemoveKivoExe
    ; A profile where nothing was installed per user yet has no %LOCALAPPDATA%\Programs: the
    ; uninstaller removes the folder again, when empty, if this made it.
    ${GetParent} "$INSTDIR" $0
    ${IfNot} ${FileExists} "$0\*.*"
        WriteRegStr HKCU "${UNINSTALL_KEY}" "CreatedParentFolder" "$0"
    ${EndIf}
    SetOutPath "$INSTDIR"
    File "/oname=kivo.exe" "${EXE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\Kivo.lnk" "$INSTDIR\kivo.exe"

    WriteRegStr HKCU "Software\Classes\.kvo" "" "${PROGID}"
    WriteRegStr HKCU "Software\Classes\${PROGID}" "" "Kivo project"
    WriteRegStr HKCU "Software\Classes\${PROGID}\DefaultIcon" "" "$INSTDIR\kivo.exe,0"
    WriteRegStr HKCU "Software\Classes\${PROGID}\shell\open\command" "" \
        '"$INSTDIR\kivo.exe" "%1"'

    ; Installed apps: the publisher is empty, as in kivo.exe's version block.
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Kivo"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kivo.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" ""
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

    !insertmacro NotifyAssociations
SectionEnd

; NSIS runs the uninstaller from a copy in the temp folder, so that the installed one can be
; removed, and leaves that copy for Windows to delete at the next restart, which a user without
; administrator rights may not ask for. So this copy starts itself once more, under a cmd that
; waits for it and then removes the copy's folder; it does not when a path holds a character that
; cmd would take for its own. Started from the installed folder (with _?=), it has no copy to
; remove and just goes on.
Function un.onInit
    ClearErrors
    ${GetOptions} $CMDLINE "/STAGED" $0
    ${IfNot} ${Errors}
    ${OrIf} $EXEDIR == $INSTDIR
        Return
    ${EndIf}
    ${StrFilter} "$EXEDIR$INSTDIR" "" "" '&|<>^%"' $0
    StrLen $0 $0
    StrLen $1 "$EXEDIR$INSTDIR"
    ${If} $0 != $1
        Return
    ${EndIf}
    StrCpy $0 ""
    ${If} ${Silent}
        StrCpy $0 " /S"
    ${EndIf}
    ; cmd and the copy inherit this working folder; Windows removes no folder that is one.
    SetOutPath "$TEMP"
    ExecShell "" "$SYSDIR\cmd.exe" \
        '/c start "" /wait "$EXEPATH" /STAGED$0 _?=$INSTDIR& rd /s /q "$EXEDIR"' SW_HIDE
    Quit
FunctionEnd

Section "Uninstall"
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "CreatedParentFolder"
    !insertmacro RemoveKivoExe
    Delete "$INSTDIR\uninstall.exe"
    ; Only when empty: a kivo.ini that Kivo keeps beside itself stays, and so does its folder.
    RMDir "$INSTDIR"
    ${If} $1 != ""
        RMDir "$1"
    ${EndIf}

    Delete "$SMPROGRAMS\Kivo.lnk"

    ; .kvo is left alone when another program has taken it over since.
    ReadRegStr $0 HKCU "Software\Classes\.kvo" ""
    ${If} $0 == "${PROGID}"
        DeleteRegValue HKCU "Software\Classes\.kvo" ""
        DeleteRegKey /ifempty HKCU "Software\Classes\.kvo"
    ${EndIf}
    DeleteRegKey HKCU "Software\Classes\${PROGID}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    !insertmacro NotifyAssociations
SectionEnd
