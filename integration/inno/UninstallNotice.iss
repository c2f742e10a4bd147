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
// anything is removed, check the install folder right after it with the
// in-use check (FilesInUse.exe), and abort on cancel (Abort ends the
// uninstall at usUninstall, nothing removed):
//
//     if UninstallNoticeCheck(ExpandConstant('{app}\FilesInUse.exe'),
//       ExpandConstant('{app}'), '') = 'cancel' then
//       Abort;
//
// function UninstallNoticeCheck(const Filename, Folder, Options: String): String;
// Options holds more of the check's arguments, as they stand on its command
// line, or nothing: /skip="PATH" leaves out a file or a folder that the
// uninstall keeps (see the guide). It returns one of:
//   'free'    nothing in the folder (or below it) is in use by another
//             process, at once or after the user closed it and chose Retry;
//   'cancel'  something is in use and the user chose Cancel, or the
//             uninstall runs silently and nobody can be asked;
//   'error'   the check could not be started, or said that its arguments
//             were wrong: nothing was looked at (the log says why).
// While something is in use, the check asks the user, over the uninstall
// window (its caption set as for the notice) and in the uninstaller's
// language, to close Quillane: Retry looks again. English, and German where
// the custom message UninstallNotice_Language of the active language is
// German's language identifier, $0407 (see the guide); for other languages,
// give the check your own text: /text="..." in Options, %1 where what is in
// use goes. The uninstaller's own files ({uninstallexe}, and its .dat and
// .msg beside it) are left out.
//
// Besides UninstallNotice and UninstallNoticeCheck, the include adds only
// names that begin with UninstallNotice_, and its own
// InitializeUninstallProgressForm, CurUninstallStepChanged and
// DeinitializeUninstall through event attributes, so that your own event
// functions stay yours.

#ifndef UNINSTALLNOTICE_INCLUDED
#define UNINSTALLNOTICE_INCLUDED

[CustomMessages]
; The language of the check's question: ours are English ($0409) and German
; ($0407); give yours to each language's entry, such as
; german.UninstallNotice_Language=$0407.
UninstallNotice_Language=$0409

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

// Runs the program with these parameters and waits for it, with the uninstall
// window, where it exists, captioned as the programs look for it; True and
// the exit code, or False and the error.
function UninstallNotice_RunCaptioned(const Filename, Params: String; var Code: Integer): Boolean;
var
  Caption: String;
begin
  if UninstallNotice_HasWindow then
  begin
    Caption := UninstallProgressForm.Caption;
    UninstallProgressForm.Caption := UninstallNotice_Title;
  end;
  try
    // Exec processes the window's messages while it waits, so a box can
    // disable the window and be modal to it.
    Result := Exec(Filename, Params, '', SW_SHOW, ewWaitUntilTerminated, Code);
    if not Result then
      Log('Uninstall notice: cannot start ' + Filename + ': ' + SysErrorMessage(Code));
  finally
    if UninstallNotice_HasWindow then
      UninstallProgressForm.Caption := Caption;
  end;
end;

function UninstallNotice(const Filename: String): String;
var
  Code: Integer;
begin
  // A silent uninstall never waits on a box.
  if UninstallSilent then
    Result := 'silent'
  else if UninstallNotice_RunCaptioned(Filename, '', Code) then
    Result := IntToStr(Code)
  else
    Result := 'error';
end;

function UninstallNoticeCheck(const Filename, Folder, Options: String): String;
var
  Uninstaller, Params: String;
  Code: Integer;
begin
  Uninstaller := ExpandConstant('{uninstallexe}');
  Params := '/language=' + CustomMessage('UninstallNotice_Language') +
    ' /skip="' + Uninstaller + '" /skip="' + ChangeFileExt(Uninstaller, '.dat') +
    '" /skip="' + ChangeFileExt(Uninstaller, '.msg') + '" ' + Options;
  if UninstallSilent then
    Params := Params + ' /silent';
  Params := Params + ' "' + Folder + '"';
  if not UninstallNotice_RunCaptioned(Filename, Params, Code) then
    Code := -1;
  // 0: free; 1: the user cancelled; 2: in use with nobody to ask.
  case Code of
    0: Result := 'free';
    1, 2: Result := 'cancel';
  else
    Result := 'error';
  end;
  Log('Uninstall notice: the in-use check says ' + Result + ' (' + IntToStr(Code) + ')');
end;

#endif
