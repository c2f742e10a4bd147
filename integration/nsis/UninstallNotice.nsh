/*
_____________________________________________________________________________

                       Quillane Uninstall Notice Header
_____________________________________________________________________________

 Shows the Quillane uninstall notice (UninstallNotice.exe) from an NSIS
 uninstaller and waits until the user has dismissed it; then makes sure,
 with the in-use check (FilesInUse.exe), that nothing in the install folder
 is in use before anything is removed.

 Usage in script:
 1. !include "UninstallNotice.nsh"
 2. [Section|Function]
      ${UninstallNotice} "$INSTDIR\UninstallNotice.exe" $var
    [SectionEnd|FunctionEnd]

 $var receives one of:
   0        the user has dismissed the notice (its exit code);
   silent   the uninstaller runs silently (/S, as an upgrade or a scripted
            removal runs it): nobody would read the notice, so nothing is
            started and the window is left alone; closing the programs is
            then the job of whoever runs the uninstall;
   error    the program could not be started; the error flag is set.
 The error flag is clear after 0 and silent.

 Where the uninstaller has a window ($HWNDPARENT is not 0), its title is set
 to exactly "Quillane Uninstall" while the notice runs, so that the notice is
 owned by it and modal to it, and the previous title is put back afterwards.
 Without a window (un.onInit, un.onGUIEnd) the notice stands on its own.
 Works in un.onInit, un.onGUIInit, the uninstall sections and
 un.onUninstSuccess, with Unicode and ANSI NSIS, for the x86 and amd64
 targets. Leaves every register and variable but $var as it was.

 ${UninstallNotice} is a macro that expands to many instructions: skip it
 with a label or ${If}, never with a relative jump (+N).
 UninstallNotice.exe is a 64-bit program: on a Windows that cannot run x64
 programs, $var holds error.

 The notice only tells. To make sure that Quillane is closed before anything
 is removed, check the install folder right after it, in the uninstall
 section, and abort on cancel:

      ${UninstallNoticeCheck} "$INSTDIR\FilesInUse.exe" "$INSTDIR" "" $var
      ${If} $var == "cancel"
        Abort   ; nothing removed; exit code 2
      ${EndIf}

 The third argument holds more of the check's arguments, as they stand on
 its command line, or nothing: /close for a silent uninstall that should
 close Quillane all the same, /skip="PATH" for a file or a folder that the
 uninstall keeps (see the guide). $var receives one of:
   free     nothing in the folder (or below it) is in use by another
            process, at once or after the user had it closed: the uninstall
            can go on;
   cancel   something is in use and the user chose Cancel, or the
            uninstaller runs silently and nobody can be asked (and /close
            closed not all of it); the error flag is set;
   error    the check could not be started or said its arguments were
            wrong: nothing was looked at; the error flag is set.
 While something is in use, the check names the programs that hold it and
 asks the user, over the uninstaller's window (titled as for the notice)
 and in its language ($LANGUAGE: English, or German): Continue closes them,
 Try Again looks again, Cancel gives cancel. For other languages or other
 words, define UNINSTALLNOTICE_INUSE_TEXT (%1: the programs' names, one a
 line) and UNINSTALLNOTICE_INUSE_PATHTEXT (%1: the path, where no program
 can be named) before the call, such as "$(QuillaneInUse)" with a
 LangString for every language. The running uninstaller ($EXEPATH, in the
 folder with _?=) is left out, and where the uninstaller's own current
 directory is in the folder (SetOutPath $INSTDIR), it moves to $TEMP first,
 so that the folder can go; $OUTDIR stays as it was.
_____________________________________________________________________________
*/

!ifndef UNINSTALLNOTICE_INCLUDED

!verbose push 3
!define /IfNDef _UNINSTALLNOTICE_VERBOSE 3
!verbose ${_UNINSTALLNOTICE_VERBOSE}

!define UNINSTALLNOTICE_INCLUDED

!include Util.nsh
!include WinMessages.nsh

; The title that the programs look for: exactly this, nothing before or
; after.
!define UNINSTALLNOTICE_TITLE "Quillane Uninstall"

; Runs the command line in $0 and waits for it, its exit code into $2, or
; error where it cannot start; meanwhile the uninstaller's window, if it has
; one, is titled as the programs look for it, and its own title (kept in $1)
; is put back after.
!macro UninstallNotice_RunTitled _LABEL
	StrCpy $1 ""
	IntCmp $HWNDPARENT 0 ${_LABEL}_run
	System::Call 'user32::GetWindowText(p $HWNDPARENT, t .r1, i ${NSIS_MAX_STRLEN})'
	SendMessage $HWNDPARENT ${WM_SETTEXT} 0 "STR:${UNINSTALLNOTICE_TITLE}"
	${_LABEL}_run:
	ClearErrors
	ExecWait '$0' $2
	IfErrors 0 +2
	StrCpy $2 "error"
	IntCmp $HWNDPARENT 0 +2
	SendMessage $HWNDPARENT ${WM_SETTEXT} 0 "STR:$1"
!macroend

!define UninstallNotice `!insertmacro UninstallNoticeCall`
!define un.UninstallNotice `!insertmacro UninstallNoticeCall`

!macro UninstallNoticeCall _PROGRAM _RESULT
	!verbose push
	!verbose ${_UNINSTALLNOTICE_VERBOSE}
	Push `${_PROGRAM}`
	${CallArtificialFunction} UninstallNotice_
	Pop ${_RESULT}
	!verbose pop
!macroend

!macro UninstallNotice_
	!verbose push
	!verbose ${_UNINSTALLNOTICE_VERBOSE}

	Exch $0	; the program
	Push $1	; the window's own title
	Push $2	; the result

	; A silent uninstall never waits on a box, as MessageBox /SD does not.
	StrCpy $2 "silent"
	IfSilent UninstallNotice_done
	StrCpy $0 '"$0"'
	!insertmacro UninstallNotice_RunTitled UninstallNotice

	UninstallNotice_done:
	ClearErrors
	StrCmp $2 "error" 0 +2
	SetErrors

	; Leave the exit code on the stack and the registers as they were.
	Exch $2
	Exch 2
	Pop $0
	Pop $1

	!verbose pop
!macroend

!define UninstallNoticeCheck `!insertmacro UninstallNoticeCheckCall`
!define un.UninstallNoticeCheck `!insertmacro UninstallNoticeCheckCall`

!macro UninstallNoticeCheckCall _PROGRAM _FOLDER _OPTIONS _RESULT
	!verbose push
	!verbose ${_UNINSTALLNOTICE_VERBOSE}
	Push `${_FOLDER}`
	!ifdef UNINSTALLNOTICE_INUSE_TEXT
		!define _UNINSTALLNOTICE_TEXT ` /text="${UNINSTALLNOTICE_INUSE_TEXT}"`
	!else
		!define _UNINSTALLNOTICE_TEXT ``
	!endif
	!ifdef UNINSTALLNOTICE_INUSE_PATHTEXT
		!define _UNINSTALLNOTICE_PATHTEXT ` /pathtext="${UNINSTALLNOTICE_INUSE_PATHTEXT}"`
	!else
		!define _UNINSTALLNOTICE_PATHTEXT ``
	!endif
	Push `"${_PROGRAM}" /skip="$EXEPATH"${_UNINSTALLNOTICE_TEXT}${_UNINSTALLNOTICE_PATHTEXT} ${_OPTIONS}`
	!undef _UNINSTALLNOTICE_TEXT
	!undef _UNINSTALLNOTICE_PATHTEXT
	${CallArtificialFunction} UninstallNoticeCheck_
	Pop ${_RESULT}
	!verbose pop
!macroend

!macro UninstallNoticeCheck_
	!verbose push
	!verbose ${_UNINSTALLNOTICE_VERBOSE}

	Exch $0	; the program and its arguments, then the whole command line
	Exch
	Exch $3	; the folder
	Push $1	; the window's own title
	Push $2	; the exit code, then the result
	Push $4	; the current directory

	; The uninstaller's own current directory in the folder would keep the
	; folder from going, and the check would ask the user about it.
	System::Call 'kernel32::GetCurrentDirectory(i ${NSIS_MAX_STRLEN}, t .r4)'
	StrLen $2 $3
	StrCpy $1 $4 $2
	StrCmp $1 $3 0 UninstallNoticeCheck_command
	StrCpy $1 $4 1 $2
	StrCmp $1 "" +2
	StrCmp $1 "\" 0 UninstallNoticeCheck_command
	System::Call 'kernel32::SetCurrentDirectory(t "$TEMP")'

	UninstallNoticeCheck_command:
	StrCpy $0 '$0 /language=$LANGUAGE'
	IfSilent 0 +2
	StrCpy $0 '$0 /silent'
	StrCpy $0 '$0 "$3"'
	!insertmacro UninstallNotice_RunTitled UninstallNoticeCheck

	; 0: free; 1: the user cancelled; 2: in use with nobody to ask.
	StrCmp $2 0 0 +3
	StrCpy $2 "free"
	Goto UninstallNoticeCheck_done
	StrCmp $2 1 +2
	StrCmp $2 2 0 +3
	StrCpy $2 "cancel"
	Goto UninstallNoticeCheck_done
	StrCpy $2 "error"

	UninstallNoticeCheck_done:
	ClearErrors
	StrCmp $2 "free" +2
	SetErrors

	; Leave the result on the stack and the registers as they were.
	StrCpy $0 $2
	Pop $4
	Pop $2
	Pop $1
	Pop $3
	Exch $0

	!verbose pop
!macroend

!verbose pop
!endif
