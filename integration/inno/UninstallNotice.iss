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
// Besides UninstallNotice, the include adds only names that begin with
// UninstallNotice_, and its own InitializeUninstallProgressForm,
// CurUninstallStepChanged and DeinitializeUninstall through event
// attributes, so that your own event functions stay yours.

#ifndef UNINSTALLNOTICE_INCLUDED
#define UNINSTALLNOTICE_INCLUDED

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

#endif
