// FilesInUse.exe: what an uninstaller runs after the notice and before it
// removes anything. It looks at everything in the install folder and, while
// another process holds something there that the removal could not take
// away, asks the user to close it, again and again on Retry. Its exit code
// is the answer that the uninstaller acts on.
#pragma once

#include "uninstall-window.h"

// The exit codes.
#define CHECK_FREE 0      // nothing holds the folder: the uninstall can go on
#define CHECK_CANCELLED 1 // something does, and the user chose Cancel
#define CHECK_HELD 2      // something does, and nobody could be asked (silent)
#define CHECK_UNUSABLE 3  // wrong arguments: nothing was looked at

#define CHECK_MAX_SKIPS 16
#define CHECK_PATH_SIZE 32768

// What the uninstaller says, from the command line.
typedef struct CheckOptions
{
    const wchar_t *folder;
    const wchar_t *text; // the question, %1 where what is in use goes; NULL: ours
    LANGID language;     // picks ours: German or English
    BOOL silent;         // nobody to ask
    const wchar_t *skips[CHECK_MAX_SKIPS];
    int skipCount;
} CheckOptions;

// The whole run: the exit code.
int CheckFilesInUse(int argc, wchar_t **argv);

// Reads the command line into options; FALSE, and the reason in error, if
// it is not one that the check can act on.
BOOL ReadCheckOptions(int argc, wchar_t **argv, CheckOptions *options, wchar_t *error,
                      size_t errorSize);

// Looks at the folder, everything below it, and the folder itself, leaving
// out the skipped paths and this program; TRUE, with the first thing held in
// found, if the removal could not take everything away.
BOOL FindInUse(const CheckOptions *options, wchar_t *found, size_t foundSize);

// Whether another process holds this file or folder so that deleting it
// would fail or leave it (or its folder) behind. Nothing is changed.
BOOL IsInUse(const wchar_t *path, DWORD attributes);
