// The notice's process and its box: starting the program, finding the box
// on screen, reading what it shows, dismissing it, and how the run ends.
#include "suite.h"

PROCESS_INFORMATION StartNotice(const char *arguments, const char *program, const char *desktop,
                                const char *folder)
{
    std::string commandLine = std::string("\"") + program + "\"";
    if (arguments && *arguments)
        commandLine += std::string(" ") + arguments;
    std::vector<char> buf(commandLine.begin(), commandLine.end());
    buf.push_back('\0');

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.lpDesktop = const_cast<char *>(desktop);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(NULL, buf.data(), NULL, NULL, FALSE, 0, NULL, folder, &si, &pi))
        Check(false, "start %s: CreateProcess failed, error %lu", program, GetLastError());
    return pi;
}

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

HWND CheckBoxShows(const PROCESS_INFORMATION &pi)
{
    HWND box = FindBox(pi.dwProcessId);
    Check(box != NULL, "box: expected within %lu ms, saw %s", BoxTimeout, box ? "it" : "none");
    return box;
}

void CheckOwner(HWND box, HWND expected)
{
    HWND owner = GetWindow(box, GW_OWNER);
    Check(owner == expected, "owner: expected %s, saw %s", Describe(expected).c_str(),
          Describe(owner).c_str());
}

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

static const char *DismissalName(Dismissal how)
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

bool WaitForEnd(HANDLE process, DWORD timeout, DWORD *code)
{
    bool ended =
        PumpUntil([process] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, timeout);
    *code = STILL_ACTIVE;
    GetExitCodeProcess(process, code);
    if (!ended)
        TerminateProcess(process, 1);
    return ended;
}

void CheckEndsWithZero(PROCESS_INFORMATION &pi, Dismissal how)
{
    DWORD code;
    bool ended = WaitForEnd(pi.hProcess, ExitTimeout, &code);
    Check(ended && code == 0, "dismissed by %s: expected exit code 0, saw %s %lu%s",
          DismissalName(how), ended ? "exit code" : "it still running after",
          ended ? code : ExitTimeout, ended ? "" : " ms");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}
