#pragma once

#include "uninstall-window.h"

extern const char NoticeText[];

void ShowUninstallNotice(void);
