// Real clients: NSIS uninstallers that show the notice through our include.
// Each scenario installs a Quillane installer from the suite's nsis folder
// silently, runs its uninstaller, and checks the notice from outside. The
// uninstaller starts again from a temporary copy of itself, so the box is
// found by its class, caption and text, never by process id.
#include "suite.h"

#include <string.h>

#include <map>

namespace
{

const DWORD InstallTimeout = 30000;
const DWORD UninstallerBoxTimeout = 20000;
const DWORD UninstallTimeout = 20000;

std::string NsisFolder()
{
    return SuiteFolder() + "nsis\\";
}

// Runs a command line to its end; the exit code, or a note why there is none.
std::string RunToEnd(const std::string &commandLine, DWORD timeout)
{
    std::vector<char> buf(commandLine.begin(), commandLine.end());
    buf.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return "CreateProcess error " + std::to_string(GetLastError());
    DWORD code;
    bool ended = WaitForEnd(pi.hProcess, timeout, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended ? "exit code " + std::to_string(code)
                 : "still running after " + std::to_string(timeout) + " ms";
}

DWORD ProcessOf(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

std::string ProcessName(DWORD pid)
{
    std::string name = "?";
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    char path[MAX_PATH];
    DWORD size = MAX_PATH;
    if (process && QueryFullProcessImageNameA(process, 0, path, &size))
        name = path;
    if (process)
        CloseHandle(process);
    return name.substr(name.find_last_of('\\') + 1);
}

bool HasStaticText(HWND box, const char *text)
{
    struct Search
    {
        const char *text;
        bool found;
    } search = {text, false};
    EnumChildWindows(
        box,
        [](HWND hwnd, LPARAM lParam) -> BOOL
        {
            Search *s = reinterpret_cast<Search *>(lParam);
            s->found = !lstrcmpiA(ClassName(hwnd).c_str(), "Static") && WindowText(hwnd) == s->text;
            return !s->found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool IsNoticeBox(HWND hwnd)
{
    return IsWindowVisible(hwnd) && ClassName(hwnd) == "#32770" && WindowText(hwnd) == Title &&
           HasStaticText(hwnd, Text);
}

// The first visible top-level window for which is(hwnd) holds.
template <typename Is> HWND FindTopLevel(Is is)
{
    struct Search
    {
        Is *is;
        HWND found;
    } search = {&is, NULL};
    EnumWindows(
        [](HWND hwnd, LPARAM lParam) -> BOOL
        {
            Search *s = reinterpret_cast<Search *>(lParam);
            if (!IsWindowVisible(hwnd) || !(*s->is)(hwnd))
                return TRUE;
            s->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND NoticeBox()
{
    return FindTopLevel(IsNoticeBox);
}

// The uninstaller's own window: a dialog titled "Quillane Uninstall...",
// with a default button, that is not the notice.
HWND UninstallerWindow()
{
    return FindTopLevel(
        [](HWND hwnd)
        {
            return ClassName(hwnd) == "#32770" && WindowText(hwnd).rfind(Title, 0) == 0 &&
                   GetDlgItem(hwnd, IDOK) && !IsNoticeBox(hwnd);
        });
}

// Presses the uninstaller's default button (Uninstall, Close) once it is
// enabled; true if it was pressed.
bool PressUninstallerButton(DWORD timeout)
{
    HWND window = NULL;
    PumpUntil(
        [&window]
        {
            window = UninstallerWindow();
            return window && IsWindowEnabled(GetDlgItem(window, IDOK));
        },
        timeout);
    if (!window)
        return false;
    PostMessageA(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
    return true;
}

std::map<std::string, std::string> ReadReport(const std::string &path)
{
    std::map<std::string, std::string> report;
    FILE *file = fopen(path.c_str(), "r");
    if (!file)
        return report;
    char line[2048];
    while (fgets(line, sizeof line, file))
    {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        size_t equals = text.find('=');
        if (equals != std::string::npos)
            report[text.substr(0, equals)] = text.substr(equals + 1);
    }
    fclose(file);
    return report;
}

enum Owner
{
    OwnedByUninstaller,
    OnItsOwn,
    NoBox // the program is missing
};

struct NsisCase
{
    const char *name;
    const char *setup;     // in the nsis folder
    const char *arguments; // for the uninstaller
    bool confirm;          // the uninstaller asks first: press Uninstall
    Owner owner;
    const char *result; // what the uninstaller must see; NULL: it does not report
};

void CheckReport(const NsisCase &c, const std::string &path)
{
    std::map<std::string, std::string> report;
    bool complete = PumpUntil(
        [&]
        {
            report = ReadReport(path);
            return report.count("after") != 0;
        },
        UninstallTimeout);
    if (!Check(complete, "report: expected the uninstaller's report in %s, saw %s", path.c_str(),
               complete ? "it" : "none"))
        return;
    const std::string errors = !strcmp(c.result, "error") ? "1" : "0";
    Check(
        report["result"] == c.result && report["errors"] == errors,
        "uninstaller saw: expected result %s with error flag %s, saw result %s with error flag %s",
        c.result, errors.c_str(), report["result"].c_str(), report["errors"].c_str());
    const char *registers = "r0,r1,r2,r3,r4,r5,r6,r7,r8,r9,R0,R9";
    Check(report["registers"] == registers && report["stack"] == "sentinel",
          "caller's state: expected registers %s and stack sentinel, saw %s and %s", registers,
          report["registers"].c_str(), report["stack"].c_str());
    if (c.owner == OwnedByUninstaller)
        Check(report["after"] == report["before"] && report["before"] != Title,
              "title after the notice: expected NSIS's own '%s', saw '%s'",
              report["before"].c_str(), report["after"].c_str());
}

void RunNsisCase(const NsisCase &c)
{
    if (!BeginScenario(c.name))
        return;
    const std::string folder = NsisFolder();
    const std::string setup = folder + c.setup;
    const std::string installed = folder + "installed-" + std::string(c.setup, strlen(c.setup) - 4);
    const std::string report = installed + "-report.txt";
    for (const char *file : {"\\UninstallNotice.exe", "\\Uninstall.exe"})
        DeleteFileA((installed + file).c_str());
    RemoveDirectoryA(installed.c_str());
    DeleteFileA(report.c_str());

    std::string installing = RunToEnd("\"" + setup + "\" /S /D=" + installed, InstallTimeout);
    bool installedOk = installing == "exit code 0" && Exists(installed + "\\Uninstall.exe");
    if (!Check(installedOk, "install: expected %s to install into %s with exit code 0, saw %s",
               c.setup, installed.c_str(), installing.c_str()))
        return;

    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    DWORD start = GetTickCount();
    std::string uninstalling =
        RunToEnd("\"" + installed + "\\Uninstall.exe\" " + c.arguments, InstallTimeout);
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    Check(uninstalling == "exit code 0",
          "uninstaller's first process: expected it to hand over and end with exit code 0, saw %s",
          uninstalling.c_str());
    if (c.confirm)
    {
        bool pressed = PressUninstallerButton(UninstallerBoxTimeout);
        Check(pressed,
              "confirmation: expected the uninstaller's Uninstall button within %lu ms, saw %s",
              UninstallerBoxTimeout, pressed ? "it, and pressed it" : "none");
    }

    HWND box = NULL;
    bool gone = false;
    PumpUntil(
        [&]
        {
            box = NoticeBox();
            gone = !Exists(installed);
            return box || (c.owner == NoBox && gone);
        },
        UninstallerBoxTimeout);
    DWORD delay = GetTickCount() - start;

    if (c.owner == NoBox)
        Check(!box && gone, "notice: expected none, and the uninstall to go on, saw %s",
              box    ? "a box"
              : gone ? "none, and the files removed"
                     : "the files still there");
    else if (Check(box != NULL, "box: expected within %lu ms of starting the uninstaller, saw %s",
                   UninstallerBoxTimeout, box ? "it" : "none"))
    {
        CheckBoxContents(box);
        HWND owner = GetWindow(box, GW_OWNER);
        DWORD ownerProcess = owner ? ProcessOf(owner) : 0;
        Out("%s: box after %lu ms, owned by %s of process %lu (%s); the box's process is %lu\n",
            Scenario, delay, Describe(owner).c_str(), ownerProcess,
            owner ? ProcessName(ownerProcess).c_str() : "-", ProcessOf(box));
        if (c.owner == OnItsOwn)
            Check(owner == NULL, "owner: expected none, saw %s", Describe(owner).c_str());
        else if (Check(owner && ownerProcess != ProcessOf(box) && ClassName(owner) == "#32770",
                       "owner: expected the uninstaller's window, of another process, saw %s",
                       Describe(owner).c_str()))
        {
            bool disabled = PumpUntil([owner] { return !IsWindowEnabled(owner); }, 2000);
            Check(disabled, "owner while the box is up: expected disabled, saw %s",
                  disabled ? "disabled" : "enabled");
        }
        Dismiss(box, ByOk);
        bool closed = PumpUntil([box] { return !IsWindow(box); }, ExitTimeout);
        Check(closed, "box after OK: expected it closed within %lu ms, saw %s", ExitTimeout,
              closed ? "it closed" : "it still up");
    }

    if (c.result)
        CheckReport(c, report);
    gone = PumpUntil([&installed] { return !Exists(installed); }, UninstallTimeout);
    Check(gone, "files: expected %s removed, saw %s", installed.c_str(),
          gone ? "it removed" : "it still there");

    // An uninstaller that waits on its last page is closed, so that the next
    // scenario starts on a clear desktop.
    if (PumpUntil([] { return UninstallerWindow() != NULL; }, 500))
        PressUninstallerButton(UninstallTimeout);
    bool closed = PumpUntil([] { return UninstallerWindow() == NULL; }, UninstallTimeout);
    Check(closed, "uninstaller: expected it closed, saw %s", closed ? "it closed" : "it still up");
}

} // namespace

void RunNsisScenarios()
{
    if (!OnlyScenario)
    {
        Scenario = "NSIS clients";
        bool built = Exists(NsisFolder() + "client-section.exe");
        if (!Check(built, "installers: expected them in %s, saw %s", NsisFolder().c_str(),
                   built ? "them" : "none"))
            return;
    }

    const NsisCase cases[] = {
        {"NSIS example, from the uninstall section", "example.exe", "", true, OwnedByUninstaller,
         NULL},
        {"NSIS, from the uninstall section", "client-section.exe", "", false, OwnedByUninstaller,
         "0"},
        {"NSIS, from un.onGUIInit", "client-guiinit.exe", "", false, OwnedByUninstaller, "0"},
        {"NSIS, from un.onInit", "client-init.exe", "", false, OnItsOwn, "0"},
        {"NSIS, silent (/S)", "client-section.exe", "/S", false, OnItsOwn, "0"},
        {"NSIS, program missing", "client-missing.exe", "", false, NoBox, "error"},
        {"NSIS, Modern UI 2", "client-mui2.exe", "", true, OwnedByUninstaller, "0"},
    };
    for (const NsisCase &c : cases)
        RunNsisCase(c);
}
