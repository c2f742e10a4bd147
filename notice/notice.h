#pragma once

#include "platform.h"

extern const char UninstallTitle[];
extern const char NoticeText[];

void NarrowDllSearch(void);
BOOL CALLBACK UninstallWindowEnumProc(HWND hwnd, LPARAM lParam);
void ShowUninstallNotice(void);
