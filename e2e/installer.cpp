// Installers and their windows, as the NSIS and Inno scenarios meet them: running an
// installer or uninstaller to its end, the notice's box and the
// uninstaller's window found from outside, and what the uninstaller reports.
// An uninstaller starts again from a temporary copy of itself, so the box is
// found by its class, caption and text, never by process id.
#include "suite.h"

std::string NsisFolder()
{
    return SuiteFolder() + "nsis\\";
}

std::string InnoFolder()
{
    return SuiteFolder() + "inno\\";
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

static bool HasStaticText(HWND box, const char *text)
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

HWND NoticeBox()
{
    return FindTopLevel(IsNoticeBox);
}

HWND UninstallerWindow()
{
    return FindTopLevel(
        [](HWND hwnd)
        {
            return ClassName(hwnd) == "#32770" && WindowText(hwnd).rfind(Title, 0) == 0 &&
                   GetDlgItem(hwnd, IDOK) && !IsNoticeBox(hwnd);
        });
}

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

std::string RunToEnd(const std::string &commandLine, DWORD timeout, int *boxes)
{
    std::vector<char> buf(commandLine.begin(), commandLine.end());
    buf.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return "CreateProcess error " + std::to_string(GetLastError());
    if (boxes)
        DismissingBoxesUntil([&pi] { return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; },
                             timeout, boxes);
    DWORD code;
    bool ended = WaitForEnd(pi.hProcess, boxes ? 0 : timeout, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended ? "exit code " + std::to_string(code)
                 : "still running after " + std::to_string(timeout) + " ms";
}

HANDLE StartInJob(const std::string &commandLine, PROCESS_INFORMATION *pi)
{
    std::vector<char> buf(commandLine.begin(), commandLine.end());
    buf.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    *pi = {};
    HANDLE job = CreateJobObjectA(NULL, NULL);
    bool started = job && CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, CREATE_SUSPENDED,
                                         NULL, NULL, &si, pi);
    std::string error = started ? "" : "error " + std::to_string(GetLastError());
    bool joined = started && AssignProcessToJobObject(job, pi->hProcess);
    if (started)
        joined ? ResumeThread(pi->hThread) : TerminateProcess(pi->hProcess, 1);
    Check(joined, "start: expected %s to start in a job of its own, saw %s", commandLine.c_str(),
          joined    ? "it"
          : started ? "it outside one"
                    : error.c_str());
    if (joined)
        return job;
    if (started)
        CloseHandle(pi->hThread), CloseHandle(pi->hProcess);
    if (job)
        CloseHandle(job);
    *pi = {};
    return NULL;
}

bool JobRunning(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    return !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                      NULL) ||
           info.ActiveProcesses > 0;
}

std::vector<std::string> JobProcesses(HANDLE job)
{
    struct
    {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids = {};
    ids.list.NumberOfAssignedProcesses = 64;
    std::vector<std::string> names;
    if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, NULL))
        for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 64; ++i)
            names.push_back(ProcessName(static_cast<DWORD>(ids.list.ProcessIdList[i])));
    return names;
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

void DismissBox(HWND box)
{
    Dismiss(box, ByOk);
    PumpUntil([box] { return !IsWindow(box); }, ExitTimeout);
}

void RemoveInstall(const std::string &installed)
{
    for (const char *file : {"\\UninstallNotice.exe", "\\FilesInUse.exe", "\\Uninstall.exe",
                             "\\unins000.exe", "\\unins000.dat", "\\unins001.exe", "\\unins001.dat",
                             "\\upgraded.txt", "\\Quillane.exe", "\\THIRD-PARTY-NOTICES.txt"})
        DeleteFileA((installed + file).c_str());
    RemoveDirectoryA(installed.c_str());
}

void CheckCopyGone(const std::string &reportPath, DWORD timeout)
{
    const std::string copy = ReadReport(reportPath)["copy"];
    if (copy.empty())
        return;
    bool gone = PumpUntil([&copy] { return !Exists(copy); }, timeout);
    Check(gone, "the program's copy: expected %s gone with the uninstaller, saw %s", copy.c_str(),
          gone ? "it gone" : "it still there");
}

// The uninstaller's own boxes, answered as a user would: the confirmation
// with Yes ("Yes"), any other with OK ("OK 'its text'").
std::string AnswerUninstallerBox(HWND box)
{
    BoxContents contents = ReadBox(box);
    HWND yes = GetDlgItem(box, IDYES);
    PostMessageA(yes ? yes : GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    PumpUntil([box] { return !IsWindow(box) || !IsWindowVisible(box); }, ExitTimeout);
    return yes ? "Yes" : "OK '" + (contents.texts.empty() ? "" : contents.texts[0]) + "'";
}

// Only once it has been on the screen for a moment: a message box may show
// before its last button is made (seen under Wine in a loaded machine), and
// the includes' question would then pass for one of these.
HWND UninstallerBox()
{
    static HWND seen;
    static DWORD since;
    HWND box = FindTopLevel(
        [](HWND hwnd)
        {
            return ClassName(hwnd) == "#32770" && ProcessOf(hwnd) != GetCurrentProcessId() &&
                   !IsNoticeBox(hwnd);
        });
    if (box != seen)
    {
        seen = box;
        since = GetTickCount();
    }
    return box && GetTickCount() - since >= 300 ? box : NULL;
}
