; The suite's real client: a Quillane installer whose uninstaller calls the
; notice through the include, from the place that NOTICE_FROM names (section,
; un.onGUIInit, un.onInit, un.NoticePage (the create function of a first
; custom page), or un.onUninstSuccess or un.onGUIEnd with the program copied
; into $PLUGINSDIR first), with one classic uninstall page or, with MUI2
; defined, Modern UI 2's confirmation and uninstall pages (where un.onGUIInit
; is Modern UI 2's own, through MUI_CUSTOMFUNCTION_UNGUIINIT). With
; NOTICE_MISSING, the program that it calls was never installed. Wherever
; the notice is, the uninstall section checks that nothing of the install
; folder is in use before it removes anything, and aborts on cancel. Beside
; the notice it installs QUILLANE_EXE as Quillane.exe, a stand-in for
; Quillane that the suite runs. The uninstaller speaks English, or German
; where the environment variable NOTICE_E2E_GERMAN is set; where
; NOTICE_E2E_CLOSE is set, the check gets the author's /close.
;
; Each call writes what the uninstaller saw to the file that the environment
; variable NOTICE_E2E_REPORT names, one "key=value" a line: the window's
; title before and after the call, the result, the error flag, and whether
; the registers and the stack came back as they were; and what the check
; gave, with its error flag and the registers.
;
; With UPGRADE, the installer first runs the uninstaller of the version that
; is installed, silently and in place, as NSIS installers upgrade, and marks
; its own install with upgraded.txt.
;
;   makensis -X"Target amd64-unicode" -DNOTICE_EXE=UninstallNotice.exe
;            -DCHECK_EXE=FilesInUse.exe -DQUILLANE_EXE=quillane.exe
;            -DNOTICE_FROM=section [-DMUI2] [-DNOTICE_MISSING] [-DUPGRADE]
;            -DOUTFILE=setup.exe nsis-client.nsi

!include "LogicLib.nsh"
!include "UninstallNotice.nsh"
!ifdef MUI2
  !if "${NOTICE_FROM}" == "un.onGUIInit"
    ; Modern UI 2 defines un.onGUIInit itself; its hook is the way in.
    !define MUI_CUSTOMFUNCTION_UNGUIINIT un.NoticeGUIInit
  !endif
  !include "MUI2.nsh"
!endif

Name "Quillane"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Quillane"
RequestExecutionLevel admin

; Called after the files are gone: from the copy that the uninstall section
; puts where the uninstaller cleans up itself.
!if "${NOTICE_FROM}" == "un.onUninstSuccess"
  !define NOTICE_COPIED
!else if "${NOTICE_FROM}" == "un.onGUIEnd"
  !define NOTICE_COPIED
!endif

!ifdef NOTICE_MISSING
  !define PROGRAM "$INSTDIR\NotInstalled.exe"
!else ifdef NOTICE_COPIED
  !define PROGRAM "$PLUGINSDIR\UninstallNotice.exe"
!else
  !define PROGRAM "$INSTDIR\UninstallNotice.exe"
!endif

Page instfiles
!ifdef MUI2
  !insertmacro MUI_UNPAGE_CONFIRM
  !insertmacro MUI_UNPAGE_INSTFILES
  !insertmacro MUI_LANGUAGE "English"
  !insertmacro MUI_LANGUAGE "German"
!else
  !if "${NOTICE_FROM}" == "un.NoticePage"
    ; The create function of a first custom page.
    UninstPage custom un.NoticePage
  !endif
  UninstPage instfiles
  LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
  LoadLanguageFile "${NSISDIR}\Contrib\Language files\German.nlf"
!endif

Var Report
Var File
Var Before
Var Result
Var Check
Var CheckOptions

Section "Quillane"
  !ifdef UPGRADE
    ; As NSIS installers upgrade: the installed version's uninstaller runs
    ; silently and in place (_?=), and the install waits for it; before
    ; SetOutPath, whose current directory would hold the folder.
    IfFileExists "$INSTDIR\Uninstall.exe" 0 +2
      ExecWait '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
  !endif
  SetOutPath "$INSTDIR"
  File "/oname=UninstallNotice.exe" "${NOTICE_EXE}"
  File "/oname=FilesInUse.exe" "${CHECK_EXE}"
  File "/oname=Quillane.exe" "${QUILLANE_EXE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  !ifdef UPGRADE
    FileOpen $File "$INSTDIR\upgraded.txt" w
    FileWrite $File "upgraded"
    FileClose $File
  !endif
SectionEnd

!macro ReportLine LINE
  ${If} $Report != ""
    FileOpen $File $Report a
    FileSeek $File 0 END
    FileWrite $File "${LINE}$\r$\n"
    FileClose $File
  ${EndIf}
!macroend

; Calls the notice with every register and the stack in a known state, and
; reports what came back.
!macro CallNotice
  ReadEnvStr $Report NOTICE_E2E_REPORT
  StrCpy $Before ""
  ${If} $HWNDPARENT != 0
    System::Call 'user32::GetWindowText(p $HWNDPARENT, t .s, i ${NSIS_MAX_STRLEN})'
    Pop $Before
  ${EndIf}
  !insertmacro ReportLine "before=$Before"

  StrCpy $0 "r0"
  StrCpy $1 "r1"
  StrCpy $2 "r2"
  StrCpy $3 "r3"
  StrCpy $4 "r4"
  StrCpy $5 "r5"
  StrCpy $6 "r6"
  StrCpy $7 "r7"
  StrCpy $8 "r8"
  StrCpy $9 "r9"
  StrCpy $R0 "R0"
  StrCpy $R9 "R9"
  Push "sentinel"
  ; The flag must say what the call did, whatever it said before.
  SetErrors

  ${UninstallNotice} "${PROGRAM}" $Result

  ${If} ${Errors}
    !insertmacro ReportLine "errors=1"
  ${Else}
    !insertmacro ReportLine "errors=0"
  ${EndIf}
  Pop $R1
  !insertmacro ReportLine "stack=$R1"
  !insertmacro ReportLine "registers=$0,$1,$2,$3,$4,$5,$6,$7,$8,$9,$R0,$R9"
  !insertmacro ReportLine "result=$Result"
  ${If} $HWNDPARENT != 0
    System::Call 'user32::GetWindowText(p $HWNDPARENT, t .s, i ${NSIS_MAX_STRLEN})'
    Pop $R1
    !insertmacro ReportLine "after=$R1"
  ${Else}
    !insertmacro ReportLine "after="
  ${EndIf}
!macroend

; The language, as an uninstaller that remembers the install's language
; sets it in un.onInit.
Function un.onInit
  ReadEnvStr $0 NOTICE_E2E_GERMAN
  ${If} $0 != ""
    StrCpy $LANGUAGE ${LANG_GERMAN}
  ${EndIf}
  !if "${NOTICE_FROM}" == "un.onInit"
    !insertmacro CallNotice
  !endif
FunctionEnd

!if "${NOTICE_FROM}" == "un.onInit"
!else if "${NOTICE_FROM}" == "un.onGUIInit"
  !ifdef MUI2
    Function un.NoticeGUIInit
  !else
    Function un.onGUIInit
  !endif
    !insertmacro CallNotice
  FunctionEnd
!else if "${NOTICE_FROM}" == "un.NoticePage"
  Function un.NoticePage
    !insertmacro CallNotice
  FunctionEnd
!else ifdef NOTICE_COPIED
  Function ${NOTICE_FROM}
    !insertmacro CallNotice
    !insertmacro ReportLine "copy=${PROGRAM}"
  FunctionEnd
!else if "${NOTICE_FROM}" != "section"
  !error "NOTICE_FROM is section, un.onGUIInit, un.onInit, un.NoticePage, un.onUninstSuccess or un.onGUIEnd, not ${NOTICE_FROM}"
!endif

Section "Uninstall"
  ; As many scripts do: the folder becomes the uninstaller's own current
  ; directory, which the check moves out of it.
  SetOutPath "$INSTDIR"
  !if "${NOTICE_FROM}" == "section"
    !insertmacro CallNotice
  !else ifdef NOTICE_COPIED
    InitPluginsDir
    CopyFiles /SILENT "$INSTDIR\UninstallNotice.exe" "$PLUGINSDIR"
  !endif

  ; Nothing goes while something of the folder is in use.
  ReadEnvStr $Report NOTICE_E2E_REPORT
  StrCpy $0 "r0"
  StrCpy $1 "r1"
  StrCpy $2 "r2"
  StrCpy $3 "r3"
  StrCpy $4 "r4"
  SetErrors
  ; The author's /close, where the environment asks for it.
  ReadEnvStr $CheckOptions NOTICE_E2E_CLOSE
  ${If} $CheckOptions != ""
    StrCpy $CheckOptions "/close"
  ${EndIf}
  ${UninstallNoticeCheck} "$INSTDIR\FilesInUse.exe" "$INSTDIR" "$CheckOptions" $Check
  ${If} ${Errors}
    !insertmacro ReportLine "check-errors=1"
  ${Else}
    !insertmacro ReportLine "check-errors=0"
  ${EndIf}
  !insertmacro ReportLine "check-registers=$0,$1,$2,$3,$4"
  !insertmacro ReportLine "check=$Check"
  ${If} $Check == "cancel"
    Abort
  ${EndIf}

  Delete "$INSTDIR\UninstallNotice.exe"
  Delete "$INSTDIR\FilesInUse.exe"
  Delete "$INSTDIR\Quillane.exe"
  Delete "$INSTDIR\Uninstall.exe"
  Delete "$INSTDIR\upgraded.txt"
  RMDir "$INSTDIR"
  SetAutoClose true
SectionEnd
