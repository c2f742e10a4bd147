// For a picture of what the user sees: the example installer of an installer
// system (or, for "nsis-guiinit", the suite's client that calls the notice
// from un.onGUIInit) is installed silently and its uninstaller run as a user
// runs it, until the notice is up. The box stays until
// the signal file appears (the screenshot is taken); then the uninstall is
// finished, so that nothing is left behind.
#include "suite.h"

#include <string.h>

namespace
{

const DWORD Timeout = 30000;

// Says why there is no box, and gives the driver's exit code.
int Fail(const char *what, int code = 1)
{
    Out("no box: %s\n", what);
    return code;
}

} // namespace

int RunPicture(const char *system, const char *signalPath)
{
    Scenario = "picture";
    const bool inno = !strcmp(system, "inno");
    const bool guiInit = !strcmp(system, "nsis-guiinit");
    if (!inno && !guiInit && strcmp(system, "nsis"))
        return Fail("the installer system is nsis, nsis-guiinit or inno", 2);
    const std::string folder = inno ? InnoFolder() : NsisFolder();
    const char *setup = guiInit ? "client-guiinit.exe" : "example.exe";
    // Where a user's Quillane would be, so that the picture shows that path.
    const std::string installed = "C:\\Program Files\\Quillane";
    RemoveInstall(installed);
    std::string installing = RunToEnd(
        "\"" + folder + setup + "\" " +
            (inno ? "/VERYSILENT /SUPPRESSMSGBOXES /LANG=english \"/DIR=" + installed + "\""
                  : "/S /D=" + installed),
        Timeout);
    if (installing != "exit code 0")
        return Fail(("the example did not install: " + installing).c_str());

    std::string uninstaller = installed + (inno ? "\\unins000.exe" : "\\Uninstall.exe");
    PROCESS_INFORMATION pi = StartNotice("", uninstaller.c_str());
    if (!pi.hProcess)
        return Fail("the uninstaller did not start");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // Yes to Inno's question; NSIS's confirmation page has an Uninstall
    // button. From un.onGUIInit the notice comes before any page.
    if (!inno && !guiInit && !PressUninstallerButton(Timeout))
        return Fail("no confirmation page");
    HWND box = NULL;
    PumpUntil(
        [&box, inno]
        {
            if (HWND question = inno ? UninstallerBox() : NULL)
                AnswerUninstallerBox(question);
            return (box = NoticeBox()) != NULL;
        },
        Timeout);
    if (!box)
        return Fail("the notice did not show");
    Out("box up, owned by %s (%s)\n", Describe(GetWindow(box, GW_OWNER)).c_str(),
        ClassName(GetWindow(box, GW_OWNER)).c_str());

    PumpUntil([signalPath] { return Exists(signalPath); }, 60000);
    DismissBox(box);
    // Until the files are gone: Inno's closing message answered, or NSIS's
    // last page closed.
    bool closed = !inno;
    bool gone = PumpUntil(
        [&]
        {
            if (HWND message = inno ? UninstallerBox() : NULL)
                closed = AnswerUninstallerBox(message).rfind("OK", 0) == 0;
            return !Exists(installed) && closed;
        },
        Timeout);
    if (!inno && PumpUntil([] { return UninstallerWindow() != NULL; }, 2000))
        PressUninstallerButton(Timeout);
    Out("%s\n", gone ? "uninstalled" : "the uninstall did not finish");
    return gone ? 0 : 1;
}
