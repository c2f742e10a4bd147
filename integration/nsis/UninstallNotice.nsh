/*
_____________________________________________________________________________

                       Quillane Uninstall Notice Header
_____________________________________________________________________________

 Shows the Quillane uninstall notice (UninstallNotice.exe) from an NSIS
 uninstaller and waits until the user has dismissed it; then makes sure
 that nothing in the install folder is in use before anything is removed.

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

      ${UninstallNoticeCheck} "$INSTDIR" $var
      ${If} $var == "cancel"
        Abort   ; nothing removed; exit code 2
      ${EndIf}

 $var receives one of:
   free     no file of the folder (or of its subfolders) is in use by
            another process, at once or after the user closed it and chose
            Retry: the uninstall can go on;
   cancel   a file is in use and the user chose Cancel, or the uninstaller
            runs silently and nobody can be asked; the error flag is set.
 A file is in use while it cannot be opened for writing with no sharing
 (error 32 or 33): a running program or a loaded DLL of the folder, or a
 file that another process holds open. The running uninstaller ($EXEPATH,
 in the folder with _?=) is left out. While a file is in use, the user is
 asked, in the uninstaller's language, to close Quillane: Retry checks
 again, Cancel gives cancel. English, and German where the script loads it
 (LANG_GERMAN defined before the first call) and the uninstaller runs in it; for
 other languages, or other words, define UNINSTALLNOTICE_INUSE_TEXT before
 the call, such as "$(QuillaneInUse)" with a LangString for every language
 (UNINSTALLNOTICE_INUSE_ENGLISH and UNINSTALLNOTICE_INUSE_GERMAN hold ours).
 The path of the file in use follows the text.
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

; The question while a file of the install folder is in use; the path of
; the file follows it. ${U+...} keeps this file ASCII for every target.
!define UNINSTALLNOTICE_INUSE_ENGLISH "Quillane is still running, or another program has one of its files open, so it cannot be uninstalled yet.$\r$\n$\r$\nClose Quillane, then try again. If you cancel, nothing is removed and Quillane stays installed.$\r$\n$\r$\nIn use:"
!define UNINSTALLNOTICE_INUSE_GERMAN "Quillane wird noch ausgef${U+00FC}hrt, oder ein anderes Programm hat eine seiner Dateien ge${U+00F6}ffnet, daher kann es noch nicht deinstalliert werden.$\r$\n$\r$\nSchlie${U+00DF}en Sie Quillane und versuchen Sie es dann erneut. Wenn Sie abbrechen, wird nichts entfernt, und Quillane bleibt installiert.$\r$\n$\r$\nIn Verwendung:"

!define UninstallNoticeCheck `!insertmacro UninstallNoticeCheckCall`
!define un.UninstallNoticeCheck `!insertmacro UninstallNoticeCheckCall`

!macro UninstallNoticeCheckCall _FOLDER _RESULT
	!verbose push
	!verbose ${_UNINSTALLNOTICE_VERBOSE}
	Push `${_FOLDER}`
	${CallArtificialFunction} UninstallNoticeCheck_
	Pop ${_RESULT}
	!verbose pop
!macroend

!macro UninstallNoticeCheck_
	!verbose push
	!verbose ${_UNINSTALLNOTICE_VERBOSE}

	Exch $0	; the folder
	Push $1	; the file in use, or nothing
	Push $2	; a search's handle
	Push $3	; a name found
	Push $4	; the folder being searched
	Push $5	; a file's attributes, then an open handle, then the result
	Push $6	; the error of the open

	UninstallNoticeCheck_look:
	StrCpy $1 ""
	; The folders still to search, on the stack above a mark that no path
	; can be.
	Push "|"
	Push $0
	UninstallNoticeCheck_folder:
	Pop $4
	StrCmp $4 "|" UninstallNoticeCheck_looked
	ClearErrors
	FindFirst $2 $3 "$4\*"
	UninstallNoticeCheck_entry:
	IfErrors UninstallNoticeCheck_folderDone
	StrCmp $3 "." UninstallNoticeCheck_next
	StrCmp $3 ".." UninstallNoticeCheck_next
	; The uninstaller itself runs from here with _?=.
	StrCmp "$4\$3" $EXEPATH UninstallNoticeCheck_next
	Push "$4\$3"
	System::Call 'kernel32::GetFileAttributes(t s) i .r5'
	IntOp $6 $5 & 0x10	; a folder: searched in turn
	IntCmp $6 0 UninstallNoticeCheck_file
	IntOp $6 $5 & 0x400	; unless it only points elsewhere
	IntCmp $6 0 0 UninstallNoticeCheck_next UninstallNoticeCheck_next
	Push "$4\$3"
	Goto UninstallNoticeCheck_next

	UninstallNoticeCheck_file:
	; Opening for writing with no sharing fails with error 32 (or 33) while
	; another process has the file open, or runs it as a program or DLL,
	; whose image cannot be written. Opening changes nothing in the file.
	Push "$4\$3"
	System::Call 'kernel32::CreateFile(t s, i 0x40000000, i 0, p 0, i 3, i 0, p 0) p .r5 ?e'
	Pop $6
	IntPtrCmp $5 -1 UninstallNoticeCheck_notOpened
	System::Call 'kernel32::CloseHandle(p r5)'
	Goto UninstallNoticeCheck_next
	UninstallNoticeCheck_notOpened:
	; A read-only file refuses writing anyway (error 5): whether another
	; process has it open, reading with no sharing tells.
	IntCmp $6 5 0 UninstallNoticeCheck_judged UninstallNoticeCheck_judged
	Push "$4\$3"
	System::Call 'kernel32::CreateFile(t s, i 0x80000000, i 0, p 0, i 3, i 0, p 0) p .r5 ?e'
	Pop $6
	IntPtrCmp $5 -1 UninstallNoticeCheck_judged
	System::Call 'kernel32::CloseHandle(p r5)'
	Goto UninstallNoticeCheck_next
	UninstallNoticeCheck_judged:
	StrCmp $6 32 UninstallNoticeCheck_inUse
	StrCmp $6 33 UninstallNoticeCheck_inUse
	Goto UninstallNoticeCheck_next
	UninstallNoticeCheck_inUse:
	StrCpy $1 "$4\$3"

	UninstallNoticeCheck_next:
	StrCmp $1 "" 0 UninstallNoticeCheck_folderDone
	ClearErrors
	FindNext $2 $3
	Goto UninstallNoticeCheck_entry
	UninstallNoticeCheck_folderDone:
	FindClose $2
	StrCmp $1 "" UninstallNoticeCheck_folder
	; Found one: the folders still to search are dropped.
	UninstallNoticeCheck_drop:
	Pop $4
	StrCmp $4 "|" 0 UninstallNoticeCheck_drop

	; The result goes into $5, never $0: Retry looks at the folder in $0
	; again.
	UninstallNoticeCheck_looked:
	StrCpy $5 "free"
	StrCmp $1 "" UninstallNoticeCheck_done
	; Nobody answers a silent uninstall: it must not wait, and removes
	; nothing.
	StrCpy $5 "cancel"
	IfSilent UninstallNoticeCheck_done
	!ifdef UNINSTALLNOTICE_INUSE_TEXT
		StrCpy $2 "${UNINSTALLNOTICE_INUSE_TEXT}"
	!else
		StrCpy $2 "${UNINSTALLNOTICE_INUSE_ENGLISH}"
		!ifdef LANG_GERMAN
			StrCmp $LANGUAGE ${LANG_GERMAN} 0 +2
			StrCpy $2 "${UNINSTALLNOTICE_INUSE_GERMAN}"
		!endif
	!endif
	MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$2 $1" /SD IDCANCEL IDRETRY UninstallNoticeCheck_look

	UninstallNoticeCheck_done:
	StrCpy $0 $5
	ClearErrors
	StrCmp $0 "cancel" 0 +2
	SetErrors

	; Leave the result on the stack and the registers as they were.
	Pop $6
	Pop $5
	Pop $4
	Pop $3
	Pop $2
	Pop $1
	Exch $0

	!verbose pop
!macroend

!verbose pop
!endif
