// The uninstall notice: find the uninstall window by its title, show the
// notice owned by it (or on its own), and return once the user dismisses it.
#include "notice.h"

const char UninstallTitle[] = "Quillane Uninstall";

const char NoticeText[] = "Before continuing to uninstall Quillane please close any open instances "
                          "of the program. "
                          "\r\n\r\n"
                          "You should also close any open Explorer windows.";

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

    MessageBoxA(OwnerSlot, NoticeText, UninstallTitle, MB_OK);
}
