#include "inuse.h"

int wmain(int argc, wchar_t **argv)
{
    return CheckFilesInUse(argc, argv);
}
