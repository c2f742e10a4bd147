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

// Empties the desktop; later boxes return boxResult (IDOK, or 0 for a box
// that could not be shown).
void StandInReset(int boxResult = IDOK);

// Adds a top-level window after those already there, in enumeration order.
HWND StandInAddWindow(const std::string &title);
HWND StandInAddUnreadableWindow();

// Marks a window whose thread does not process messages: messages sent to it
// time out.
void StandInSetNotAnswering(HWND hwnd);

const std::vector<StandInBox> &StandInBoxes();
int StandInEnumCalls();
// Messages sent to windows, answered or not.
int StandInSentMessages();
