// The floor for the benchmark: nothing but the notice's own box, on its own.
#include "notice.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MessageBoxA(NULL, NoticeText, UninstallTitle, MB_OK);
    return 0;
}
