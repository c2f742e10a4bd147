// The stand-in file system: the files and folders that tests stage, how
// other processes hold them, and what the programs did to them.
#pragma once

#include "platform.h"

#include <string>
#include <vector>

// How another process holds a file or folder.
enum StandInHold
{
    StandInFree,
    StandInHeldNoDelete,      // open without FILE_SHARE_DELETE: a current directory, say
    StandInHeldSharingDelete, // open, letting others delete it: an Explorer window, say
    StandInMapped,            // mapped into memory, or running as a program or DLL
    StandInUnopenable,        // opening it for deletion is denied
};

// Which deletion the system has: Windows 10's, which takes the name away at
// once, or the older one, which waits for the last handle to close.
enum StandInDeletion
{
    StandInPosixDeletion,
    StandInLegacyDeletion,
};

// Empties the file system; the current directory is the system folder, the
// program runs from C:\Temp\FilesInUse.exe.
void StandInFilesReset(StandInDeletion deletion = StandInPosixDeletion);
// Adds a file or folder (its folder must be there already), held as said.
void StandInAddFile(const std::wstring &path, StandInHold hold = StandInFree,
                    DWORD attributes = FILE_ATTRIBUTE_NORMAL);
void StandInAddFolder(const std::wstring &path, StandInHold hold = StandInFree);
void StandInSetHold(const std::wstring &path, StandInHold hold);
// A file listed by the search but gone before it is opened.
void StandInVanishAfterListing(const std::wstring &path);
void StandInSetProgramPath(const std::wstring &path);
void StandInSetCurrentDirectory(const std::wstring &path);

// What a run did: each file or folder that went because a handle closed
// with its delete mark still set, and how many handles are still open.
const std::vector<std::wstring> &StandInDeleted();
int StandInOpenHandles();
int StandInOpens();
// Closes a handle that another stand-in made (a snapshot), if it is one.
extern bool (*StandInCloseOther)(HANDLE handle);
// What the program wrote to its standard error.
const std::string &StandInStandardError();
