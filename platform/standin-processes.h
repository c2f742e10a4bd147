// The stand-in processes: the programs that tests start, what each has
// loaded and holds, its windows, whether it closes when asked; and
// Windows' Restart Manager, present or not, answering or not.
#pragma once

#include "platform.h"

#include <string>
#include <vector>

enum StandInCloses
{
    StandInClosesWhenAsked, // WM_CLOSE ends it, and what it held is free
    StandInKeepsRunning,    // asks to save its work, or will not close
};

enum StandInRestartManager
{
    StandInNoRestartManager,      // rstrtmgr.dll cannot be loaded
    StandInRestartManagerStub,    // it answers, naming nobody (as under Wine)
    StandInRestartManagerAnswers, // it names whoever holds a file
};

// The check runs as process 100; its parent, 90, is the uninstaller, with
// a window titled "Quillane Uninstall"; Explorer, 20, has the desktop, the
// taskbar and no folder window.
const DWORD StandInCheckPid = 100, StandInUninstallerPid = 90, StandInExplorerPid = 20;
void StandInProcessesReset(StandInRestartManager restartManager = StandInRestartManagerStub);
// A process of that file name, with the full paths of its modules (its own
// image first) and of what it holds open (each of which the file system
// holds as it says already); its pid.
DWORD StandInAddProcess(const std::wstring &file, const std::vector<std::wstring> &modules,
                        const std::vector<std::wstring> &holds,
                        StandInCloses closes = StandInClosesWhenAsked);
// The process holds this path open too (the Restart Manager names it).
void StandInHoldBy(DWORD pid, const std::wstring &path);
// Gives Explorer a folder window, showing what it holds.
HWND StandInOpenFolderWindow(const std::wstring &holds);
bool StandInHasEnded(DWORD pid);
// The user closes the program: it ends, and lets go of what it held.
void StandInEndProcess(DWORD pid);
// The uninstaller's window, titled "Quillane Uninstall".
HWND StandInUninstallWindow();
// The libraries that the program loaded, by the name it gave; how long it
// slept in all.
const std::vector<std::wstring> &StandInLoadedLibraries();
DWORD StandInSlept();
int StandInOpenSnapshots();
