; The suite's real Inno Setup client: a Quillane installer, in English and
; German, whose uninstaller calls the notice through the include from the
; event function that NoticeFrom names (CurUninstallStepChanged,
; InitializeUninstall or DeinitializeUninstall); from CurUninstallStepChanged
; at the step that NoticeStep names (usUninstall unless defined). With
; NoticeMissing defined, the program that it calls was never installed; with
; NoticeKept defined, the uninstall leaves the program where it is, so that
; it can still be called once the other files are gone; with NoticeCopied
; defined, the uninstall copies the program into {tmp}, Inno's own temporary
; folder, before it removes the files, and calls that copy. Wherever the
; notice is, CurUninstallStepChanged(usUninstall) checks, after any notice
; there, that nothing of the install folder is in use, and aborts on cancel.
; Beside the notice it installs QuillaneExe as Quillane.exe, a stand-in for
; Quillane that the suite runs. With NoticeMutex defined, the uninstaller
; first checks Inno's AppMutex, the mutex that the stand-in creates.
;
; Each call writes what the uninstaller saw to the file that the environment
; variable NOTICE_E2E_REPORT names, one "key=value" a line: the uninstall
; window's caption before and after the call (empty where there is no window,
; not yet or no longer), and the result; and what the check gave, with the
; author's /close where the environment variable NOTICE_E2E_CLOSE is set.
;
; With Upgrade defined, the installer is version 2: before it installs, it
; runs the installed version's uninstaller from the UninstallString in the
; registry, very silently, as Inno authors upgrade, and it marks its own
; install with upgraded.txt.
;
;   ISCC /DNoticeExe=UninstallNotice.exe /DCheckExe=FilesInUse.exe /DQuillaneExe=quillane.exe
;        /DNoticeFrom=CurUninstallStepChanged
;        [/DNoticeStep=usPostUninstall] [/DNoticeMissing] [/DNoticeKept] [/DUpgrade]
;        [/DNoticeMutex]
;        /Ooutdir /Fsetup inno-client.iss

#include "UninstallNotice.iss"

[Setup]
AppId=Quillane
AppName=Quillane
#ifdef Upgrade
AppVersion=2.0
#else
AppVersion=1.0
#endif
DefaultDirName={autopf}\Quillane
DisableProgramGroupPage=yes
ArchitecturesAllowed=x64compatible
ArchitecturesInstallIn64BitMode=x64compatible
#ifdef NoticeMutex
AppMutex=QuillaneStandIn
#endif

[Languages]
Name: "english"; MessagesFile: "compiler:Default.isl"
Name: "german"; MessagesFile: "compiler:Languages\German.isl"

[CustomMessages]
german.UninstallNotice_Language=$0407

[Files]
#ifdef NoticeKept
Source: "{#NoticeExe}"; DestDir: "{app}"; DestName: "UninstallNotice.exe"; Flags: uninsneveruninstall
#else
Source: "{#NoticeExe}"; DestDir: "{app}"; DestName: "UninstallNotice.exe"
#endif
Source: "{#CheckExe}"; DestDir: "{app}"; DestName: "FilesInUse.exe"
Source: "{#QuillaneExe}"; DestDir: "{app}"; DestName: "Quillane.exe"

[UninstallDelete]
Type: files; Name: "{app}\upgraded.txt"

[Code]
#ifdef NoticeMissing
  #define Program "{app}\NotInstalled.exe"
#elif defined(NoticeCopied)
  #define Program "{tmp}\UninstallNotice.exe"
#else
  #define Program "{app}\UninstallNotice.exe"
#endif
#ifndef NoticeStep
  #define NoticeStep "usUninstall"
#endif

procedure ReportLine(const Line: String);
var
  Report: String;
begin
  Report := GetEnv('NOTICE_E2E_REPORT');
  if Report <> '' then
    SaveStringToFile(Report, Line + #13#10, True);
end;

var
  HasWindow: Boolean;

procedure InitializeUninstallProgressForm;
begin
  HasWindow := True;
end;

// Inno frees the window as soon as usUninstall ends.
<event('CurUninstallStepChanged')>
procedure WindowFreed(CurUninstallStep: TUninstallStep);
begin
  if (CurUninstallStep = usPostUninstall) or (CurUninstallStep = usDone) then
    HasWindow := False;
end;

<event('DeinitializeUninstall')>
procedure WindowGone;
begin
  HasWindow := False;
end;

function WindowCaption: String;
begin
  Result := '';
  if HasWindow then
    Result := UninstallProgressForm.Caption;
end;

procedure CallNotice;
var
  Outcome: String;
begin
  ReportLine('before=' + WindowCaption);
  Outcome := UninstallNotice(ExpandConstant('{#Program}'));
  ReportLine('result=' + Outcome);
  ReportLine('after=' + WindowCaption);
#ifdef NoticeCopied
  ReportLine('copy=' + ExpandConstant('{#Program}'));
#endif
end;

#if NoticeFrom == "InitializeUninstall"
function InitializeUninstall: Boolean;
begin
  CallNotice;
  Result := True;
end;
#elif NoticeFrom == "DeinitializeUninstall"
procedure DeinitializeUninstall;
begin
  CallNotice;
end;
#elif NoticeFrom != "CurUninstallStepChanged"
  #error NoticeFrom is CurUninstallStepChanged, InitializeUninstall or DeinitializeUninstall
#endif

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
var
  Check, Options: String;
begin
#if NoticeFrom == "CurUninstallStepChanged"
#ifdef NoticeCopied
  // Before the files go: {tmp} goes with the uninstaller.
  if CurUninstallStep = usUninstall then
    FileCopy(ExpandConstant('{app}\UninstallNotice.exe'), ExpandConstant('{tmp}\UninstallNotice.exe'), False);
#endif
  if CurUninstallStep = {#NoticeStep} then
    CallNotice;
#endif
  // Nothing goes while something of the folder is in use.
  if CurUninstallStep = usUninstall then
  begin
    // The author's /close, where the environment asks for it.
    Options := '';
    if GetEnv('NOTICE_E2E_CLOSE') <> '' then
      Options := '/close';
    Check := UninstallNoticeCheck(ExpandConstant('{app}\FilesInUse.exe'),
      ExpandConstant('{app}'), Options);
    ReportLine('check=' + Check);
    if Check = 'cancel' then
      Abort;
  end;
end;

#ifdef Upgrade
// As Inno authors upgrade: the installed version's uninstaller runs very
// silently from its UninstallString, and the install waits for it.
procedure CurStepChanged(CurStep: TSetupStep);
var
  Uninstaller: String;
  Code: Integer;
begin
  if CurStep = ssInstall then
  begin
    if RegQueryStringValue(HKA, 'Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillane_is1',
      'UninstallString', Uninstaller) then
      Exec('>', Uninstaller + ' /VERYSILENT /SUPPRESSMSGBOXES /NORESTART', '', SW_HIDE,
        ewWaitUntilTerminated, Code);
  end
  else if CurStep = ssPostInstall then
    SaveStringToFile(ExpandConstant('{app}\upgraded.txt'), 'upgraded', False);
end;
#endif
