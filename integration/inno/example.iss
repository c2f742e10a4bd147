; A Quillane installer whose uninstaller shows the uninstall notice before it
; removes anything.
;
;   ISCC /DNoticeExe=path\to\UninstallNotice.exe
;        /DNotices=path\to\THIRD-PARTY-NOTICES.txt example.iss
;
; NoticeExe defaults to UninstallNotice.exe beside this script, and Notices
; to THIRD-PARTY-NOTICES.txt beside it (both come in every release); the
; include is found beside it too (or add its folder with /I).

#ifndef NoticeExe
  #define NoticeExe "UninstallNotice.exe"
#endif
#ifndef Notices
  #define Notices "THIRD-PARTY-NOTICES.txt"
#endif

[Setup]
AppId=Quillane
AppName=Quillane
AppVersion=1.0
DefaultDirName={autopf}\Quillane
DisableProgramGroupPage=yes
OutputBaseFilename=QuillaneSetup
; The notice is a 64-bit program.
ArchitecturesAllowed=x64compatible
ArchitecturesInstallIn64BitMode=x64compatible

[Files]
Source: "{#NoticeExe}"; DestDir: "{app}"; DestName: "UninstallNotice.exe"
; The licences of what the exe holds ask for their notices to come with it.
Source: "{#Notices}"; DestDir: "{app}"; DestName: "THIRD-PARTY-NOTICES.txt"

[Code]
#include "UninstallNotice.iss"

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
begin
  // First of all, ask the user to close Quillane and every Explorer window.
  // The notice is owned by the uninstall window while it is up.
  if CurUninstallStep = usUninstall then
    if UninstallNotice(ExpandConstant('{app}\UninstallNotice.exe')) = 'error' then
      Log('The uninstall notice could not be shown.');
end;
