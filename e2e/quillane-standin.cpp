// A stand-in for Quillane, which the suite's installers put into the install
// folder as Quillane.exe: a program of that folder that runs until it is
// closed, as a user closes Quillane. Its one window, of the class
// "QuillaneStandIn", is shown and titled "Quillane"; WM_CLOSE to it ends the
// program, unless it was started with /stubborn: then it will not close, as
// a program that asks to save its work does not, until WM_APP tells it to.
// With /hold=PATH it holds that file open, with no sharing, while it runs.
// While it runs, the mutex "QuillaneStandIn" exists, as one would for Inno's
// AppMutex.
#include <windows.h>

#include <string.h>

static bool Stubborn;

static LRESULT CALLBACK StandInProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE && Stubborn)
        return 0;
    if (message == WM_APP)
        DestroyWindow(hwnd);
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    Stubborn = strstr(commandLine, "/stubborn") != NULL;
    // Held until the process ends; the path runs to the end of the line.
    if (const char *hold = strstr(commandLine, "/hold="))
        CreateFileA(hold + 6, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    // Released when the process ends.
    CreateMutexA(NULL, FALSE, "QuillaneStandIn");
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = StandInProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "QuillaneStandIn";
    if (!RegisterClassA(&windowClass) ||
        !CreateWindowA("QuillaneStandIn", "Quillane", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 240,
                       120, NULL, NULL, instance, NULL))
        return 1;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
