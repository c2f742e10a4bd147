// A DLL that a stranger planted beside the notice under the name of one that
// showing a box loads. If it is ever loaded, it writes its own path to
// "planted-dll-loaded.txt" beside itself, then declines to stay, so that the
// process goes on without it.
#include <windows.h>

#include <string.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;

    char path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    char record[MAX_PATH + 32];
    memcpy(record, path, length + 1);
    char *slash = strrchr(record, '\\');
    strcpy(slash ? slash + 1 : record, "planted-dll-loaded.txt");

    HANDLE file = CreateFileA(record, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written;
        WriteFile(file, path, length, &written, NULL);
        CloseHandle(file);
    }
    return FALSE;
}
