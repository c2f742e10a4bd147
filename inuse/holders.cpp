// Who holds what is in use, by the names that a user knows: the title of a
// program's main window, or else its file name; and closing them as a user
// would, by asking their windows to close.
#include "inuse.h"

#include <wchar.h>

// How long the programs asked to close may take before the check looks
// again, and how often it sees whether they have.
#define CLOSE_TIMEOUT 10000
#define CLOSE_POLL 200
#define MAX_PROCESSES 2048

typedef struct ProcessFacts
{
    DWORD pid, parent;
    wchar_t file[MAX_PATH];
} ProcessFacts;

static ProcessFacts Processes[MAX_PROCESSES];
static int ProcessCount;

// A holder's top-level windows that a user sees and could close: shown and
// owned by none; of Explorer, only its folder windows, never the desktop
// or the taskbar. The first one's title names the program.
typedef struct HolderWindows
{
    DWORD pid;
    BOOL explorer;
    BOOL close; // asks each to close
    int count;
    wchar_t title[CHECK_NAME_SIZE];
} HolderWindows;

static BOOL CALLBACK HolderWindowEnumProc(HWND hwnd, LPARAM lParam)
{
    HolderWindows *windows = (HolderWindows *)lParam;
    DWORD pid = 0;
    wchar_t text[CHECK_NAME_SIZE];

    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != windows->pid || !IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER))
        return TRUE;
    if (windows->explorer)
    {
        text[0] = L'\0';
        GetClassNameW(hwnd, text, CHECK_NAME_SIZE);
        if (wcscmp(text, L"CabinetWClass") && wcscmp(text, L"ExploreWClass"))
            return TRUE;
    }
    text[0] = L'\0';
    GetWindowTextW(hwnd, text, CHECK_NAME_SIZE);
    if (!windows->title[0])
        wcscpy(windows->title, text);
    ++windows->count;
    if (windows->close)
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return TRUE;
}

static int CountWindows(const Holder *holder, BOOL close, wchar_t *title)
{
    HolderWindows windows = {holder->pid, holder->explorer, close, 0, {0}};
    EnumWindows(HolderWindowEnumProc, (LPARAM)&windows);
    if (title)
        wcscpy(title, windows.title);
    return windows.count;
}

static void ReadProcesses(void)
{
    PROCESSENTRY32W entry;

    ProcessCount = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && ProcessCount < MAX_PROCESSES;
         more = Process32NextW(snapshot, &entry))
    {
        ProcessFacts *facts = &Processes[ProcessCount++];
        facts->pid = entry.th32ProcessID;
        facts->parent = entry.th32ParentProcessID;
        wcsncpy(facts->file, entry.szExeFile, MAX_PATH - 1);
        facts->file[MAX_PATH - 1] = L'\0';
    }
    CloseHandle(snapshot);
}

static const ProcessFacts *FactsOf(DWORD pid)
{
    for (int i = 0; i < ProcessCount; ++i)
        if (Processes[i].pid == pid)
            return &Processes[i];
    return NULL;
}

// Adds the process, unless it is one of ours or listed already.
static int AddHolder(DWORD pid, const DWORD *ours, Holder *holders, int count, int max)
{
    if (count >= max || !pid || pid == ours[0] || pid == ours[1] || pid == ours[2])
        return count;
    for (int i = 0; i < count; ++i)
        if (holders[i].pid == pid)
            return count;
    const ProcessFacts *facts = FactsOf(pid);
    Holder *holder = &holders[count];
    holder->pid = pid;
    holder->explorer =
        facts && CompareStringOrdinal(facts->file, -1, L"explorer.exe", -1, TRUE) == CSTR_EQUAL;
    holder->closable = CountWindows(holder, FALSE, holder->name) > 0;
    if (holder->explorer || !holder->name[0])
    {
        wcsncpy(holder->name, facts ? facts->file : L"", CHECK_NAME_SIZE - 1);
        holder->name[CHECK_NAME_SIZE - 1] = L'\0';
    }
    return count + 1;
}

// Windows' Restart Manager knows every process that holds a file open, by
// its handles. Loaded from the system folder, by its full path.
static int FindByRestartManager(const InUseList *found, const DWORD *ours, Holder *holders, int max)
{
    typedef DWORD(WINAPI * StartProc)(DWORD *, DWORD, WCHAR *);
    typedef DWORD(WINAPI * RegisterProc)(DWORD, UINT, LPCWSTR *, UINT, RM_UNIQUE_PROCESS *, UINT,
                                         LPCWSTR *);
    typedef DWORD(WINAPI * ListProc)(DWORD, UINT *, UINT *, RM_PROCESS_INFO *, LPDWORD);
    typedef DWORD(WINAPI * EndProc)(DWORD);
    static RM_PROCESS_INFO listed[CHECK_MAX_HOLDERS * 4];
    wchar_t path[MAX_PATH + 16];
    int count = 0;

    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (!length || length >= MAX_PATH)
        return 0;
    wcscpy(path + length, L"\\rstrtmgr.dll");
    HMODULE library = LoadLibraryW(path);
    if (!library)
        return 0;
    StartProc start = (StartProc)(void (*)(void))GetProcAddress(library, "RmStartSession");
    RegisterProc add = (RegisterProc)(void (*)(void))GetProcAddress(library, "RmRegisterResources");
    ListProc list = (ListProc)(void (*)(void))GetProcAddress(library, "RmGetList");
    EndProc end = (EndProc)(void (*)(void))GetProcAddress(library, "RmEndSession");
    DWORD session;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {0};
    if (start && add && list && end && start(&session, 0, key) == ERROR_SUCCESS)
    {
        UINT needed = 0, got = sizeof listed / sizeof listed[0];
        DWORD reasons = 0;
        if (add(session, (UINT)found->count, (LPCWSTR *)found->paths, 0, NULL, 0, NULL) ==
                ERROR_SUCCESS &&
            list(session, &needed, &got, listed, &reasons) == ERROR_SUCCESS)
            for (UINT i = 0; i < got; ++i)
                count = AddHolder(listed[i].Process.dwProcessId, ours, holders, count, max);
        end(session);
    }
    FreeLibrary(library);
    return count;
}

// Where the Restart Manager names nobody (it is missing, or a stub, as
// under Wine): the processes that run from the folder or have loaded a
// module of it.
static int FindByModules(const DWORD *ours, Holder *holders, int max)
{
    MODULEENTRY32W module;
    int count = 0;

    for (int i = 0; i < ProcessCount && count < max; ++i)
    {
        DWORD pid = Processes[i].pid;
        if (!pid || pid == ours[0])
            continue;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
        if (snapshot == INVALID_HANDLE_VALUE)
            continue;
        module.dwSize = sizeof module;
        for (BOOL more = Module32FirstW(snapshot, &module); more;
             more = Module32NextW(snapshot, &module))
            if (IsWithin(module.szExePath, FolderPath) && !IsSkipped(module.szExePath))
            {
                count = AddHolder(pid, ours, holders, count, max);
                break;
            }
        CloseHandle(snapshot);
    }
    return count;
}

int FindHolders(const InUseList *found, Holder *holders, int max)
{
    HWND window = NULL;
    DWORD windowPid = 0;

    ReadProcesses();
    EnumWindows(UninstallWindowEnumProc, (LPARAM)&window);
    if (window)
        GetWindowThreadProcessId(window, &windowPid);
    const ProcessFacts *self = FactsOf(GetCurrentProcessId());
    // This process, the uninstaller that started it, and the one whose
    // window the question stands over.
    const DWORD ours[3] = {GetCurrentProcessId(), self ? self->parent : 0, windowPid};

    int count = FindByRestartManager(found, ours, holders, max);
    return count ? count : FindByModules(ours, holders, max);
}

int CloseHolders(const Holder *holders, int count)
{
    int asked = 0;
    for (int i = 0; i < count; ++i)
        if (holders[i].closable && CountWindows(&holders[i], TRUE, NULL))
            ++asked;

    // Until each has closed its windows (or ended), or the time is up: one
    // that asks to save its work, or will not close, keeps a window.
    DWORD start = GetTickCount();
    for (BOOL open = asked > 0; open && GetTickCount() - start < CLOSE_TIMEOUT;)
    {
        Sleep(CLOSE_POLL);
        open = FALSE;
        for (int i = 0; i < count && !open; ++i)
            open = holders[i].closable && CountWindows(&holders[i], FALSE, NULL) > 0;
    }
    return asked;
}
