// The suite's report: one line per check, on the console and in the report
// file, saying what was expected and what was seen.
#include "suite.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

const char *NoticePath;
FILE *Report;
const char *Scenario = "";
const char *OnlyScenario;
int ScenariosRun;
int Passed, Failed;

namespace
{

// E2E_TIME_SCALE: 1 if not set, 0 if it is anything but 1 to 99.
DWORD TimeScale()
{
    static const DWORD scale = []() -> DWORD
    {
        char value[8] = "";
        DWORD length = GetEnvironmentVariableA("E2E_TIME_SCALE", value, sizeof value);
        if (!length)
            return 1;
        char *end = NULL;
        unsigned long n = strtoul(value, &end, 10);
        return length < sizeof value && value[0] >= '1' && value[0] <= '9' && !*end && n <= 99 ? n
                                                                                               : 0;
    }();
    return scale;
}

} // namespace

DWORD Bound(DWORD idle)
{
    return idle * (TimeScale() ? TimeScale() : 1);
}

bool TimeScaleValid()
{
    return TimeScale() != 0;
}

void Out(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
    if (Report)
    {
        va_start(args, format);
        vfprintf(Report, format, args);
        va_end(args);
        fflush(Report);
    }
}

bool Check(bool ok, const char *format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    ok ? ++Passed : ++Failed;
    Out("%s: %s: %s\n", ok ? "ok" : "FAIL", Scenario, message);
    return ok;
}

std::string Escaped(const std::string &text)
{
    std::string out;
    for (unsigned char c : text)
    {
        char buf[8];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c > 126)
            snprintf(buf, sizeof buf, "\\x%02x", c), out += buf;
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string Joined(const std::vector<std::string> &items)
{
    std::string out = "[";
    for (const std::string &item : items)
        out += (out.size() > 1 ? ", '" : "'") + Escaped(item) + "'";
    return out + "]";
}

bool BeginScenario(const char *name)
{
    if (OnlyScenario && strcmp(name, OnlyScenario))
        return false;
    Scenario = name;
    ++ScenariosRun;
    return true;
}

void Pump(DWORD time)
{
    PumpUntil([] { return false; }, time);
}

bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string SuiteFolder()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}
