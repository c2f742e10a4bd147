// The uninstall notice: find the uninstall window by its title, show the
// notice owned by it (or on its own), and return once the user dismisses it.
#include "notice.h"

const char NoticeText[] = "Before continuing to uninstall Quillane please close any open instances "
                          "of the program. "
                          "\r\n\r\n"
                          "You should also close any open Explorer windows.";

void ShowUninstallNotice(void)
{
    if (NoOneCanSee())
        return;

    HWND OwnerSlot = FindUninstallWindow();

    // The owner can go away between its answer and the box; then no box is
    // shown for it (0, or -1 under Wine). Show the notice on its own rather
    // than end as if the user had read it.
    if (MessageBoxA(OwnerSlot, NoticeText, UninstallTitle, MB_OK) <= 0 && OwnerSlot)
        MessageBoxA(NULL, NoticeText, UninstallTitle, MB_OK);
}
