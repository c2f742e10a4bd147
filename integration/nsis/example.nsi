; A Quillane installer whose uninstaller shows the uninstall notice before
; it removes anything.
;
;   makensis -DNOTICE_EXE=path/to/UninstallNotice.exe
;            -DCHECK_EXE=path/to/FilesInUse.exe example.nsi
;
; NOTICE_EXE defaults to UninstallNotice.exe beside this script, CHECK_EXE
; to FilesInUse.exe beside it, NOTICES to THIRD-PARTY-NOTICES.txt beside it
; (all three come in every release), and OUTFILE to QuillaneSetup.exe. Add -X"Target amd64-unicode" (or
; x86-unicode, x86-ansi) to choose the target.

!ifndef NOTICE_EXE
  !define NOTICE_EXE "UninstallNotice.exe"
!endif
!ifndef CHECK_EXE
  !define CHECK_EXE "FilesInUse.exe"
!endif
!ifndef NOTICES
  !define NOTICES "THIRD-PARTY-NOTICES.txt"
!endif
!ifndef OUTFILE
  !define OUTFILE "QuillaneSetup.exe"
!endif

!include "LogicLib.nsh"
!include "UninstallNotice.nsh"

Name "Quillane"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Quillane"
RequestExecutionLevel admin

Page directory
Page instfiles

UninstPage uninstConfirm
UninstPage instfiles

; The uninstaller speaks the user's language, where it is one of these; the
; check asks its question in the same language (English or German).
LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\German.nlf"

Section "Quillane"
  SetOutPath "$INSTDIR"
  File "/oname=UninstallNotice.exe" "${NOTICE_EXE}"
  File "/oname=FilesInUse.exe" "${CHECK_EXE}"
  ; The licences of what the exe holds ask for their notices to come with it.
  File "/oname=THIRD-PARTY-NOTICES.txt" "${NOTICES}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
SectionEnd

Section "Uninstall"
  ; First of all, ask the user to close Quillane and every Explorer window.
  ; The notice is owned by this window while it is up.
  ${UninstallNotice} "$INSTDIR\UninstallNotice.exe" $0
  ${If} $0 == "error"
    DetailPrint "The uninstall notice could not be shown."
  ${EndIf}
  ; Then make sure: while something in the folder is in use, the user is
  ; asked to close Quillane; on cancel (or silently, with nobody to ask)
  ; nothing is removed and the uninstaller ends with exit code 2.
  ${UninstallNoticeCheck} "$INSTDIR\FilesInUse.exe" "$INSTDIR" "" $0
  ${If} $0 == "cancel"
    Abort
  ${ElseIf} $0 == "error"
    DetailPrint "The in-use check could not run."
  ${EndIf}

  Delete "$INSTDIR\UninstallNotice.exe"
  Delete "$INSTDIR\FilesInUse.exe"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
