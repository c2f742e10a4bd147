#include "notice.h"

// The command line is not read: the notice is the same however it is started.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    NarrowDllSearch();
    ShowUninstallNotice();
    return 0;
}
