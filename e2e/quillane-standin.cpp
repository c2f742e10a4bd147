// A stand-in for Quillane, which the suite's installers put into the install
// folder as Quillane.exe: a program of that folder that runs until it is
// closed, as a user closes Quillane. Its one window, hidden, is of the class
// "QuillaneStandIn"; WM_CLOSE to it ends the program. While it runs, the
// mutex "QuillaneStandIn" exists, as one would for Inno's AppMutex.
#include <windows.h>

static LRESULT CALLBACK StandInProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Released when the process ends.
    CreateMutexA(NULL, FALSE, "QuillaneStandIn");
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = StandInProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "QuillaneStandIn";
    if (!RegisterClassA(&windowClass) ||
        !CreateWindowA("QuillaneStandIn", "Quillane", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL,
                       NULL, instance, NULL))
        return 1;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
