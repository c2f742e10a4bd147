// What the notice and the in-use check share: the DLL search that loads
// nothing from the program's folder, whether anyone can see a box at all,
// and the uninstall window that owns their boxes.
#pragma once

#include "platform.h"

// The uninstall window's title, and the notice's caption.
#define UNINSTALL_TITLE "Quillane Uninstall"
extern const char UninstallTitle[];

void NarrowDllSearch(void);
// Whether the window station is known to be one that no one sees.
BOOL NoOneCanSee(void);
BOOL CALLBACK UninstallWindowEnumProc(HWND hwnd, LPARAM lParam);
// The first top-level window titled UninstallTitle, if it answers; else null.
HWND FindUninstallWindow(void);
