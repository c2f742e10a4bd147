// Staged top-level windows: the uninstall windows, near misses and bystanders
// that a scenario puts on the desktop before it starts the notice.
#include "suite.h"

const char StageClass[] = "NoticeE2EStage";

static std::vector<HWND> StagedWindows;

static LRESULT CALLBACK StageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// An uninstall window that is gone as soon as it has answered the notice's
// question whether it is alive.
static const char VanishingClass[] = "NoticeE2EVanishing";

static LRESULT CALLBACK VanishingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NULL && InSendMessage())
    {
        DestroyWindow(hwnd);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RegisterStageClass()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = StageProc;
    wc.lpszClassName = StageClass;
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    RegisterClassA(&wc);
    wc.lpfnWndProc = VanishingProc;
    wc.lpszClassName = VanishingClass;
    RegisterClassA(&wc);
}

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
    const char *cls = stage.kind == Stage::VanishesWhenAsked ? VanishingClass : StageClass;
    HWND hwnd =
        CreateWindowExA(0, cls, stage.title, style, 60, 60, 320, 200, parent, NULL, NULL, NULL);
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

std::string WindowText(HWND hwnd)
{
    char buf[1024] = "";
    GetWindowTextA(hwnd, buf, sizeof buf);
    return buf;
}

std::string ClassName(HWND hwnd)
{
    char buf[256] = "";
    GetClassNameA(hwnd, buf, sizeof buf);
    return buf;
}

std::string Describe(HWND hwnd)
{
    if (!hwnd)
        return "none";
    char buf[32];
    snprintf(buf, sizeof buf, "%p", (void *)hwnd);
    return std::string(buf) + " '" + Escaped(WindowText(hwnd)) + "'";
}

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
