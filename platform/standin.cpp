// A desktop without a display: an ordered list of top-level windows that the
// platform calls of the notice work on, and a record of the boxes shown.
#include "standin.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <strings.h>

struct StandInWindow
{
    std::string title;
    bool readable;
    bool answering;
    bool canOwn;
    bool vanished;
    DWORD pid = 0;
    std::string className = "StandIn";
    bool visible = true;
    HWND owner = nullptr;
    bool gone = false;
};

// A deque keeps every window at one address, which serves as its handle.
static std::deque<StandInWindow> Windows;
static std::vector<StandInBox> Boxes;
static std::vector<StandInMessage> SentMessages;
static std::vector<std::string> Calls;
static std::deque<StandInAnswer> Answers;
static std::vector<std::pair<HWND, UINT>> Posted;
void (*StandInOnClose)(HWND hwnd);
static int BoxResult;
static int EnumCalls;
static StandInStation Station;
static StandInCall DefaultDllDirectories;
static bool DllDirectoryWorks;
// Where the last title was read into: the callback's buffer, which lies at
// the same place on the stack for each window of one enumeration.
static char *LastTitleBuffer;
static struct StandInModule
{
} Kernel32;
static struct StandInStationObject
{
} ProcessStation;

void StandInReset(int boxResult)
{
    Windows.clear();
    Boxes.clear();
    SentMessages.clear();
    Calls.clear();
    Answers.clear();
    Posted.clear();
    StandInOnClose = nullptr;
    StandInOtherProcAddress = nullptr;
    BoxResult = boxResult;
    EnumCalls = 0;
    Station = StandInVisibleStation;
    DefaultDllDirectories = StandInWorks;
    DllDirectoryWorks = true;
}

void StandInSetAnswers(const std::vector<StandInAnswer> &answers)
{
    Answers.assign(answers.begin(), answers.end());
}

HWND StandInAddWindow(const std::string &title)
{
    Windows.push_back({title, true, true, true, false});
    return &Windows.back();
}

HWND StandInAddProcessWindow(DWORD pid, const std::string &title, const std::string &className,
                             bool visible, HWND owner)
{
    Windows.push_back({title, true, true, true, false});
    StandInWindow &window = Windows.back();
    window.pid = pid;
    window.className = className;
    window.visible = visible;
    window.owner = owner;
    return &window;
}

void StandInCloseWindowsOf(DWORD pid)
{
    for (StandInWindow &window : Windows)
        if (window.pid == pid)
            window.gone = true;
}

const std::vector<std::pair<HWND, UINT>> &StandInPosted()
{
    return Posted;
}

HWND StandInAddUnreadableWindow()
{
    Windows.push_back({"", false, true, true, false});
    return &Windows.back();
}

HWND StandInAddVanishedWindow(const std::string &staleTitle)
{
    Windows.push_back({staleTitle, false, false, false, true});
    return &Windows.back();
}

void StandInSetNotAnswering(HWND hwnd)
{
    hwnd->answering = false;
}

void StandInSetCannotOwn(HWND hwnd)
{
    hwnd->canOwn = false;
}

void StandInSetStation(StandInStation station)
{
    Station = station;
}

void StandInSetDefaultDllDirectories(StandInCall how)
{
    DefaultDllDirectories = how;
}

void StandInSetDllDirectoryFails()
{
    DllDirectoryWorks = false;
}

const std::vector<std::string> &StandInCalls()
{
    return Calls;
}

const std::vector<StandInBox> &StandInBoxes()
{
    return Boxes;
}

int StandInEnumCalls()
{
    return EnumCalls;
}

const std::vector<StandInMessage> &StandInSentMessages()
{
    return SentMessages;
}

static BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags)
{
    char call[64];
    snprintf(call, sizeof call, "SetDefaultDllDirectories(0x%x)", DirectoryFlags);
    Calls.push_back(call);
    return DefaultDllDirectories == StandInWorks;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    return lpModuleName && !strcasecmp(lpModuleName, "kernel32.dll") ? &Kernel32 : nullptr;
}

FARPROC (*StandInOtherProcAddress)(HMODULE hModule, LPCSTR lpProcName);

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule != &Kernel32 && StandInOtherProcAddress)
        return StandInOtherProcAddress(hModule, lpProcName);
    if (hModule != &Kernel32 || strcmp(lpProcName, "SetDefaultDllDirectories") ||
        DefaultDllDirectories == StandInMissing)
        return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(SetDefaultDllDirectories));
}

BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName)
{
    Calls.push_back(lpPathName ? "SetDllDirectoryA(\"" + std::string(lpPathName) + "\")"
                               : "SetDllDirectoryA(NULL)");
    return DllDirectoryWorks;
}

HWINSTA WINAPI GetProcessWindowStation(void)
{
    return &ProcessStation;
}

BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded)
{
    Calls.push_back("GetUserObjectInformationA");
    if (hObj != &ProcessStation || nIndex != UOI_FLAGS || nLength < sizeof(USEROBJECTFLAGS) ||
        Station == StandInUnknownStation)
        return FALSE;
    USEROBJECTFLAGS flags = {FALSE, FALSE, Station == StandInVisibleStation ? WSF_VISIBLE : 0u};
    memcpy(pvInfo, &flags, sizeof flags);
    if (lpnLengthNeeded)
        *lpnLengthNeeded = sizeof flags;
    return TRUE;
}

BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    Calls.push_back("EnumWindows");
    LastTitleBuffer = nullptr;
    for (StandInWindow &window : Windows)
    {
        if (window.gone)
            continue;
        ++EnumCalls;
        // Whatever ran before left the vanished window's stale title where
        // the callback's buffer will lie. Plain stores only: a call here
        // would put its own frame on that very spot.
        if (window.vanished && LastTitleBuffer)
        {
            volatile char *to = LastTitleBuffer;
            const char *from = window.title.c_str();
            size_t length = window.title.size();
            for (size_t i = 0; i <= length; ++i)
                to[i] = from[i];
        }
        if (!lpEnumFunc(&window, lParam))
            return FALSE;
    }
    return TRUE;
}

// Copies at most nMaxCount - 1 bytes and always terminates them, like the
// real call; an unreadable title reads as the empty text, and a vanished
// window's read fails without writing anything.
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    LastTitleBuffer = lpString;
    if (nMaxCount <= 0 || hWnd->vanished)
        return 0;
    const std::string &title = hWnd->readable ? hWnd->title : std::string();
    size_t length = std::min(title.size(), static_cast<size_t>(nMaxCount - 1));
    memcpy(lpString, title.data(), length);
    lpString[length] = '\0';
    return static_cast<int>(length);
}

static int CopyWide(const std::string &text, LPWSTR out, int size)
{
    if (size <= 0)
        return 0;
    int length = std::min(static_cast<int>(text.size()), size - 1);
    for (int i = 0; i < length; ++i)
        out[i] = static_cast<unsigned char>(text[i]);
    out[length] = L'\0';
    return length;
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    return CopyWide(hWnd->readable && !hWnd->gone ? hWnd->title : std::string(), lpString,
                    nMaxCount);
}

int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount)
{
    return CopyWide(hWnd->className, lpClassName, nMaxCount);
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    if (lpdwProcessId)
        *lpdwProcessId = hWnd->pid;
    return 1;
}

BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    return hWnd->visible && !hWnd->gone;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd)
{
    return uCmd == GW_OWNER ? hWnd->owner : nullptr;
}

// A window asked to close closes, as its process decides (StandInOnClose).
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM, LPARAM)
{
    if (hWnd->gone)
        return FALSE;
    Posted.push_back({hWnd, Msg});
    if (Msg == WM_CLOSE && StandInOnClose)
        StandInOnClose(hWnd);
    return TRUE;
}

// ASCII rules only; the real call compares by the user's locale.
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    const unsigned char *a = reinterpret_cast<const unsigned char *>(lpString1);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(lpString2);
    while (*a && tolower(*a) == tolower(*b))
        ++a, ++b;
    return tolower(*a) - tolower(*b);
}

// Answers at once, or fails as the real call does when the time is up.
LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM, LPARAM, UINT fuFlags, UINT uTimeout,
                                   PDWORD_PTR lpdwResult)
{
    Calls.push_back("SendMessageTimeoutA");
    SentMessages.push_back({hWnd, Msg, fuFlags, uTimeout});
    if (lpdwResult)
        *lpdwResult = 0;
    return hWnd->answering ? 1 : 0;
}

// A box for an owner that cannot hold one is not shown, and returns 0 as
// the real call does.
static int ShowBox(const char *call, HWND hWnd, const std::string &text, const std::string &caption,
                   UINT uType)
{
    Calls.push_back(call);
    Boxes.push_back({hWnd, text, caption, uType});
    if (hWnd && !hWnd->canOwn)
        return 0;
    if (Answers.empty())
        return BoxResult;
    StandInAnswer answer = Answers.front();
    Answers.pop_front();
    if (answer.meanwhile)
        answer.meanwhile();
    return answer.button;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    return ShowBox("MessageBoxA", hWnd, lpText, lpCaption, uType);
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    return ShowBox("MessageBoxW", hWnd, StandInUtf8(lpText), StandInUtf8(lpCaption), uType);
}

std::string StandInUtf8(const wchar_t *text)
{
    std::string out;
    for (; *text; ++text)
    {
        unsigned long code = static_cast<unsigned long>(*text);
        if (code < 0x80)
            out += static_cast<char>(code);
        else if (code < 0x800)
            out += {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
        else
            out += {static_cast<char>(0xE0 | (code >> 12)),
                    static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (code & 0x3F))};
    }
    return out;
}
