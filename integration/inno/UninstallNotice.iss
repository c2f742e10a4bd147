// -- UninstallNotice.iss --
//
// Shows the Quillane uninstall notice (UninstallNotice.exe) from an Inno Setup
// uninstaller and waits until the user has dismissed it.
//
// Usage in script: include it at the very top of your script, or at the top
// of your [Code] section, never inside another section: it opens a [Code]
// section of its own, so whatever follows it is code until the next section
// header. Then call it from an uninstall event function:
//
//   #include "UninstallNotice.iss"
//
//   procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
//   begin
//     if CurUninstallStep = usUninstall then
//       UninstallNotice(ExpandConstant('{app}\UninstallNotice.exe'));
//   end;
//
// function UninstallNotice(const Filename: String): String;
// returns one of:
//   '0'       the user has dismissed the notice (its exit code, as text);
//   'silent'  the uninstaller runs silently (/SILENT or /VERYSILENT, as an
//             upgrade or a scripted removal runs it): nobody would read the
//             notice, so nothing is started and the window is left alone;
//             closing the programs is then the job of whoever runs the
//             uninstall;
//   'error'   the program could not be started; the uninstall goes on.
//
// The uninstall window exists from InitializeUninstallProgressForm until the
// end of CurUninstallStepChanged(usUninstall), the place to call it. There
// its caption is set to exactly 'Quillane Uninstall' while the notice runs,
// whatever the uninstaller's language, so that the notice is owned by it and
// modal to it; the caption that it had is put back afterwards. Called
// before (InitializeUninstall, usAppMutexCheck) or after (usPostUninstall,
// usDone, DeinitializeUninstall), the notice stands on its own.
//
// The program is 64-bit: on a Windows that cannot run x64 programs the
// result is 'error' (ArchitecturesAllowed=x64compatible keeps the product
// off such a Windows in the first place).
//
// The notice only tells. To make sure that Quillane is closed before
// anything is removed, check the install folder right after it, and abort
// on cancel (Abort ends the uninstall at usUninstall, nothing removed):
//
//     if not UninstallNoticeCheck(ExpandConstant('{app}')) then
//       Abort;
//
// function UninstallNoticeCheck(const Folder: String): Boolean;
// returns True when no file of the folder (or of its subfolders) is in use
// by another process, at once or after the user closed it and chose Retry;
// False when a file is in use and the user chose Cancel, or the uninstall
// runs silently and nobody can be asked. A file is in use while it cannot be
// opened for writing with no sharing (error 32 or 33): a running program or
// a loaded DLL of the folder, or a file that another process holds open.
// The uninstaller's own files ({uninstallexe}, and its .dat and .msg beside
// it) are left out. While a file is in use, the user is asked to close
// Quillane, in the custom message UninstallNotice_InUse (%1 is the file's
// path): English for every language, unless you give it for one, prefixed
// with the Name of its [Languages] entry. German comes with the include, as
// the preprocessor's UninstallNotice_InUse_German: give it to your German
// entry, such as "german", in [CustomMessages] (see the guide).
//
// Besides UninstallNotice and UninstallNoticeCheck, the include adds only
// names that begin with UninstallNotice_, and its own
// InitializeUninstallProgressForm, CurUninstallStepChanged and
// DeinitializeUninstall through event attributes, so that your own event
// functions stay yours.

#ifndef UNINSTALLNOTICE_INCLUDED
#define UNINSTALLNOTICE_INCLUDED

// The question while a file of the install folder is in use, in German, for
// an entry of your own (see above).
#define UninstallNotice_InUse_German "Quillane wird noch ausgeführt, oder ein anderes Programm hat eine seiner Dateien geöffnet, daher kann es noch nicht deinstalliert werden.%n%nSchließen Sie Quillane und versuchen Sie es dann erneut. Wenn Sie abbrechen, wird nichts entfernt, und Quillane bleibt installiert.%n%nIn Verwendung: %1"

[CustomMessages]
UninstallNotice_InUse=Quillane is still running, or another program has one of its files open, so it cannot be uninstalled yet.%n%nClose Quillane, then try again. If you cancel, nothing is removed and Quillane stays installed.%n%nIn use: %1

[Code]
const
  // The caption that the notice looks for: exactly this, nothing before or
  // after, in every language.
  UninstallNotice_Title = 'Quillane Uninstall';

var
  UninstallNotice_HasWindow: Boolean;

// The uninstall window exists from here on, until Inno frees it as soon as
// usUninstall ends. Reading it before or after raises the runtime error
// "Could not call proc.", which try ... except does not catch: the user sees
// an error box, and the rest of the event function is skipped. Event
// attributes run before the main event function, so the author's own
// CurUninstallStepChanged(usPostUninstall) already sees the window gone.
<event('InitializeUninstallProgressForm')>
procedure UninstallNotice_WindowCreated;
begin
  UninstallNotice_HasWindow := True;
end;

<event('CurUninstallStepChanged')>
procedure UninstallNotice_WindowFreed(CurUninstallStep: TUninstallStep);
begin
  if (CurUninstallStep = usPostUninstall) or (CurUninstallStep = usDone) then
    UninstallNotice_HasWindow := False;
end;

<event('DeinitializeUninstall')>
procedure UninstallNotice_WindowGone;
begin
  UninstallNotice_HasWindow := False;
end;

function UninstallNotice(const Filename: String): String;
var
  Caption: String;
  Code: Integer;
begin
  // A silent uninstall never waits on a box.
  if UninstallSilent then
  begin
    Result := 'silent';
    Exit;
  end;

  if UninstallNotice_HasWindow then
  begin
    Caption := UninstallProgressForm.Caption;
    UninstallProgressForm.Caption := UninstallNotice_Title;
  end;
  try
    // Exec processes the window's messages while it waits, so the notice can
    // disable the window and be modal to it.
    if Exec(Filename, '', '', SW_SHOW, ewWaitUntilTerminated, Code) then
      Result := IntToStr(Code)
    else
    begin
      Log('Uninstall notice: cannot start ' + Filename + ': ' + SysErrorMessage(Code));
      Result := 'error';
    end;
  finally
    if UninstallNotice_HasWindow then
      UninstallProgressForm.Caption := Caption;
  end;
end;

const
  UninstallNotice_GenericRead = $80000000;
  UninstallNotice_GenericWrite = $40000000;
  UninstallNotice_OpenExisting = 3;
  UninstallNotice_InvalidHandle = -1;
  UninstallNotice_AccessDenied = 5;
  UninstallNotice_SharingViolation = 32;
  UninstallNotice_LockViolation = 33;
  UninstallNotice_DirectoryAttribute = $10;
  UninstallNotice_ReparsePointAttribute = $400;

function UninstallNotice_CreateFile(FileName: String; Access, Share: Cardinal; Security: Integer;
  Disposition, Flags: Cardinal; Template: Integer): Integer;
  external 'CreateFileW@kernel32.dll stdcall';
function UninstallNotice_CloseHandle(Handle: Integer): Boolean;
  external 'CloseHandle@kernel32.dll stdcall';

// Whether the file can be opened with no sharing, as the access says; if
// not, the error.
function UninstallNotice_OpenError(const Path: String; Access: Cardinal): Integer;
var
  Handle: Integer;
begin
  Handle := UninstallNotice_CreateFile(Path, Access, 0, 0, UninstallNotice_OpenExisting, 0, 0);
  if Handle = UninstallNotice_InvalidHandle then
    Result := DLLGetLastError
  else
  begin
    UninstallNotice_CloseHandle(Handle);
    Result := 0;
  end;
end;

// Opening for writing with no sharing fails with error 32 (or 33) while
// another process has the file open, or runs it as a program or DLL, whose
// image cannot be written. Opening changes nothing in the file. A read-only
// file refuses writing anyway (error 5): whether another process has it
// open, reading with no sharing tells.
function UninstallNotice_InUse(const Path: String): Boolean;
var
  Error: Integer;
begin
  Error := UninstallNotice_OpenError(Path, UninstallNotice_GenericWrite);
  if Error = UninstallNotice_AccessDenied then
    Error := UninstallNotice_OpenError(Path, UninstallNotice_GenericRead);
  Result := (Error = UninstallNotice_SharingViolation) or (Error = UninstallNotice_LockViolation);
end;

// The running uninstaller, and its log and messages beside it, are Inno's.
function UninstallNotice_IsUninstaller(const Path: String): Boolean;
begin
  Result := CompareText(ChangeFileExt(Path, ''),
    ChangeFileExt(ExpandConstant('{uninstallexe}'), '')) = 0;
end;

// The first file in use below the folder, or ''.
function UninstallNotice_FirstInUse(const Folder: String): String;
var
  Found: TFindRec;
  Path: String;
begin
  Result := '';
  if not FindFirst(AddBackslash(Folder) + '*', Found) then
    Exit;
  try
    repeat
      Path := AddBackslash(Folder) + Found.Name;
      // A folder is searched in turn, unless it only points elsewhere.
      if Found.Attributes and UninstallNotice_DirectoryAttribute <> 0 then
      begin
        if (Found.Name <> '.') and (Found.Name <> '..') and
          (Found.Attributes and UninstallNotice_ReparsePointAttribute = 0) then
          Result := UninstallNotice_FirstInUse(Path);
      end
      else if not UninstallNotice_IsUninstaller(Path) and UninstallNotice_InUse(Path) then
        Result := Path;
    until (Result <> '') or not FindNext(Found);
  finally
    FindClose(Found);
  end;
end;

function UninstallNoticeCheck(const Folder: String): Boolean;
var
  InUse: String;
begin
  repeat
    InUse := UninstallNotice_FirstInUse(Folder);
    Result := InUse = '';
    if Result then
      Exit;
    Log('Uninstall notice: in use: ' + InUse);
    // Nobody answers a silent uninstall: it must not wait, and removes
    // nothing.
    if UninstallSilent then
      Exit;
  until MsgBox(FmtMessage(CustomMessage('UninstallNotice_InUse'), [InUse]), mbError,
    MB_RETRYCANCEL) <> IDRETRY;
end;

#endif
