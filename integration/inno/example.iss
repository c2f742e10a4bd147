; A Quillane installer whose uninstaller shows the uninstall notice before it
; removes anything.
;
;   ISCC /DNoticeExe=path\to\UninstallNotice.exe
;        /DNotices=path\to\THIRD-PARTY-NOTICES.txt example.iss
;
; NoticeExe defaults to UninstallNotice.exe beside this script, and Notices
; to THIRD-PARTY-NOTICES.txt beside it (both come in every release); the
; include is found beside it too (or add its folder with /I). The include
; comes at the very top, as its question's English and German texts are
; given in [CustomMessages] below.

#include "UninstallNotice.iss"

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

[Languages]
Name: "english"; MessagesFile: "compiler:Default.isl"
Name: "german"; MessagesFile: "compiler:Languages\German.isl"

[CustomMessages]
; The include asks in English for every language; German, for this
; script's German entry, comes with it.
german.UninstallNotice_InUse={#UninstallNotice_InUse_German}

[Files]
Source: "{#NoticeExe}"; DestDir: "{app}"; DestName: "UninstallNotice.exe"
; The licences of what the exe holds ask for their notices to come with it.
Source: "{#Notices}"; DestDir: "{app}"; DestName: "THIRD-PARTY-NOTICES.txt"

[Code]
procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
begin
  if CurUninstallStep = usUninstall then
  begin
    // First of all, ask the user to close Quillane and every Explorer
    // window. The notice is owned by the uninstall window while it is up.
    if UninstallNotice(ExpandConstant('{app}\UninstallNotice.exe')) = 'error' then
      Log('The uninstall notice could not be shown.');
    // Then make sure: while a file of the folder is in use, the user is
    // asked to close Quillane; on cancel (or silently, with nobody to ask)
    // nothing is removed, and the uninstaller's exit code is not 0.
    if not UninstallNoticeCheck(ExpandConstant('{app}')) then
      Abort;
  end;
end;
