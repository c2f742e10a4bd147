// For a picture of what the user sees: the example installer of an installer
// system (or, for "nsis-guiinit", the suite's client that calls the notice
// from un.onGUIInit) is installed silently and its uninstaller run as a user
// runs it, until the notice is up; or, for "nsis-question", "inno-question"
// and their "-german", until the question is up. The box stays until
// the signal file appears (the screenshot is taken); then the uninstall is
// finished, so that nothing is left behind.
#include "suite.h"

#include <string.h>

namespace
{

const DWORD Timeout = Bound(30000);

// Says why there is no box, and gives the driver's exit code.
int Fail(const char *what, int code = 1)
{
    Out("no box: %s\n", what);
    return code;
}

} // namespace

// The question, over the uninstaller of the suite's client that checks the
// folder in its uninstall section, while the stand-in Quillane runs from it;
// in German (NSIS: set in un.onInit; Inno: the install's language) or not.
// Once shot, the question is cancelled and Quillane closed and removed.
int RunQuestionPicture(bool inno, bool german, const char *signalPath)
{
    const std::string folder = inno ? InnoFolder() : NsisFolder();
    const std::string installed = "C:\\Program Files\\Quillane";
    RemoveInstall(installed);
    std::string installing = RunToEnd(
        "\"" + folder +
            (inno ? "client-step.exe\" /VERYSILENT /SUPPRESSMSGBOXES /LANG=" +
                        std::string(german ? "german" : "english") + " \"/DIR=" + installed + "\""
                  : "client-section.exe\" /S /D=" + installed),
        Timeout);
    if (installing != "exit code 0")
        return Fail(("the client did not install: " + installing).c_str());
    Busy busy;
    if (!BeginBusy(busy, installed, QuillaneRunning, "Quillane.exe"))
        return Fail("the stand-in for Quillane did not run");

    SetEnvironmentVariableA("NOTICE_E2E_GERMAN", german && !inno ? "1" : NULL);
    std::string uninstaller = installed + (inno ? "\\unins000.exe" : "\\Uninstall.exe");
    PROCESS_INFORMATION pi = StartNotice("", uninstaller.c_str());
    SetEnvironmentVariableA("NOTICE_E2E_GERMAN", NULL);
    if (!pi.hProcess)
        return Fail("the uninstaller did not start");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // Yes to Inno's confirmation, OK to the notice.
    HWND question = NULL;
    PumpUntil(
        [&]
        {
            if (HWND box = NoticeBox())
                DismissBox(box);
            else if ((question = QuestionBox()))
                return true;
            else if (HWND box = inno ? UninstallerBox() : NULL)
                AnswerUninstallerBox(box);
            return false;
        },
        Timeout);
    if (!question)
        return Fail("the question did not show");
    Out("box up: the question, owned by %s (%s)\n", Describe(GetWindow(question, GW_OWNER)).c_str(),
        ClassName(GetWindow(question, GW_OWNER)).c_str());

    PumpUntil([signalPath] { return Exists(signalPath); }, Bound(60000));
    AnswerQuestion(question, IDCANCEL);
    // NSIS's page waits for its Cancel button; Inno ends by itself.
    PumpUntil(
        []
        {
            HWND window = NsisWindow();
            if (window && IsWindowEnabled(GetDlgItem(window, IDCANCEL)))
                PostMessageA(GetDlgItem(window, IDCANCEL), BM_CLICK, 0, 0);
            return !window && !FindWindowA("TUninstallProgressForm", NULL);
        },
        Timeout);
    EndBusy(busy);
    std::string removing = RunToEnd(
        "\"" + uninstaller + "\" " + (inno ? "/VERYSILENT /SUPPRESSMSGBOXES" : "/S"), Timeout);
    bool gone = PumpUntil([&installed] { return !Exists(installed); }, Timeout);
    Out("%s\n", gone ? "uninstalled" : "the uninstall did not finish");
    return gone ? 0 : 1;
}

int RunPicture(const char *system, const char *signalPath)
{
    Scenario = "picture";
    const bool inno = !strncmp(system, "inno", 4);
    const bool guiInit = !strcmp(system, "nsis-guiinit");
    // The kind of picture, after the system's name.
    const char *kind = inno || !strncmp(system, "nsis", 4) ? system + 4 : "";
    if (!strcmp(kind, "-question") || !strcmp(kind, "-question-german"))
        return RunQuestionPicture(inno, !strcmp(kind, "-question-german"), signalPath);
    if (strcmp(system, "inno") && !guiInit && strcmp(system, "nsis"))
        return Fail("the installer system is nsis, nsis-guiinit, inno, or either's -question or "
                    "-question-german",
                    2);
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

    PumpUntil([signalPath] { return Exists(signalPath); }, Bound(60000));
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
    if (!inno && PumpUntil([] { return UninstallerWindow() != NULL; }, Bound(2000)))
        PressUninstallerButton(Timeout);
    Out("%s\n", gone ? "uninstalled" : "the uninstall did not finish");
    return gone ? 0 : 1;
}
