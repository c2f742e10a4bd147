// What the notice meets in the field, beyond the uninstall window itself: a
// DLL planted beside it (and beside the in-use check), an unattended
// uninstall, an owner that goes away.
#include "suite.h"

namespace
{

std::string FileText(const std::string &path)
{
    std::string text;
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buf[1024];
    DWORD read;
    while (ReadFile(file, buf, sizeof buf, &read, NULL) && read)
        text.append(buf, read);
    CloseHandle(file);
    return text;
}

// The notice is copied into a fresh folder beside a planted uxtheme.dll, a
// DLL that showing a box loads and that is not a known system DLL, so that
// Windows looks for it beside the program first. (Wine prefers its own copy
// unless told otherwise: run-wine.sh tells it.)
void RunPlantedDll()
{
    if (!BeginScenario("planted uxtheme.dll beside the program"))
        return;
    std::string folder = SuiteFolder() + "planted-dll";
    std::string program = folder + "\\UninstallNotice.exe";
    std::string dll = folder + "\\uxtheme.dll";
    std::string record = folder + "\\planted-dll-loaded.txt";
    for (const std::string &file : {program, dll, record})
        DeleteFileA(file.c_str());
    CreateDirectoryA(folder.c_str(), NULL);
    bool copied = CopyFileA(NoticePath, program.c_str(), FALSE) &&
                  CopyFileA((SuiteFolder() + "notice_planted.dll").c_str(), dll.c_str(), FALSE);
    std::string error = copied ? "them there" : "error " + std::to_string(GetLastError());
    if (!Check(copied, "folder: expected the program and uxtheme.dll copied into %s, saw %s",
               folder.c_str(), error.c_str()))
        return;

    HWND window = StageWindow({Title, Stage::Visible});
    Pump(20);
    PROCESS_INFORMATION pi = StartNotice("", program.c_str());
    if (!pi.hProcess)
        return ClearStage();

    if (HWND box = CheckBoxShows(pi))
    {
        CheckOwner(box, window);
        Dismiss(box, ByOk);
    }
    CheckEndsWithZero(pi, ByOk);
    ClearStage();

    bool loaded = Exists(record);
    Check(!loaded, "planted DLL: expected it never loaded, saw %s",
          loaded ? ("it loaded from '" + FileText(record) + "'").c_str() : "no record of a load");
}

// The in-use check loads more than a box does: Windows' Restart Manager,
// which is not a known system DLL either. Copied beside a planted
// uxtheme.dll and rstrtmgr.dll, it asks about a file in use (and asks the
// Restart Manager who holds it first), and must load neither.
void RunPlantedDllBesideTheCheck()
{
    if (!BeginScenario("planted uxtheme.dll and rstrtmgr.dll beside the in-use check"))
        return;
    const std::string folder = SuiteFolder() + "planted-check";
    const std::string program = folder + "\\FilesInUse.exe";
    const std::string installed = folder + "\\installed";
    const std::string held = installed + "\\Quillane.exe";
    const std::string record = folder + "\\planted-dll-loaded.txt";
    for (const std::string &file :
         {program, held, record, folder + "\\uxtheme.dll", folder + "\\rstrtmgr.dll"})
        DeleteFileA(file.c_str());
    CreateDirectoryA(folder.c_str(), NULL);
    CreateDirectoryA(installed.c_str(), NULL);
    const std::string planted = SuiteFolder() + "notice_planted.dll";
    bool copied = CopyFileA((SuiteFolder() + "FilesInUse.exe").c_str(), program.c_str(), FALSE) &&
                  CopyFileA(planted.c_str(), (folder + "\\uxtheme.dll").c_str(), FALSE) &&
                  CopyFileA(planted.c_str(), (folder + "\\rstrtmgr.dll").c_str(), FALSE) &&
                  CopyFileA(planted.c_str(), held.c_str(), FALSE);
    std::string error = copied ? "them there" : "error " + std::to_string(GetLastError());
    if (!Check(copied, "folder: expected the check and the DLLs copied into %s, saw %s",
               folder.c_str(), error.c_str()))
        return;

    HANDLE file = CreateFileA(held.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    HWND window = StageWindow({Title, Stage::Visible});
    Pump(20);
    PROCESS_INFORMATION pi = StartNotice(("\"" + installed + "\"").c_str(), program.c_str());
    HWND box = NULL;
    bool asked =
        pi.hProcess && PumpUntil([&box] { return (box = QuestionBox()) != NULL; }, BoxTimeout);
    Check(asked, "question: expected the check to ask about %s within %lu ms, saw %s", held.c_str(),
          BoxTimeout, asked ? "it ask" : "none");
    if (box)
    {
        CheckOwner(box, window);
        AnswerQuestion(box, IDCANCEL);
    }
    DWORD code = 0;
    bool ended = pi.hProcess && WaitForEnd(pi.hProcess, ExitTimeout, &code);
    Check(ended && code == 1, "check after Cancel: expected exit code 1, saw %s",
          ended ? ("exit code " + std::to_string(code)).c_str() : "it still running");
    if (pi.hProcess)
    {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    ClearStage();

    bool loaded = Exists(record);
    Check(!loaded, "planted DLLs: expected neither loaded, saw %s",
          loaded ? ("one loaded from '" + FileText(record) + "'").c_str() : "no record of a load");
}

// An unattended uninstall: the notice starts on a desktop of a window
// station that no one sees, where a box could never be dismissed. It must
// end by itself, with 0.
void RunUnseenStation()
{
    if (!BeginScenario("window station that no one sees"))
        return;
    const DWORD EndTimeout = Bound(5000);
    HWINSTA own = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationA("NoticeUnseen", 0, WINSTA_ALL_ACCESS, NULL);
    HDESK desktop = NULL;
    if (station && SetProcessWindowStation(station))
    {
        desktop = CreateDesktopA("Default", NULL, NULL, 0, GENERIC_ALL, NULL);
        SetProcessWindowStation(own);
    }
    USEROBJECTFLAGS flags = {};
    GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, NULL);
    std::string staged = !desktop                      ? "error " + std::to_string(GetLastError())
                         : flags.dwFlags & WSF_VISIBLE ? "it visible"
                                                       : "it unseen";
    if (Check(desktop && !(flags.dwFlags & WSF_VISIBLE),
              "station: expected an unseen window station with a desktop, saw %s", staged.c_str()))
    {
        DWORD start = GetTickCount();
        PROCESS_INFORMATION pi = StartNotice("", NoticePath, "NoticeUnseen\\Default");
        if (pi.hProcess)
        {
            DWORD code;
            bool ended = WaitForEnd(pi.hProcess, EndTimeout, &code);
            DWORD took = GetTickCount() - start;
            Check(ended && code == 0, "end: expected exit code 0 within %lu ms, saw %s %lu%s",
                  EndTimeout, ended ? "exit code" : "it still running after", ended ? code : took,
                  ended ? "" : " ms");
            if (ended)
                Out("%s: ended after %lu ms\n", Scenario, took);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
    }
    if (desktop)
        CloseDesktop(desktop);
    if (station)
        CloseWindowStation(station);
}

// The uninstall window answers the notice and is gone before the box: the
// box cannot be shown for it, and the user must still see the notice.
void RunOwnerThatVanishes()
{
    if (!BeginScenario("uninstall window that goes away after it answers"))
        return;
    HWND window = StageWindow({Title, Stage::VanishesWhenAsked});
    Pump(20);

    PROCESS_INFORMATION pi = StartNotice("");
    if (!pi.hProcess)
        return ClearStage();
    if (HWND box = CheckBoxShows(pi))
    {
        CheckBoxContents(box);
        CheckOwner(box, NULL);
        Dismiss(box, ByOk);
    }
    Check(!IsWindow(window), "uninstall window: expected it gone after the notice asked, saw %s",
          IsWindow(window) ? "it still there" : "it gone");
    CheckEndsWithZero(pi, ByOk);
    ClearStage();
}

} // namespace

void RunFieldScenarios()
{
    RunPlantedDll();
    RunPlantedDllBesideTheCheck();
    RunUnseenStation();
    RunOwnerThatVanishes();
}
