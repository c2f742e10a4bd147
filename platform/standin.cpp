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
};

// A deque keeps every window at one address, which serves as its handle.
static std::deque<StandInWindow> Windows;
static std::vector<StandInBox> Boxes;
static int BoxResult = IDOK;
static int EnumCalls = 0;
static int SentMessages = 0;
static std::vector<std::string> Calls;
static StandInCall DefaultDllDirectories = StandInWorks;
static bool DllDirectoryWorks = true;
static struct StandInModule
{
} Kernel32;

void StandInReset(int boxResult)
{
    Windows.clear();
    Boxes.clear();
    BoxResult = boxResult;
    EnumCalls = 0;
    SentMessages = 0;
    Calls.clear();
    DefaultDllDirectories = StandInWorks;
    DllDirectoryWorks = true;
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

HWND StandInAddWindow(const std::string &title)
{
    Windows.push_back({title, true, true});
    return &Windows.back();
}

HWND StandInAddUnreadableWindow()
{
    Windows.push_back({"", false, true});
    return &Windows.back();
}

void StandInSetNotAnswering(HWND hwnd)
{
    hwnd->answering = false;
}

int StandInSentMessages()
{
    return SentMessages;
}

const std::vector<StandInBox> &StandInBoxes()
{
    return Boxes;
}

int StandInEnumCalls()
{
    return EnumCalls;
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

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
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

BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    Calls.push_back("EnumWindows");
    for (StandInWindow &window : Windows)
    {
        ++EnumCalls;
        if (!lpEnumFunc(&window, lParam))
            return FALSE;
    }
    return TRUE;
}

// Copies at most nMaxCount - 1 bytes and always terminates them, like the
// real call; an unreadable title reads as the empty text.
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (nMaxCount <= 0)
        return 0;
    const std::string &title = hWnd->readable ? hWnd->title : std::string();
    size_t length = std::min(title.size(), static_cast<size_t>(nMaxCount - 1));
    memcpy(lpString, title.data(), length);
    lpString[length] = '\0';
    return static_cast<int>(length);
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
LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT, WPARAM, LPARAM, UINT, UINT,
                                   PDWORD_PTR lpdwResult)
{
    ++SentMessages;
    Calls.push_back("SendMessageTimeoutA");
    if (lpdwResult)
        *lpdwResult = 0;
    return hWnd->answering ? 1 : 0;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    Calls.push_back("MessageBoxA");
    Boxes.push_back({hWnd, lpText, lpCaption, uType});
    return BoxResult;
}
