/*
_____________________________________________________________________________

                       Quillane Uninstall Notice Header
_____________________________________________________________________________

 Shows the Quillane uninstall notice (UninstallNotice.exe) from an NSIS
 uninstaller and waits until the user has dismissed it.

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
_____________________________________________________________________________
*/

!ifndef UNINSTALLNOTICE_INCLUDED

!verbose push 3
!define /IfNDef _UNINSTALLNOTICE_VERBOSE 3
!verbose ${_UNINSTALLNOTICE_VERBOSE}

!define UNINSTALLNOTICE_INCLUDED

!include Util.nsh
!include WinMessages.nsh

; The title that the notice looks for: exactly this, nothing before or after.
!define UNINSTALLNOTICE_TITLE "Quillane Uninstall"

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

	StrCpy $1 ""
	IntCmp $HWNDPARENT 0 UninstallNotice_run
	System::Call 'user32::GetWindowText(p $HWNDPARENT, t .r1, i ${NSIS_MAX_STRLEN})'
	SendMessage $HWNDPARENT ${WM_SETTEXT} 0 "STR:${UNINSTALLNOTICE_TITLE}"

	UninstallNotice_run:
	ClearErrors
	ExecWait '"$0"' $2
	IfErrors 0 +2
	StrCpy $2 "error"

	IntCmp $HWNDPARENT 0 +2
	SendMessage $HWNDPARENT ${WM_SETTEXT} 0 "STR:$1"

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

!verbose pop
!endif
