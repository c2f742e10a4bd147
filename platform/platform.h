// The platform as the programs see it. On Windows this is the real API and
// nothing else; elsewhere it declares the same calls, which the stand-in
// desktop (standin.cpp) and file system (standin-files.cpp) provide so that
// the logic can be exercised on Linux.
#pragma once

#ifdef _WIN32

#include <windows.h>

#include <restartmanager.h>
#include <tlhelp32.h>

// Windows 10's deletion request, which these headers keep behind a version
// that no build can set.
#define FileDispositionInfoExClass ((FILE_INFO_BY_HANDLE_CLASS)21)
#ifndef FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
#define FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE 0x00000010
#endif

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
typedef wchar_t WCHAR, *LPWSTR;
typedef const wchar_t *LPCWSTR, *LPCWCH;
typedef uint16_t LANGID;
typedef unsigned char BOOLEAN;
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

#define MB_RETRYCANCEL 0x00000005u
#define MB_CANCELTRYCONTINUE 0x00000006u
#define MB_ICONEXCLAMATION 0x00000030u
#define IDCANCEL 2
#define IDRETRY 4
#define IDTRYAGAIN 10
#define IDCONTINUE 11
#define WM_CLOSE 0x0010u
#define GW_OWNER 4
#define ERROR_MORE_DATA 234u
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPMODULE 0x00000008u
#define TH32CS_SNAPMODULE32 0x00000010u
#define CCH_RM_SESSION_KEY 32
#define MAX_PATH 260
#define CP_UTF8 65001u
#define STD_ERROR_HANDLE ((DWORD)-12)
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define CSTR_EQUAL 2
#define LANG_GERMAN 0x07
#define PRIMARYLANGID(language) ((WORD)(language)&0x3ff)
typedef uint16_t WORD;

#define DELETE 0x00010000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_EXISTING 3u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_DISPOSITION_FLAG_DO_NOT_DELETE 0x00000000u
#define FILE_DISPOSITION_FLAG_DELETE 0x00000001u
#define FILE_DISPOSITION_FLAG_POSIX_SEMANTICS 0x00000002u
#define FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE 0x00000010u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DIR_NOT_EMPTY 145u

typedef enum _FILE_INFO_BY_HANDLE_CLASS
{
    FileDispositionInfo = 4,
    FileDispositionInfoExClass = 21
} FILE_INFO_BY_HANDLE_CLASS;

typedef struct _FILE_DISPOSITION_INFO
{
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFO;

typedef struct _FILE_DISPOSITION_INFO_EX
{
    DWORD Flags;
} FILE_DISPOSITION_INFO_EX;

typedef struct _WIN32_FIND_DATAW
{
    DWORD dwFileAttributes;
    WCHAR cFileName[MAX_PATH];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef struct tagPROCESSENTRY32W
{
    DWORD dwSize;
    DWORD th32ProcessID;
    DWORD th32ParentProcessID;
    WCHAR szExeFile[MAX_PATH];
} PROCESSENTRY32W;

typedef struct tagMODULEENTRY32W
{
    DWORD dwSize;
    DWORD th32ProcessID;
    WCHAR szExePath[MAX_PATH];
} MODULEENTRY32W;

typedef struct _RM_UNIQUE_PROCESS
{
    DWORD dwProcessId;
    uint64_t ProcessStartTime;
} RM_UNIQUE_PROCESS;

typedef struct _RM_PROCESS_INFO
{
    RM_UNIQUE_PROCESS Process;
    WCHAR strAppName[256];
    WCHAR strServiceShortName[64];
    int ApplicationType;
    DWORD AppStatus;
    DWORD TSSessionId;
    BOOL bRestartable;
} RM_PROCESS_INFO;

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
int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

DWORD WINAPI GetLastError(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetTickCount(void);
void WINAPI Sleep(DWORD dwMilliseconds);
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL WINAPI Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W *lppe);
BOOL WINAPI Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W *lppe);
BOOL WINAPI Module32FirstW(HANDLE hSnapshot, MODULEENTRY32W *lpme);
BOOL WINAPI Module32NextW(HANDLE hSnapshot, MODULEENTRY32W *lpme);
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
BOOL WINAPI IsWindowVisible(HWND hWnd);
HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);
int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);
int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount);
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          void *lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                       PVOID lpFileInformation, DWORD dwBufferSize);
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                              LPWSTR *lpFilePart);
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName);
int WINAPI CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2, int cchCount2,
                                BOOL bIgnoreCase);
HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
BOOL WINAPI WriteFile(HANDLE hFile, const void *lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, void *lpOverlapped);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               BOOL *lpUsedDefaultChar);

// The programs' entries, so that tests can start a run as the start-up code would.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);
int wmain(int argc, wchar_t **argv);

#endif
