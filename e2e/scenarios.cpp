// The scenarios: the notice against staged uninstall windows, near misses,
// a second run, and an uninstaller that does not answer.
#include "suite.h"

namespace
{

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
    if (!BeginScenario(c.name))
        return;
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
    if (HWND box = CheckBoxShows(pi))
    {
        CheckBoxContents(box);
        CheckOwner(box, expected);
        if (expected)
        {
            bool disabled =
                PumpUntil([expected] { return !IsWindowEnabled(expected); }, Bound(2000));
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
    if (!BeginScenario("second run while the first notice is up"))
        return;
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

const DWORD UninstallerWait = Bound(30000);
const DWORD UnansweredBoxTimeout = Bound(5000);

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
    if (!BeginScenario("uninstall window that does not answer"))
        return;
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

} // namespace

void RunScenarios()
{
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
}
