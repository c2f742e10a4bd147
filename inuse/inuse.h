// FilesInUse.exe: what an uninstaller runs after the notice and before it
// removes anything. It looks at everything in the install folder and, while
// another process holds something there that the removal could not take
// away, names the programs that hold it and asks the user to close them:
// it closes them itself on Continue, looks again on Try Again, and keeps
// Quillane whole on Cancel. Its exit code is the answer that the
// uninstaller acts on.
#pragma once

#include "uninstall-window.h"

// The exit codes.
#define CHECK_FREE 0      // nothing holds the folder: the uninstall can go on
#define CHECK_CANCELLED 1 // something does, and the user chose Cancel
#define CHECK_HELD 2      // something does, and nobody could be asked (silent)
#define CHECK_UNUSABLE 3  // wrong arguments: nothing was looked at

#define CHECK_MAX_SKIPS 16
#define CHECK_PATH_SIZE 32768
// How many things in use the check collects, and how many programs it names.
#define CHECK_MAX_FOUND 32
#define CHECK_MAX_HOLDERS 16
#define CHECK_NAME_SIZE 256

// What the uninstaller says, from the command line.
typedef struct CheckOptions
{
    const wchar_t *folder;
    const wchar_t *text;     // the question naming programs, %1 for them; NULL: ours
    const wchar_t *pathText; // the question naming only a path, %1 for it; NULL: ours
    LANGID language;         // picks ours: German or English
    BOOL silent;             // nobody to ask
    BOOL close;              // silent: close what holds the folder all the same
    const wchar_t *skips[CHECK_MAX_SKIPS];
    int skipCount;
} CheckOptions;

// What is in use: the paths, in the order found, in one buffer.
typedef struct InUseList
{
    int count;
    const wchar_t *paths[CHECK_MAX_FOUND];
    wchar_t text[CHECK_PATH_SIZE * 2];
} InUseList;

// A process that holds something of the folder, with the name that a user
// knows it by.
typedef struct Holder
{
    DWORD pid;
    wchar_t name[CHECK_NAME_SIZE];
    BOOL explorer; // Windows Explorer: only its folder windows may be closed
    BOOL closable; // it has a window that can be asked to close
} Holder;

// The whole run: the exit code.
int CheckFilesInUse(int argc, wchar_t **argv);

// Reads the command line into options; FALSE, and the reason in error, if
// it is not one that the check can act on.
BOOL ReadCheckOptions(int argc, wchar_t **argv, CheckOptions *options, wchar_t *error,
                      size_t errorSize);

// Whether a path is the folder's or below it (folder without a trailing
// backslash).
BOOL IsWithin(const wchar_t *path, const wchar_t *folder);
// Whether the options leave the path out (or this program: its own image).
BOOL IsSkipped(const wchar_t *path);

// Looks at the folder, everything below it, and the folder itself, leaving
// out the skipped paths and this program; TRUE, with what is held in found
// (the first CHECK_MAX_FOUND), if the removal could not take everything
// away. Sets the full path of the folder for IsWithin (FolderPath).
BOOL FindInUse(const CheckOptions *options, InUseList *found);
extern wchar_t FolderPath[CHECK_PATH_SIZE];

// Whether another process holds this file or folder so that deleting it
// would fail or leave it (or its folder) behind. Nothing is changed.
BOOL IsInUse(const wchar_t *path, DWORD attributes);

// The programs that hold what is in use, at most max of them, each once:
// those that the system's Restart Manager names, or else those that run
// from the folder or have loaded a module of it; never this process, the
// uninstaller that started it, or the uninstall window's.
int FindHolders(const InUseList *found, Holder *holders, int max);

// Asks each holder to close, as a user would close it (WM_CLOSE to its
// windows; of Explorer, its folder windows only), and waits a bounded time
// for them to end; how many were asked.
int CloseHolders(const Holder *holders, int count);
