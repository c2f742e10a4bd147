// The uninstall window, found by its title, and what any box of ours needs
// before it shows: DLLs from the system folder only, and someone to see it.
#include "uninstall-window.h"

const char UninstallTitle[] = UNINSTALL_TITLE;

// How long the uninstall window may take to answer before a box stands on
// its own instead of waiting for it.
static const UINT OwnerAnswerTimeout = 1000;

// Showing a box loads DLLs that are not on the system's list of known DLLs,
// and Windows looks for those in the program's own folder first. We are often
// started elevated from a folder that others can write to, so load DLLs from
// the system folder only. Where that call is missing, at least take the
// current folder out of the search. If both fail, the box still matters
// more than the narrowing: go on.
void NarrowDllSearch(void)
{
    typedef BOOL(WINAPI * SetDefaultProc)(DWORD);
    FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    SetDefaultProc setDefaultDllDirectories = (SetDefaultProc)(void (*)(void))found;

    if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    SetDllDirectoryA("");
}

// An unattended uninstall (run as a service, say) has a window station that
// no one sees: a box there could never be dismissed, and the uninstall would
// wait for ever. Only a station known to be unseen counts.
BOOL NoOneCanSee(void)
{
    USEROBJECTFLAGS station;

    return GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station,
                                     NULL) &&
           !(station.dwFlags & WSF_VISIBLE);
}

BOOL CALLBACK UninstallWindowEnumProc(HWND hwnd, LPARAM lParam)
{
    char title[256];

    // A window destroyed meanwhile can fail the read without writing
    // anything; it must then read as the empty title.
    title[0] = '\0';
    GetWindowTextA(hwnd, title, 255);
    if (lstrcmpiA(title, UninstallTitle) != 0)
        return TRUE;

    *(HWND *)lParam = hwnd;
    return FALSE;
}

HWND FindUninstallWindow(void)
{
    HWND OwnerSlot = NULL;

    EnumWindows(UninstallWindowEnumProc, (LPARAM)&OwnerSlot);

    // An owned box must first disable its owner, and that waits on the
    // owner's thread. An uninstaller that waits for us without processing
    // messages would never answer, and neither side could move: stand on
    // our own rather than hang the uninstall.
    if (OwnerSlot && !SendMessageTimeoutA(OwnerSlot, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                                          OwnerAnswerTimeout, NULL))
        OwnerSlot = NULL;
    return OwnerSlot;
}
