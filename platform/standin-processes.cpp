// Processes without a system: the programs that tests stage, their modules,
// what they hold and their windows, the snapshots that list them, and the
// Restart Manager that names who holds a file.
#include "standin-processes.h"
#include "standin-files.h"
#include "standin.h"

#include <algorithm>
#include <cwctype>
#include <deque>

// As standin.cpp has it: a module is its address.
struct StandInModule
{
};
static StandInModule RestartManagerModule;

namespace
{

struct Process
{
    DWORD pid, parent;
    std::wstring file;
    std::vector<std::wstring> modules, holds;
    StandInCloses closes;
    bool ended;
};

struct Snapshot
{
    std::vector<Process *> processes;  // a process list
    std::vector<std::wstring> modules; // or one process's modules
    size_t next;
    bool open;
};

std::deque<Process> Processes;
std::deque<Snapshot> Snapshots;
std::vector<std::wstring> Loaded;
StandInRestartManager RestartManager;
DWORD Clock, Slept, NextPid;
std::vector<std::wstring> Registered;

bool Same(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return towupper(x) == towupper(y); });
}

Process *Find(DWORD pid)
{
    for (Process &process : Processes)
        if (process.pid == pid && !process.ended)
            return &process;
    return nullptr;
}

void Copy(const std::wstring &text, WCHAR *out)
{
    size_t length = std::min(text.size(), static_cast<size_t>(MAX_PATH - 1));
    std::copy(text.begin(), text.begin() + length, out);
    out[length] = L'\0';
}

HWND UninstallWindow;

void End(Process *process)
{
    process->ended = true;
    StandInCloseWindowsOf(process->pid);
    for (const std::wstring &path : process->holds)
        StandInSetHold(path, StandInFree);
}

// WM_CLOSE: a process that closes when asked ends, and lets go of all.
void OnClose(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    Process *process = Find(pid);
    if (process && process->closes == StandInClosesWhenAsked)
        End(process);
}

DWORD WINAPI RmStartSession(DWORD *pSessionHandle, DWORD, WCHAR strSessionKey[])
{
    *pSessionHandle = 7;
    strSessionKey[0] = L'\0';
    Registered.clear();
    return ERROR_SUCCESS;
}

DWORD WINAPI RmRegisterResources(DWORD, UINT nFiles, LPCWSTR rgsFilenames[], UINT,
                                 RM_UNIQUE_PROCESS *, UINT, LPCWSTR *)
{
    for (UINT i = 0; i < nFiles; ++i)
        Registered.push_back(rgsFilenames[i]);
    return ERROR_SUCCESS;
}

DWORD WINAPI RmGetList(DWORD, UINT *pnProcInfoNeeded, UINT *pnProcInfo,
                       RM_PROCESS_INFO rgAffectedApps[], LPDWORD lpdwRebootReasons)
{
    std::vector<DWORD> holders;
    if (RestartManager == StandInRestartManagerAnswers)
        for (const Process &process : Processes)
            if (!process.ended &&
                std::any_of(process.holds.begin(), process.holds.end(),
                            [](const std::wstring &held)
                            {
                                return std::any_of(Registered.begin(), Registered.end(),
                                                   [&held](const std::wstring &path)
                                                   { return Same(path, held); });
                            }))
                holders.push_back(process.pid);
    *pnProcInfoNeeded = static_cast<UINT>(holders.size());
    *lpdwRebootReasons = 0;
    if (holders.size() > *pnProcInfo)
        return ERROR_MORE_DATA;
    *pnProcInfo = static_cast<UINT>(holders.size());
    for (size_t i = 0; i < holders.size(); ++i)
    {
        rgAffectedApps[i] = RM_PROCESS_INFO();
        rgAffectedApps[i].Process.dwProcessId = holders[i];
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI RmEndSession(DWORD)
{
    return ERROR_SUCCESS;
}

bool CloseSnapshot(HANDLE handle)
{
    for (Snapshot &snapshot : Snapshots)
        if (&snapshot == handle)
        {
            snapshot.open = false;
            return true;
        }
    return false;
}

FARPROC RestartManagerProc(HMODULE module, LPCSTR name)
{
    if (module != &RestartManagerModule)
        return nullptr;
    std::string wanted = name;
    auto cast = [](auto *proc)
    { return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(proc)); };
    if (wanted == "RmStartSession")
        return cast(RmStartSession);
    if (wanted == "RmRegisterResources")
        return cast(RmRegisterResources);
    if (wanted == "RmGetList")
        return cast(RmGetList);
    if (wanted == "RmEndSession")
        return cast(RmEndSession);
    return nullptr;
}

} // namespace

void StandInProcessesReset(StandInRestartManager restartManager)
{
    Processes.clear();
    Snapshots.clear();
    Loaded.clear();
    RestartManager = restartManager;
    Clock = 1000;
    Slept = 0;
    NextPid = 200;
    StandInOnClose = OnClose;
    StandInOtherProcAddress = RestartManagerProc;
    StandInCloseOther = CloseSnapshot;
    Processes.push_back({StandInExplorerPid,
                         4,
                         L"explorer.exe",
                         {L"C:\\Windows\\explorer.exe"},
                         {},
                         StandInClosesWhenAsked,
                         false});
    StandInAddProcessWindow(StandInExplorerPid, "", "Progman");
    StandInAddProcessWindow(StandInExplorerPid, "", "Shell_TrayWnd");
    Processes.push_back({StandInUninstallerPid,
                         StandInExplorerPid,
                         L"Au_.exe",
                         {L"C:\\Temp\\Au_.exe"},
                         {},
                         StandInClosesWhenAsked,
                         false});
    UninstallWindow =
        StandInAddProcessWindow(StandInUninstallerPid, "Quillane Uninstall", "#32770");
    Processes.push_back({StandInCheckPid,
                         StandInUninstallerPid,
                         L"FilesInUse.exe",
                         {L"C:\\Temp\\FilesInUse.exe"},
                         {},
                         StandInClosesWhenAsked,
                         false});
}

DWORD StandInAddProcess(const std::wstring &file, const std::vector<std::wstring> &modules,
                        const std::vector<std::wstring> &holds, StandInCloses closes)
{
    DWORD pid = NextPid++;
    Processes.push_back({pid, StandInExplorerPid, file, modules, holds, closes, false});
    return pid;
}

void StandInHoldBy(DWORD pid, const std::wstring &path)
{
    Find(pid)->holds.push_back(path);
}

HWND StandInOpenFolderWindow(const std::wstring &holds)
{
    Find(StandInExplorerPid)->holds.push_back(holds);
    return StandInAddProcessWindow(StandInExplorerPid, "data", "CabinetWClass");
}

bool StandInHasEnded(DWORD pid)
{
    return !Find(pid);
}

void StandInEndProcess(DWORD pid)
{
    End(Find(pid));
}

HWND StandInUninstallWindow()
{
    return UninstallWindow;
}

const std::vector<std::wstring> &StandInLoadedLibraries()
{
    return Loaded;
}

DWORD StandInSlept()
{
    return Slept;
}

int StandInOpenSnapshots()
{
    return static_cast<int>(std::count_if(Snapshots.begin(), Snapshots.end(),
                                          [](const Snapshot &s) { return s.open; }));
}

DWORD WINAPI GetCurrentProcessId(void)
{
    return StandInCheckPid;
}

DWORD WINAPI GetTickCount(void)
{
    return Clock;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    Clock += dwMilliseconds;
    Slept += dwMilliseconds;
}

// Only by its full path in the system folder.
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    Loaded.push_back(lpLibFileName);
    if (RestartManager == StandInNoRestartManager ||
        !Same(lpLibFileName, L"C:\\Windows\\system32\\rstrtmgr.dll"))
        return nullptr;
    return &RestartManagerModule;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    return hLibModule == &RestartManagerModule;
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID)
{
    Snapshot snapshot = {{}, {}, 0, true};
    if (dwFlags & TH32CS_SNAPPROCESS)
    {
        for (Process &process : Processes)
            if (!process.ended)
                snapshot.processes.push_back(&process);
    }
    else
    {
        Process *process = Find(th32ProcessID);
        if (!process)
            return INVALID_HANDLE_VALUE;
        snapshot.modules = process->modules;
    }
    Snapshots.push_back(snapshot);
    return &Snapshots.back();
}

BOOL WINAPI Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W *lppe)
{
    static_cast<Snapshot *>(hSnapshot)->next = 0;
    return Process32NextW(hSnapshot, lppe);
}

BOOL WINAPI Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W *lppe)
{
    Snapshot *snapshot = static_cast<Snapshot *>(hSnapshot);
    if (snapshot->next >= snapshot->processes.size())
        return FALSE;
    const Process *process = snapshot->processes[snapshot->next++];
    lppe->th32ProcessID = process->pid;
    lppe->th32ParentProcessID = process->parent;
    Copy(process->file, lppe->szExeFile);
    return TRUE;
}

BOOL WINAPI Module32FirstW(HANDLE hSnapshot, MODULEENTRY32W *lpme)
{
    static_cast<Snapshot *>(hSnapshot)->next = 0;
    return Module32NextW(hSnapshot, lpme);
}

BOOL WINAPI Module32NextW(HANDLE hSnapshot, MODULEENTRY32W *lpme)
{
    Snapshot *snapshot = static_cast<Snapshot *>(hSnapshot);
    if (snapshot->next >= snapshot->modules.size())
        return FALSE;
    Copy(snapshot->modules[snapshot->next++], lpme->szExePath);
    return TRUE;
}
