; A Quillane installer whose uninstaller shows the uninstall notice before it
; removes anything.
;
;   ISCC /DNoticeExe=path\to\UninstallNotice.exe /DCheckExe=path\to\FilesInUse.exe
;        /DNotices=path\to\THIRD-PARTY-NOTICES.txt example.iss
;
; NoticeExe defaults to UninstallNotice.exe beside this script, CheckExe to
; FilesInUse.exe beside it, and Notices to THIRD-PARTY-NOTICES.txt beside
; it (all three come in every release); the include is found beside it too
; (or add its folder with /I). The include comes at the very top, as the
; language of the check's question is given in [CustomMessages] below.

#include "UninstallNotice.iss"

#ifndef NoticeExe
  #define NoticeExe "UninstallNotice.exe"
#endif
#ifndef CheckExe
  #define CheckExe "FilesInUse.exe"
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
; The check asks in English for every language, and in German for this
; script's German entry, as its language identifier says.
german.UninstallNotice_Language=$0407

[Files]
Source: "{#NoticeExe}"; DestDir: "{app}"; DestName: "UninstallNotice.exe"
Source: "{#CheckExe}"; DestDir: "{app}"; DestName: "FilesInUse.exe"
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
    // Then make sure: while something in the folder is in use, the user
    // is asked to close Quillane; on cancel (or silently, with nobody to
    // ask) nothing is removed, and the uninstaller's exit code is not 0.
    if UninstallNoticeCheck(ExpandConstant('{app}\FilesInUse.exe'), ExpandConstant('{app}'),
      '') = 'cancel' then
      Abort;
  end;
end;
