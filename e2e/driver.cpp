// End-to-end suite for UninstallNotice.exe. It stages real top-level windows,
// starts the program, finds its box and checks what a user would see. It runs
// the same on Windows and under Wine:
//
//     notice_e2e.exe PATH\TO\UninstallNotice.exe [REPORT-FILE]
//
// Every line it prints also goes to REPORT-FILE, for hosts (such as a Wine
// virtual desktop) that do not pass the exit code through. It ends with
// "N passed, N failed" and exits non-zero on any failure.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace
{

const char Title[] = "Quillane Uninstall";
const char Text[] = "Before continuing to uninstall Quillane please close any open instances of "
                    "the program. \r\n\r\nYou should also close any open Explorer windows.";

// Every wait is bounded, so that a hang fails a check instead of the suite.
const DWORD BoxTimeout = 10000;
const DWORD ExitTimeout = 10000;

const char *NoticePath;
FILE *Report;
const char *Scenario = "";
int Passed, Failed;

void Out(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
    if (Report)
    {
        va_start(args, format);
        vfprintf(Report, format, args);
        va_end(args);
        fflush(Report);
    }
}

// Records one check; the message says what was expected and what was seen.
bool Check(bool ok, const char *format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    ok ? ++Passed : ++Failed;
    Out("%s: %s: %s\n", ok ? "ok" : "FAIL", Scenario, message);
    return ok;
}

// Bytes as C escapes, so that a difference in line breaks shows.
std::string Escaped(const std::string &text)
{
    std::string out;
    for (unsigned char c : text)
    {
        char buf[8];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c > 126)
            snprintf(buf, sizeof buf, "\\x%02x", c), out += buf;
        else
            out += static_cast<char>(c);
    }
    return out;
}

// Processes this thread's messages, so that the staged windows answer the
// notice, until done() holds or the time is up.
template <typename Done> bool PumpUntil(Done done, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (GetTickCount() - start >= timeout)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

void Pump(DWORD time)
{
    PumpUntil([] { return false; }, time);
}

std::string WindowText(HWND hwnd)
{
    char buf[1024] = "";
    GetWindowTextA(hwnd, buf, sizeof buf);
    return buf;
}

// A window as a check reports it: its handle and title, or "none".
std::string Describe(HWND hwnd)
{
    if (!hwnd)
        return "none";
    char buf[32];
    snprintf(buf, sizeof buf, "%p", (void *)hwnd);
    return std::string(buf) + " '" + Escaped(WindowText(hwnd)) + "'";
}

std::string ClassName(HWND hwnd)
{
    char buf[256] = "";
    GetClassNameA(hwnd, buf, sizeof buf);
    return buf;
}

// The first top-level window, in enumeration order, whose title matches.
HWND FirstMatchingWindow()
{
    HWND found = NULL;
    EnumWindows(
        [](HWND hwnd, LPARAM lParam) -> BOOL
        {
            if (lstrcmpiA(WindowText(hwnd).c_str(), Title) != 0)
                return TRUE;
            *reinterpret_cast<HWND *>(lParam) = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// --- Staged windows -------------------------------------------------------

const char StageClass[] = "NoticeE2EStage";

struct Stage
{
    const char *title;
    enum
    {
        Visible,
        Hidden,
        Child // a child of a top-level window titled "Quillane Setup"
    } kind;
};

std::vector<HWND> StagedWindows;

HWND StageWindow(const Stage &stage)
{
    HWND parent = NULL;
    DWORD style = WS_OVERLAPPEDWINDOW;
    if (stage.kind == Stage::Child)
    {
        parent = CreateWindowExA(0, StageClass, "Quillane Setup", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 40, 40, 400, 300, NULL, NULL, NULL, NULL);
        StagedWindows.push_back(parent);
        style = WS_CHILD;
    }
    if (stage.kind != Stage::Hidden)
        style |= WS_VISIBLE;
    HWND hwnd = CreateWindowExA(0, StageClass, stage.title, style, 60, 60, 320, 200, parent, NULL,
                                NULL, NULL);
    if (!parent)
        StagedWindows.push_back(hwnd);
    return hwnd;
}

void ClearStage()
{
    for (HWND hwnd : StagedWindows)
        DestroyWindow(hwnd);
    StagedWindows.clear();
    Pump(20);
}

bool IsStaged(HWND hwnd)
{
    for (HWND staged : StagedWindows)
        if (staged == hwnd)
            return true;
    return false;
}

// --- The notice's process and its box ------------------------------------

PROCESS_INFORMATION StartNotice(const char *arguments)
{
    std::string commandLine = std::string("\"") + NoticePath + "\"";
    if (arguments && *arguments)
        commandLine += std::string(" ") + arguments;
    std::vector<char> buf(commandLine.begin(), commandLine.end());
    buf.push_back('\0');

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        Check(false, "start %s: CreateProcess failed, error %lu", NoticePath, GetLastError());
    return pi;
}

// The visible dialog of the given process.
HWND FindBox(DWORD pid)
{
    struct Search
    {
        DWORD pid;
        HWND box;
    } search = {pid, NULL};
    PumpUntil(
        [&search]
        {
            EnumWindows(
                [](HWND hwnd, LPARAM lParam) -> BOOL
                {
                    Search *s = reinterpret_cast<Search *>(lParam);
                    DWORD owner = 0;
                    GetWindowThreadProcessId(hwnd, &owner);
                    if (owner != s->pid || !IsWindowVisible(hwnd) || ClassName(hwnd) != "#32770")
                        return TRUE;
                    s->box = hwnd;
                    return FALSE;
                },
                reinterpret_cast<LPARAM>(&search));
            return search.box != NULL;
        },
        BoxTimeout);
    return search.box;
}

// What the box shows: its visible controls.
struct BoxContents
{
    std::vector<std::string> texts;   // static texts
    std::vector<std::string> buttons; // "ID:text"
    int icons = 0;
};

BoxContents ReadBox(HWND box)
{
    BoxContents contents;
    EnumChildWindows(
        box,
        [](HWND hwnd, LPARAM lParam) -> BOOL
        {
            BoxContents *c = reinterpret_cast<BoxContents *>(lParam);
            if (!IsWindowVisible(hwnd))
                return TRUE;
            std::string cls = ClassName(hwnd);
            LONG style = GetWindowLongA(hwnd, GWL_STYLE);
            if (!lstrcmpiA(cls.c_str(), "Button"))
                c->buttons.push_back(std::to_string(GetDlgCtrlID(hwnd)) + ":" + WindowText(hwnd));
            else if (!lstrcmpiA(cls.c_str(), "Static") && (style & SS_TYPEMASK) == SS_ICON)
                c->icons += SendMessageA(hwnd, STM_GETICON, 0, 0) != 0;
            else if (!lstrcmpiA(cls.c_str(), "Static") && !WindowText(hwnd).empty())
                c->texts.push_back(WindowText(hwnd));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&contents));
    return contents;
}

std::string Joined(const std::vector<std::string> &items)
{
    std::string out = "[";
    for (const std::string &item : items)
        out += (out.size() > 1 ? ", '" : "'") + Escaped(item) + "'";
    return out + "]";
}

void CheckBoxContents(HWND box)
{
    Check(WindowText(box) == Title, "caption: expected '%s', saw '%s'", Title,
          Escaped(WindowText(box)).c_str());

    BoxContents c = ReadBox(box);
    Check(c.texts.size() == 1 && c.texts[0] == Text, "text: expected ['%s'], saw %s",
          Escaped(Text).c_str(), Joined(c.texts).c_str());
    std::string ok = std::to_string(IDOK) + ":OK";
    Check(c.buttons.size() == 1 && c.buttons[0] == ok, "buttons: expected ['%s'], saw %s",
          ok.c_str(), Joined(c.buttons).c_str());
    Check(c.icons == 0, "icons: expected 0, saw %d", c.icons);
}

enum Dismissal
{
    ByOk,
    ByEscape,
    ByClose
};

const char *DismissalName(Dismissal how)
{
    return how == ByOk ? "OK" : how == ByEscape ? "Esc" : "close";
}

void Dismiss(HWND box, Dismissal how)
{
    switch (how)
    {
    case ByOk:
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        break;
    case ByEscape:
        PostMessageA(box, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageA(box, WM_KEYUP, VK_ESCAPE, 0);
        break;
    case ByClose:
        PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
}

// Waits for the process to end, pumping so that the staged owner can be
// enabled again; a process that does not end is killed and reported.
void CheckEndsWithZero(PROCESS_INFORMATION &pi, Dismissal how)
{
    bool ended = PumpUntil([&pi] { return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; },
                           ExitTimeout);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &code);
    if (!ended)
        TerminateProcess(pi.hProcess, 1);
    Check(ended && code == 0, "dismissed by %s: expected exit code 0, saw %s %lu%s",
          DismissalName(how), ended ? "exit code" : "it still running after",
          ended ? code : ExitTimeout, ended ? "" : " ms");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// --- Scenarios --------------------------------------------------------------

struct Case
{
    const char *name;
    std::vector<Stage> stage;
    bool owned; // whether the box must have an owner
    const char *arguments;
    Dismissal how;
};

void RunCase(const Case &c)
{
    Scenario = c.name;
    for (const Stage &stage : c.stage)
        StageWindow(stage);
    Pump(20);

    HWND expected = FirstMatchingWindow();
    Check((expected != NULL) == c.owned && (!expected || IsStaged(expected)),
          "staging: expected %s matching top-level window, saw %s", c.owned ? "a staged" : "no",
          Describe(expected).c_str());

    PROCESS_INFORMATION pi = StartNotice(c.arguments);
    if (!pi.hProcess)
        return ClearStage();
    HWND box = FindBox(pi.dwProcessId);
    if (Check(box != NULL, "box: expected within %lu ms, saw %s", BoxTimeout, box ? "it" : "none"))
    {
        CheckBoxContents(box);
        HWND owner = GetWindow(box, GW_OWNER);
        Check(owner == expected, "owner: expected %s, saw %s", Describe(expected).c_str(),
              Describe(owner).c_str());
        if (expected)
        {
            bool disabled = PumpUntil([expected] { return !IsWindowEnabled(expected); }, 2000);
            Check(disabled, "owner while the box is up: expected disabled, saw %s",
                  disabled ? "disabled" : "enabled");
        }
        Dismiss(box, c.how);
    }
    CheckEndsWithZero(pi, c.how);
    if (expected)
    {
        bool enabled = IsWindowEnabled(expected);
        Check(enabled, "owner after the box: expected enabled, saw %s",
              enabled ? "enabled" : "disabled");
    }
    ClearStage();
}

// A second run while the first notice is up: the first box is itself a
// top-level window with the title, so it takes part in the search.
void RunSecondWhileFirstIsUp()
{
    Scenario = "second run while the first notice is up";
    StageWindow({Title, Stage::Visible});
    Pump(20);

    PROCESS_INFORMATION first = StartNotice("");
    HWND firstBox = first.hProcess ? FindBox(first.dwProcessId) : NULL;
    if (Check(firstBox != NULL, "first box: expected within %lu ms, saw %s", BoxTimeout,
              firstBox ? "it" : "none"))
    {
        HWND expected = FirstMatchingWindow();
        PROCESS_INFORMATION second = StartNotice("");
        HWND secondBox = second.hProcess ? FindBox(second.dwProcessId) : NULL;
        if (Check(secondBox != NULL && secondBox != firstBox,
                  "second box: expected a box of its own within %lu ms, saw %s", BoxTimeout,
                  secondBox ? "it" : "none"))
        {
            CheckBoxContents(secondBox);
            HWND owner = GetWindow(secondBox, GW_OWNER);
            const char *which = owner == firstBox ? "the first box"
                                : IsStaged(owner) ? "the uninstall window"
                                                  : "another window";
            Check(owner == expected && (owner == firstBox || IsStaged(owner)),
                  "second owner: expected the first match %s, saw %s (%s)",
                  Describe(expected).c_str(), Describe(owner).c_str(), which);
            Dismiss(secondBox, ByOk);
        }
        if (second.hProcess)
            CheckEndsWithZero(second, ByOk);
        Dismiss(firstBox, ByOk);
    }
    if (first.hProcess)
        CheckEndsWithZero(first, ByOk);
    ClearStage();
}

// An uninstaller that waits for the notice's process without processing
// messages: its window cannot answer, so the notice must not wait for it.
struct Uninstaller
{
    HANDLE ready;
    HWND window;
    PROCESS_INFORMATION pi;
    DWORD waited; // what the uninstaller's wait returned
    DWORD code;
};

const DWORD UninstallerWait = 30000;
const DWORD UnansweredBoxTimeout = 5000;

DWORD WINAPI BlockedUninstaller(LPVOID param)
{
    Uninstaller *u = static_cast<Uninstaller *>(param);
    u->window = CreateWindowExA(0, StageClass, Title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 60, 60, 320,
                                200, NULL, NULL, NULL, NULL);
    u->pi = StartNotice("");
    SetEvent(u->ready);
    if (!u->pi.hProcess)
        return 0;
    u->waited = WaitForSingleObject(u->pi.hProcess, UninstallerWait);
    GetExitCodeProcess(u->pi.hProcess, &u->code);
    return 0;
}

void RunUninstallerThatDoesNotAnswer()
{
    Scenario = "uninstall window that does not answer";
    Uninstaller u = {};
    u.ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    u.waited = WAIT_FAILED;
    u.code = STILL_ACTIVE;
    HANDLE thread = CreateThread(NULL, 0, BlockedUninstaller, &u, 0, NULL);
    bool started = WaitForSingleObject(u.ready, BoxTimeout) == WAIT_OBJECT_0 && u.pi.hProcess;
    if (!Check(started, "uninstaller: expected it to start the notice, saw %s",
               started ? "it start it" : "it fail"))
    {
        WaitForSingleObject(thread, UninstallerWait + ExitTimeout);
        return;
    }

    // The window's title is not read from here: that would wait on the very
    // thread that does not answer.
    DWORD start = GetTickCount();
    HWND box = FindBox(u.pi.dwProcessId);
    DWORD delay = GetTickCount() - start;
    if (Check(box && delay <= UnansweredBoxTimeout, "box: expected within %lu ms, saw %s %lu ms",
              UnansweredBoxTimeout, box ? "it after" : "none in", delay))
    {
        CheckBoxContents(box);
        HWND owner = GetWindow(box, GW_OWNER);
        Check(owner == NULL, "owner: expected none, saw %s",
              !owner              ? "none"
              : owner == u.window ? "the uninstall window"
                                  : "another window");
        Dismiss(box, ByOk);
    }
    else
        TerminateProcess(u.pi.hProcess, 1);

    bool ended = WaitForSingleObject(thread, UninstallerWait + ExitTimeout) == WAIT_OBJECT_0;
    Check(ended && u.waited == WAIT_OBJECT_0 && u.code == 0,
          "dismissed by OK: expected the uninstaller to see exit code 0, saw %s %lu%s",
          u.waited == WAIT_OBJECT_0 ? "exit code" : "its wait time out after",
          u.waited == WAIT_OBJECT_0 ? u.code : UninstallerWait,
          u.waited == WAIT_OBJECT_0 ? "" : " ms");
    if (box)
        Out("%s: box appeared after %lu ms\n", Scenario, delay);
    // The uninstall window went with its thread.
    CloseHandle(thread);
    CloseHandle(u.ready);
    CloseHandle(u.pi.hThread);
    CloseHandle(u.pi.hProcess);
}

LRESULT CALLBACK StageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// For a look at the notice: a stand-in uninstall window owns it until the
// signal file appears, then the box is dismissed and the exit code reported.
int RunDemo(const char *signalPath)
{
    Scenario = "demo";
    HWND window = StageWindow({Title, Stage::Visible});
    MoveWindow(window, 192, 144, 640, 480, TRUE);
    Pump(100);

    PROCESS_INFORMATION pi = StartNotice("");
    HWND box = pi.hProcess ? FindBox(pi.dwProcessId) : NULL;
    if (!box)
    {
        Out("no box within %lu ms\n", BoxTimeout);
        if (pi.hProcess)
            TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    Out("box up, owned by %s\n", Describe(GetWindow(box, GW_OWNER)).c_str());
    PumpUntil([signalPath] { return GetFileAttributesA(signalPath) != INVALID_FILE_ATTRIBUTES; },
              60000);
    Dismiss(box, ByOk);
    bool ended = PumpUntil([&pi] { return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; },
                           ExitTimeout);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &code);
    if (!ended)
        return Out("still running %lu ms after OK\n", ExitTimeout), 1;
    Out("exit code %lu\n", code);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool demo = argc == 5 && !strcmp(argv[1], "--demo");
    if (!demo && (argc < 2 || argc > 3))
    {
        fprintf(stderr, "usage: notice_e2e UninstallNotice.exe [report-file]\n"
                        "       notice_e2e --demo UninstallNotice.exe report-file signal-file\n");
        return 2;
    }
    NoticePath = argv[demo ? 2 : 1];
    const char *reportPath = demo ? argv[3] : argc == 3 ? argv[2] : NULL;
    if (GetFileAttributesA(NoticePath) == INVALID_FILE_ATTRIBUTES)
    {
        fprintf(stderr, "notice_e2e: no program at %s\n", NoticePath);
        return 2;
    }
    if (reportPath && !(Report = fopen(reportPath, "w")))
    {
        fprintf(stderr, "notice_e2e: cannot write the report %s\n", reportPath);
        return 2;
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = StageProc;
    wc.lpszClassName = StageClass;
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    RegisterClassA(&wc);
    if (demo)
        return RunDemo(argv[4]);

    const Case cases[] = {
        {"no uninstall window", {}, false, "", ByOk},
        {"exact title", {{Title, Stage::Visible}}, true, "", ByOk},
        {"lower case title", {{"quillane uninstall", Stage::Visible}}, true, "", ByEscape},
        {"upper case title", {{"QUILLANE UNINSTALL", Stage::Visible}}, true, "", ByClose},
        {"leading space", {{" Quillane Uninstall", Stage::Visible}}, false, "", ByOk},
        {"trailing space", {{"Quillane Uninstall ", Stage::Visible}}, false, "", ByOk},
        {"two spaces", {{"Quillane  Uninstall", Stage::Visible}}, false, "", ByOk},
        {"text after", {{"Quillane Uninstall - 2", Stage::Visible}}, false, "", ByOk},
        {"text before", {{"Setup Quillane Uninstall", Stage::Visible}}, false, "", ByOk},
        {"empty title", {{"", Stage::Visible}}, false, "", ByOk},
        {"hidden uninstall window", {{Title, Stage::Hidden}}, true, "", ByOk},
        {"uninstall title on a child window", {{Title, Stage::Child}}, false, "", ByOk},
        {"two uninstall windows",
         {{Title, Stage::Visible}, {"quillane uninstall", Stage::Visible}},
         true,
         "",
         ByOk},
        {"arguments", {{Title, Stage::Visible}}, true, "/S --help \"Quillane Uninstall\"", ByOk},
        {"no owner, dismissed by Esc", {}, false, "", ByEscape},
        {"no owner, dismissed by close", {}, false, "", ByClose},
    };
    for (const Case &c : cases)
        RunCase(c);
    RunSecondWhileFirstIsUp();
    RunUninstallerThatDoesNotAnswer();

    Out("%d passed, %d failed\n", Passed, Failed);
    if (Report)
        fclose(Report);
    return Failed ? 1 : 0;
}
