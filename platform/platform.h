// The platform as the notice sees it. On Windows this is the real API and
// nothing else; elsewhere it declares the same calls, which the stand-in
// desktop (standin.cpp) provides so that the logic can be exercised on Linux.
#pragma once

#ifdef _WIN32

#include <windows.h>

#else

#include <cstddef>
#include <cstdint>

typedef int BOOL;
typedef unsigned int UINT;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t DWORD_PTR, *PDWORD_PTR;
typedef uint32_t DWORD, *LPDWORD;
typedef void *PVOID, *HANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef struct StandInWindow *HWND;
typedef struct StandInInstance *HINSTANCE;
typedef struct StandInModule *HMODULE;
typedef struct StandInStationObject *HWINSTA;
typedef intptr_t (*FARPROC)(void);

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MB_OK 0x00000000u
#define IDOK 1
#define WM_NULL 0x0000u
#define SMTO_BLOCK 0x0001u
#define SMTO_ABORTIFHUNG 0x0002u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001u

typedef struct tagUSEROBJECTFLAGS
{
    BOOL fInherit;
    BOOL fReserved;
    DWORD dwFlags;
} USEROBJECTFLAGS;

typedef BOOL(CALLBACK *WNDENUMPROC)(HWND, LPARAM);

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName);
HWINSTA WINAPI GetProcessWindowStation(void);
BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded);
BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult);
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// The program's entry, so that tests can start a run as the start-up code would.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

#endif
