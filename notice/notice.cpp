// The uninstall notice: find the uninstall window by its title, show the
// notice owned by it (or on its own), and return once the user dismisses it.
#include "notice.h"

const char UninstallTitle[] = "Quillane Uninstall";

const char NoticeText[] = "Before continuing to uninstall Quillane please close any open instances "
                          "of the program. "
                          "\r\n\r\n"
                          "You should also close any open Explorer windows.";

// How long the uninstall window may take to answer before the notice stands
// on its own instead of waiting for it.
static const UINT OwnerAnswerTimeout = 1000;

BOOL CALLBACK UninstallWindowEnumProc(HWND hwnd, LPARAM lParam)
{
    char title[256];

    GetWindowTextA(hwnd, title, 255);
    if (lstrcmpiA(title, UninstallTitle) != 0)
        return TRUE;

    *(HWND *)lParam = hwnd;
    return FALSE;
}

void ShowUninstallNotice(void)
{
    HWND OwnerSlot = NULL;

    EnumWindows(UninstallWindowEnumProc, (LPARAM)&OwnerSlot);

    // An owned box must first disable its owner, and that waits on the
    // owner's thread. An uninstaller that waits for us without processing
    // messages would never answer, and neither side could move: show the
    // notice on its own rather than hang the uninstall.
    if (OwnerSlot && !SendMessageTimeoutA(OwnerSlot, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                                          OwnerAnswerTimeout, NULL))
        OwnerSlot = NULL;

    MessageBoxA(OwnerSlot, NoticeText, UninstallTitle, MB_OK);
}
