// The stand-in desktop: what a test stages before a run of the notice, and
// what it reads back afterwards.
#pragma once

#include "platform.h"

#include <string>
#include <vector>

// One box as the stand-in's MessageBoxA saw it.
struct StandInBox
{
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

// How a platform call that the program looks up at run time behaves.
enum StandInCall
{
    StandInWorks,
    StandInMissing, // the system lacks it
    StandInFails
};

// Empties the desktop and the record of calls; both DLL search calls work; later boxes return
// boxResult (IDOK, or 0 for a box that could not be shown).
void StandInReset(int boxResult = IDOK);

// Adds a top-level window after those already there, in enumeration order.
HWND StandInAddWindow(const std::string &title);
HWND StandInAddUnreadableWindow();

// Marks a window whose thread does not process messages: messages sent to it
// time out.
void StandInSetNotAnswering(HWND hwnd);

// The DLL search calls: SetDefaultDllDirectories as found in kernel32, and
// SetDllDirectoryA (which is never missing).
void StandInSetDefaultDllDirectories(StandInCall how);
void StandInSetDllDirectoryFails();

// Every platform call of the last run that changes the process or looks at
// the desktop, in order, with its telling arguments: "EnumWindows",
// "SetDefaultDllDirectories(0x800)", "SetDllDirectoryA(\"\")", ...
const std::vector<std::string> &StandInCalls();

const std::vector<StandInBox> &StandInBoxes();
int StandInEnumCalls();
// Messages sent to windows, answered or not.
int StandInSentMessages();
