// What is in use in the install folder: each file and folder below it, and
// the folder itself, tested as the removal would meet it, without removing
// or changing anything; and what the uninstaller leaves out.
#include "inuse.h"

#include <wchar.h>

// How deep the walk goes before it counts a folder as one that it cannot
// look into: each level holds a search on the stack.
#define MAX_DEPTH 200

// The walk's path, one buffer for every level: the folder being looked at,
// then the entry being tested.
static wchar_t Path[CHECK_PATH_SIZE];
static wchar_t Skips[CHECK_MAX_SKIPS + 1][CHECK_PATH_SIZE];
static int SkipCount;
wchar_t FolderPath[CHECK_PATH_SIZE];

static BOOL IsGone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// An older system (or file system) that knows no POSIX-style deletion.
static BOOL IsUnknownRequest(DWORD error)
{
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION;
}

// Marks the open file for deletion as Windows' own deletion does, and clears
// the mark at once: whatever the outcome, the file stays. Windows 10's
// deletion takes the name away at once, whoever else has the file open, and
// fails only for a file mapped into memory or running as a program or DLL
// (ERROR_ACCESS_DENIED); an older one knows no such request.
static DWORD TryPosixDeletion(HANDLE file)
{
    FILE_DISPOSITION_INFO_EX disposition = {FILE_DISPOSITION_FLAG_DELETE |
                                            FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (!SetFileInformationByHandle(file, FileDispositionInfoExClass, &disposition,
                                    sizeof disposition))
        return GetLastError();
    disposition.Flags = FILE_DISPOSITION_FLAG_DO_NOT_DELETE;
    // Should the mark stay, the file would go when the handle closes: say
    // it is in use, so that nothing else goes meanwhile.
    return SetFileInformationByHandle(file, FileDispositionInfoExClass, &disposition,
                                      sizeof disposition)
               ? ERROR_SUCCESS
               : ERROR_ACCESS_DENIED;
}

// The same on a system whose deletion waits for the last handle to close.
static BOOL TryDeletion(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
        return FALSE;
    disposition.DeleteFile = FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

static BOOL IsHeld(const wchar_t *path, DWORD attributes, BOOL top)
{
    BOOL folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);

    // A process that holds it without letting others delete it (a folder as
    // its current directory, a file opened with no FILE_SHARE_DELETE) makes
    // this fail with ERROR_SHARING_VIOLATION. Whatever cannot be opened for
    // deletion at all cannot be removed either: it counts too.
    HANDLE file = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, flags, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return !IsGone(GetLastError());
    DWORD error = TryPosixDeletion(file);
    CloseHandle(file);
    // A folder with something in it cannot be marked; what is in it is
    // tested on its own.
    if (error == ERROR_SUCCESS || error == ERROR_DIR_NOT_EMPTY)
        return FALSE;
    if (!IsUnknownRequest(error))
        return TRUE;

    // There a deleted name stays until every handle on it has closed, and
    // with it the folder that holds it: any handle counts that reads,
    // writes or deletes, even one that lets others delete. Only the install
    // folder itself may stay a moment: it goes when its last holder (an
    // Explorer window on it) lets go.
    if (top)
        return FALSE;
    file = CreateFileW(path, DELETE, 0, NULL, OPEN_EXISTING, flags, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return !IsGone(GetLastError());
    // A read-only file refuses the mark anyway; NSIS clears the attribute
    // before it deletes, and Inno with uninsremovereadonly. For it, whether
    // it is mapped cannot be told without changing it.
    BOOL held = !folder && !TryDeletion(file) && !(attributes & FILE_ATTRIBUTE_READONLY);
    CloseHandle(file);
    return held;
}

BOOL IsInUse(const wchar_t *path, DWORD attributes)
{
    return IsHeld(path, attributes, FALSE);
}

BOOL IsWithin(const wchar_t *path, const wchar_t *folder)
{
    size_t length = wcslen(folder);
    return length && wcslen(path) >= length &&
           CompareStringOrdinal(path, (int)length, folder, (int)length, TRUE) == CSTR_EQUAL &&
           (path[length] == L'\0' || path[length] == L'\\');
}

BOOL IsSkipped(const wchar_t *path)
{
    for (int i = 0; i < SkipCount; ++i)
        if (IsWithin(path, Skips[i]))
            return TRUE;
    return FALSE;
}

// Adds what Path names to the list; FALSE once the list is full.
static BOOL Record(InUseList *found)
{
    size_t used = 0;
    if (found->count)
    {
        const wchar_t *last = found->paths[found->count - 1];
        used = (size_t)(last - found->text) + wcslen(last) + 1;
    }
    size_t length = wcslen(Path) + 1;
    if (found->count < CHECK_MAX_FOUND && used + length <= sizeof found->text / sizeof(wchar_t))
    {
        wmemcpy(found->text + used, Path, length);
        found->paths[found->count++] = found->text + used;
    }
    return found->count < CHECK_MAX_FOUND;
}

// Looks below the folder that Path names (length characters), recording
// what is in use there; a folder that cannot be looked into counts itself.
// FALSE once the list is full.
static BOOL WalkFolder(size_t length, int depth, InUseList *found)
{
    WIN32_FIND_DATAW entry;

    if (depth >= MAX_DEPTH || length + 3 > CHECK_PATH_SIZE)
        return Record(found);
    wcscpy(Path + length, L"\\*");
    HANDLE search = FindFirstFileW(Path, &entry);
    Path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE)
        return IsGone(GetLastError()) || Record(found);

    BOOL more = TRUE, room = TRUE;
    do
    {
        const wchar_t *name = entry.cFileName;
        size_t end = length + 1 + wcslen(name);
        if (!wcscmp(name, L".") || !wcscmp(name, L".."))
            continue;
        if (end >= CHECK_PATH_SIZE)
        {
            Path[length] = L'\0';
            room = Record(found);
            break;
        }
        Path[length] = L'\\';
        wcscpy(Path + length + 1, name);
        if (IsSkipped(Path))
            continue;
        // A link to a folder elsewhere is removed, never what it points to.
        DWORD attributes = entry.dwFileAttributes;
        if (IsHeld(Path, attributes, FALSE))
            room = Record(found);
        else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                 !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            room = WalkFolder(end, depth + 1, found);
    } while (room && (more = FindNextFileW(search, &entry)));
    // A search that ends early has not seen everything.
    DWORD error = GetLastError();
    FindClose(search);
    Path[length] = L'\0';
    if (room && !more && error != ERROR_NO_MORE_FILES)
        room = Record(found);
    return room;
}

BOOL FindInUse(const CheckOptions *options, InUseList *found)
{
    SkipCount = 0;
    for (int i = 0; i < options->skipCount; ++i)
    {
        wchar_t *skip = Skips[SkipCount];
        DWORD length = GetFullPathNameW(options->skips[i], CHECK_PATH_SIZE, skip, NULL);
        if (!length || length >= CHECK_PATH_SIZE)
            continue;
        while (length > 0 && skip[length - 1] == L'\\')
            skip[--length] = L'\0';
        ++SkipCount;
    }
    // This program may run from the folder: its own image is mapped.
    DWORD length = GetModuleFileNameW(NULL, Skips[SkipCount], CHECK_PATH_SIZE);
    if (length && length < CHECK_PATH_SIZE)
        ++SkipCount;

    found->count = 0;
    FolderPath[0] = L'\0';
    length = GetFullPathNameW(options->folder, CHECK_PATH_SIZE, Path, NULL);
    if (!length || length >= CHECK_PATH_SIZE)
    {
        // A folder that cannot be named in full cannot be looked at.
        wcsncpy(Path, options->folder, CHECK_PATH_SIZE - 1);
        Path[CHECK_PATH_SIZE - 1] = L'\0';
        Record(found);
        return TRUE;
    }
    while (length > 0 && Path[length - 1] == L'\\')
        Path[--length] = L'\0';
    wcscpy(FolderPath, Path);
    DWORD attributes = GetFileAttributesW(Path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        if (!IsGone(GetLastError()))
            Record(found);
    }
    else if (IsHeld(Path, attributes, TRUE))
        Record(found);
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        WalkFolder(length, 0, found);
    return found->count > 0;
}
