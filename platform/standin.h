// The stand-in desktop: what a test stages before a run of the notice, and
// what it reads back afterwards.
#pragma once

#include "platform.h"

#include <functional>
#include <string>
#include <vector>

// One box as the stand-in's MessageBoxA or MessageBoxW saw it (as UTF-8).
struct StandInBox
{
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

// How the user answers a box: the button, and what they do meanwhile
// (close a program, say).
struct StandInAnswer
{
    int button;
    std::function<void()> meanwhile;
};

// One message as the stand-in's SendMessageTimeoutA saw it.
struct StandInMessage
{
    HWND window;
    UINT message;
    UINT flags;
    UINT timeout;
};

// How a platform call behaves.
enum StandInCall
{
    StandInWorks,
    StandInMissing, // the system lacks it
    StandInFails
};

// The window station that the process runs on.
enum StandInStation
{
    StandInVisibleStation,
    StandInUnseenStation,  // no one sees it, as a service's
    StandInUnknownStation, // asking about it fails
};

// Empties the desktop and the record of calls; the window station is
// visible and both DLL search calls work; later boxes return boxResult (IDOK,
// or 0 for a box that could not be shown).
void StandInReset(int boxResult = IDOK);
// The answers to the next boxes, in order; later boxes return boxResult.
void StandInSetAnswers(const std::vector<StandInAnswer> &answers);

// Adds a top-level window after those already there, in enumeration order.
HWND StandInAddWindow(const std::string &title);
HWND StandInAddUnreadableWindow();
// A top-level window of a process, as its programs make them.
HWND StandInAddProcessWindow(DWORD pid, const std::string &title,
                             const std::string &className = "QuillaneWindow", bool visible = true,
                             HWND owner = nullptr);
// The process ends: its windows go.
void StandInCloseWindowsOf(DWORD pid);
// What a WM_CLOSE posted to a window does: set by the stand-in processes.
extern void (*StandInOnClose)(HWND hwnd);
// Where GetProcAddress looks in a module other than kernel32.
extern FARPROC (*StandInOtherProcAddress)(HMODULE hModule, LPCSTR lpProcName);
// The messages posted to windows, in order.
const std::vector<std::pair<HWND, UINT>> &StandInPosted();
// A window destroyed while the enumeration reaches it: reading its title
// fails and writes nothing. Before the search looks at it, staleTitle is
// left where the title of the window before it was read, as if other code
// had run there since.
HWND StandInAddVanishedWindow(const std::string &staleTitle);

// Marks a window whose thread does not process messages: messages sent to it
// time out.
void StandInSetNotAnswering(HWND hwnd);
// Marks a window that answers messages but is gone before a box can be
// shown for it: a box owned by it cannot be shown (the box returns 0).
void StandInSetCannotOwn(HWND hwnd);

void StandInSetStation(StandInStation station);

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
const std::vector<StandInMessage> &StandInSentMessages();

// A wide text as UTF-8.
std::string StandInUtf8(const wchar_t *text);
