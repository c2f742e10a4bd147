; A Quillane installer whose uninstaller shows the uninstall notice before it
; removes anything.
;
;   ISCC /DNoticeExe=path\to\UninstallNotice.exe example.iss
;
; NoticeExe defaults to UninstallNotice.exe beside this script; the include
; is found beside it too (or add its folder with /I).

#ifndef NoticeExe
  #define NoticeExe "UninstallNotice.exe"
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
