// A file system without a disk: the folders and files that tests stage,
// how other processes hold them, and the calls of the in-use check on them,
// with the sharing and deletion rules of Windows as far as the check meets
// them.
#include "standin-files.h"
#include "standin.h"

#include <algorithm>
#include <cwctype>
#include <deque>

namespace
{

struct Entry
{
    std::wstring path;
    bool folder;
    DWORD attributes;
    StandInHold hold;
    bool vanishes;
    bool gone;
};

// A deque keeps every object at one address, which serves as its handle.
struct Handle
{
    Entry *entry; // NULL: the standard error; a search: below
    bool marked;
    bool search;
    std::vector<Entry *> found;
    size_t next;
    bool open;
};

std::deque<Entry> Entries;
std::deque<Handle> Handles;
std::vector<std::wstring> Deleted;
std::string StandardError;
StandInDeletion Deletion;
std::wstring ProgramPath, CurrentDirectory;
DWORD LastError;
int Opens;
Handle ErrorStream = {nullptr, false, false, {}, 0, true};

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return towupper(x) == towupper(y); });
}

std::wstring FolderOf(const std::wstring &path)
{
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

Entry *Find(const std::wstring &path)
{
    for (Entry &entry : Entries)
        if (!entry.gone && SameText(entry.path, path))
            return &entry;
    return nullptr;
}

bool HasChildren(const Entry &folder)
{
    return std::any_of(Entries.begin(), Entries.end(),
                       [&folder](const Entry &entry)
                       { return !entry.gone && SameText(FolderOf(entry.path), folder.path); });
}

// Whether the process's own current directory is this folder or below it:
// it holds the folder as any other process's does.
bool IsOwnCurrentDirectory(const Entry &entry)
{
    return entry.folder && CurrentDirectory.size() >= entry.path.size() &&
           SameText(CurrentDirectory.substr(0, entry.path.size()), entry.path) &&
           (CurrentDirectory.size() == entry.path.size() ||
            CurrentDirectory[entry.path.size()] == L'\\');
}

BOOL Fail(DWORD error)
{
    LastError = error;
    return FALSE;
}

} // namespace

void StandInFilesReset(StandInDeletion deletion)
{
    Entries.clear();
    Handles.clear();
    Deleted.clear();
    StandardError.clear();
    Deletion = deletion;
    ProgramPath = L"C:\\Temp\\FilesInUse.exe";
    CurrentDirectory = L"C:\\Windows\\system32";
    Opens = 0;
}

void StandInAddFile(const std::wstring &path, StandInHold hold, DWORD attributes)
{
    Entries.push_back({path, false, attributes, hold, false, false});
}

void StandInAddFolder(const std::wstring &path, StandInHold hold)
{
    Entries.push_back({path, true, FILE_ATTRIBUTE_DIRECTORY, hold, false, false});
}

void StandInSetHold(const std::wstring &path, StandInHold hold)
{
    Find(path)->hold = hold;
}

void StandInVanishAfterListing(const std::wstring &path)
{
    Find(path)->vanishes = true;
}

void StandInSetProgramPath(const std::wstring &path)
{
    ProgramPath = path;
}

void StandInSetCurrentDirectory(const std::wstring &path)
{
    CurrentDirectory = path;
}

const std::vector<std::wstring> &StandInDeleted()
{
    return Deleted;
}

int StandInOpenHandles()
{
    return static_cast<int>(
        std::count_if(Handles.begin(), Handles.end(), [](const Handle &h) { return h.open; }));
}

int StandInOpens()
{
    return Opens;
}

const std::string &StandInStandardError()
{
    return StandardError;
}

DWORD WINAPI GetLastError(void)
{
    return LastError;
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void *,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    ++Opens;
    Entry *entry = Find(lpFileName);
    if (!entry || entry->vanishes || dwCreationDisposition != OPEN_EXISTING)
        return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    if (entry->folder && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))
        return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    StandInHold hold = IsOwnCurrentDirectory(*entry) ? StandInHeldNoDelete : entry->hold;
    // A holder reads; whoever opens must share that, and may delete only
    // where the holder shares deletion.
    bool conflicts = (hold == StandInHeldNoDelete && (dwDesiredAccess & DELETE)) ||
                     ((hold == StandInHeldNoDelete || hold == StandInHeldSharingDelete) &&
                      (dwShareMode & all) != all);
    if (conflicts)
        return Fail(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    if (hold == StandInUnopenable)
        return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    Handles.push_back({entry, false, false, {}, 0, true});
    return &Handles.back();
}

bool (*StandInCloseOther)(HANDLE handle);

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (StandInCloseOther && StandInCloseOther(hObject))
        return TRUE;
    Handle *handle = static_cast<Handle *>(hObject);
    if (!handle || !handle->open || handle->search)
        return Fail(ERROR_INVALID_PARAMETER);
    handle->open = false;
    // The mark left set: the file goes now.
    if (handle->marked)
    {
        handle->entry->gone = true;
        Deleted.push_back(handle->entry->path);
    }
    return TRUE;
}

BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                       PVOID lpFileInformation, DWORD dwBufferSize)
{
    Handle *handle = static_cast<Handle *>(hFile);
    bool mark, ignoreReadOnly = false;
    if (FileInformationClass == FileDispositionInfoExClass)
    {
        const FILE_DISPOSITION_INFO_EX *info =
            static_cast<const FILE_DISPOSITION_INFO_EX *>(lpFileInformation);
        if (Deletion == StandInLegacyDeletion || dwBufferSize != sizeof *info)
            return Fail(ERROR_INVALID_PARAMETER);
        mark = info->Flags & FILE_DISPOSITION_FLAG_DELETE;
        ignoreReadOnly = info->Flags & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
    }
    else if (FileInformationClass == FileDispositionInfo)
    {
        if (dwBufferSize != sizeof(FILE_DISPOSITION_INFO))
            return Fail(ERROR_INVALID_PARAMETER);
        mark = static_cast<const FILE_DISPOSITION_INFO *>(lpFileInformation)->DeleteFile;
    }
    else
        return Fail(ERROR_INVALID_PARAMETER);
    if (!handle || !handle->open || handle->search || !handle->entry)
        return Fail(ERROR_INVALID_PARAMETER);
    const Entry &entry = *handle->entry;
    if (mark && entry.folder && HasChildren(entry))
        return Fail(ERROR_DIR_NOT_EMPTY);
    if (mark && (entry.hold == StandInMapped ||
                 ((entry.attributes & FILE_ATTRIBUTE_READONLY) && !ignoreReadOnly)))
        return Fail(ERROR_ACCESS_DENIED);
    handle->marked = mark;
    return TRUE;
}

static void Describe(const Entry &entry, LPWIN32_FIND_DATAW data)
{
    std::wstring name = entry.path.substr(entry.path.find_last_of(L'\\') + 1);
    data->dwFileAttributes = entry.attributes;
    size_t length = std::min(name.size(), static_cast<size_t>(MAX_PATH - 1));
    std::copy(name.begin(), name.begin() + length, data->cFileName);
    data->cFileName[length] = L'\0';
}

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    std::wstring pattern = lpFileName;
    if (pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, L"\\*"))
        return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    Entry *folder = Find(pattern.substr(0, pattern.size() - 2));
    if (!folder || !folder->folder)
        return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    Handles.push_back({nullptr, false, true, {}, 0, true});
    Handle &search = Handles.back();
    static Entry dot = {L".", true, FILE_ATTRIBUTE_DIRECTORY, StandInFree, false, false};
    static Entry dotDot = {L"..", true, FILE_ATTRIBUTE_DIRECTORY, StandInFree, false, false};
    search.found = {&dot, &dotDot};
    for (Entry &entry : Entries)
        if (!entry.gone && SameText(FolderOf(entry.path), folder->path))
            search.found.push_back(&entry);
    FindNextFileW(&search, lpFindFileData);
    return &search;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    Handle *search = static_cast<Handle *>(hFindFile);
    if (!search || !search->search || !search->open)
        return Fail(ERROR_INVALID_PARAMETER);
    if (search->next == search->found.size())
        return Fail(ERROR_NO_MORE_FILES);
    Describe(*search->found[search->next++], lpFindFileData);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    Handle *search = static_cast<Handle *>(hFindFile);
    if (!search || !search->search || !search->open)
        return Fail(ERROR_INVALID_PARAMETER);
    search->open = false;
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    Entry *entry = Find(lpFileName);
    if (!entry)
        return Fail(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
    return entry->attributes;
}

// Paths here are absolute already; only a trailing separator is kept as
// given, as the real call keeps it.
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR *)
{
    std::wstring path = lpFileName;
    if (path.size() >= nBufferLength)
        return static_cast<DWORD>(path.size() + 1);
    std::copy(path.begin(), path.end(), lpBuffer);
    lpBuffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

static DWORD CopyOut(const std::wstring &text, LPWSTR buffer, DWORD size)
{
    if (text.size() >= size)
        return 0;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
    return static_cast<DWORD>(text.size());
}

DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR lpFilename, DWORD nSize)
{
    return CopyOut(ProgramPath, lpFilename, nSize);
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    return CopyOut(L"C:\\Windows\\system32", lpBuffer, uSize);
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName)
{
    CurrentDirectory = lpPathName;
    return TRUE;
}

int WINAPI CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2, int cchCount2,
                                BOOL bIgnoreCase)
{
    std::wstring a = cchCount1 < 0 ? std::wstring(lpString1) : std::wstring(lpString1, cchCount1);
    std::wstring b = cchCount2 < 0 ? std::wstring(lpString2) : std::wstring(lpString2, cchCount2);
    if (bIgnoreCase)
        return SameText(a, b) ? CSTR_EQUAL : 1;
    return a == b ? CSTR_EQUAL : 1;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    return nStdHandle == STD_ERROR_HANDLE ? &ErrorStream : nullptr;
}

BOOL WINAPI WriteFile(HANDLE hFile, const void *lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, void *)
{
    if (hFile != &ErrorStream)
        return Fail(ERROR_INVALID_PARAMETER);
    StandardError.append(static_cast<const char *>(lpBuffer), nNumberOfBytesToWrite);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

// UTF-8 only, the one code page that the check asks for.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR, BOOL *)
{
    if (CodePage != CP_UTF8 || cchWideChar != -1)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string out = StandInUtf8(lpWideCharStr);
    if (static_cast<int>(out.size()) >= cbMultiByte)
        return Fail(ERROR_INVALID_PARAMETER);
    std::copy(out.begin(), out.end(), lpMultiByteStr);
    lpMultiByteStr[out.size()] = '\0';
    return static_cast<int>(out.size() + 1);
}
