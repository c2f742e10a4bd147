// How long the notice takes to appear, against a program that only shows the
// same box. For each desktop size it starts the two in turn, A B A B, and
// measures from CreateProcess to the box being visible:
//
//     notice_bench.exe UninstallNotice.exe reference.exe REPORT.md PAIRS
//
// None of the extra windows carries the uninstall title, so the search looks
// at every one of them and both boxes stand on their own.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

const DWORD BoxTimeout = 30000;
const DWORD ExitTimeout = 10000;
const DWORD PollInterval = 1; // ms
// Runs at the start of each desktop that are not counted: the first start of
// a program after the desktop changed is slower for both.
const int WarmUpPairs = 1;
// A pause after each run, so that the next starts on a quiet desktop rather
// than during the last one's teardown.
const DWORD SettleTime = 300; // ms
const int DesktopSizes[] = {0, 200, 5000};
// A long desktop says how far it has got every so many pairs, and at least
// this often.
const int ProgressPairs = 10;
const double ProgressInterval = 20; // s

double Now()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
}

// The visible dialog of the given process. The class is matched by the
// platform, so the look-up does not read the titles of the whole desktop.
HWND VisibleBoxOf(DWORD pid)
{
    for (HWND hwnd = NULL; (hwnd = FindWindowExA(NULL, hwnd, "#32770", NULL));)
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        if (owner == pid && IsWindowVisible(hwnd))
            return hwnd;
    }
    return NULL;
}

// One run: seconds from CreateProcess to a visible box, or a negative
// value when the run failed (the reason goes to *error).
double TimeToBox(const char *path, std::string *error)
{
    std::string commandLine = std::string("\"") + path + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};

    double start = Now();
    if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return *error = std::string("cannot start ") + path, -1;
    // A box waits for its user in its message loop: the process going idle
    // for the first time is the moment to look, without a poll that would
    // compete with the search that it measures.
    WaitForInputIdle(pi.hProcess, BoxTimeout);
    HWND box = NULL;
    while (!(box = VisibleBoxOf(pi.dwProcessId)) && Now() - start < BoxTimeout / 1000.0)
    {
        MsgWaitForMultipleObjects(0, NULL, FALSE, PollInterval, QS_ALLINPUT);
        PumpMessages();
    }
    double elapsed = Now() - start;

    if (box)
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    bool ended = WaitForSingleObject(pi.hProcess, ExitTimeout) == WAIT_OBJECT_0;
    if (!ended)
        TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (double settled = Now() + SettleTime / 1000.0; Now() < settled;)
    {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
        PumpMessages();
    }
    if (!box)
        return *error = std::string("no box from ") + path, -1;
    if (!ended)
        return *error = std::string("no exit from ") + path, -1;
    return elapsed;
}

// A line of progress, in the report as the run goes: whoever runs the bench
// shows it at once and leaves it out of the table.
void Progress(FILE *report, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("bench: ", report);
    vfprintf(report, format, args);
    fputc('\n', report);
    fflush(report);
    va_end(args);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

LRESULT CALLBACK ExtraProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

long FileSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? long(data.nFileSizeLow) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    int pairs = argc == 5 ? atoi(argv[4]) : 0;
    if (argc != 5 || pairs < 1)
    {
        fprintf(stderr, "usage: notice_bench UninstallNotice.exe reference.exe report.md pairs\n");
        return 2;
    }
    const char *notice = argv[1], *reference = argv[2];
    for (const char *path : {notice, reference})
        if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
            return fprintf(stderr, "notice_bench: no program at %s\n", path), 2;
    FILE *report = fopen(argv[3], "w");
    if (!report)
        return fprintf(stderr, "notice_bench: cannot write %s\n", argv[3]), 2;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = ExtraProc;
    wc.lpszClassName = "NoticeBenchExtra";
    RegisterClassA(&wc);

    fprintf(report, "| extra windows | notice, median ms | reference, median ms | "
                    "ratio, median of pairs | ratio min | ratio max | search, us per window |\n"
                    "|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<HWND> extra;
    double baseGap = 0;
    for (int size : DesktopSizes)
    {
        double desktopStart = Now();
        if ((int)extra.size() < size)
            Progress(report, "%d extra windows: making %d more", size, size - (int)extra.size());
        while ((int)extra.size() < size)
        {
            std::string title = "Bench window " + std::to_string(extra.size());
            extra.push_back(CreateWindowExA(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW,
                                            0, 0, 100, 100, NULL, NULL, NULL, NULL));
        }
        PumpMessages();
        Progress(report, "%d extra windows: %d pairs, after %d to warm up", size, pairs,
                 WarmUpPairs);

        std::vector<double> noticeTimes, referenceTimes, ratios;
        double lastProgress = Now();
        for (int i = -WarmUpPairs; i < pairs; ++i)
        {
            std::string error;
            double a = TimeToBox(reference, &error);
            double b = a < 0 ? -1 : TimeToBox(notice, &error);
            if (b < 0)
            {
                fprintf(report, "\nbench failed with %d extra windows: %s\n", size, error.c_str());
                fclose(report);
                return 1;
            }
            if (i < 0)
                continue;
            referenceTimes.push_back(a);
            noticeTimes.push_back(b);
            ratios.push_back(b / a);
            int done = i + 1;
            if (done < pairs &&
                (done % ProgressPairs == 0 || Now() - lastProgress >= ProgressInterval))
            {
                Progress(report, "%d extra windows: %d of %d pairs, %.0f s so far", size, done,
                         pairs, Now() - desktopStart);
                lastProgress = Now();
            }
        }
        double noticeMs = Median(noticeTimes) * 1000, referenceMs = Median(referenceTimes) * 1000;
        double gap = noticeMs - referenceMs;
        if (size == 0)
            baseGap = gap;
        std::string perWindow =
            size ? std::to_string((gap - baseGap) * 1000 / size).substr(0, 6) : "-";
        double ratio = Median(ratios), least = *std::min_element(ratios.begin(), ratios.end()),
               most = *std::max_element(ratios.begin(), ratios.end());
        fprintf(report, "| %d | %.1f | %.1f | %.3f | %.3f | %.3f | %s |\n", size, noticeMs,
                referenceMs, ratio, least, most, perWindow.c_str());
        std::string search = size ? ", search " + perWindow + " us per window" : "";
        Progress(report,
                 "%d extra windows: notice %.1f ms, reference %.1f ms, ratio %.3f (median of %d "
                 "pairs; %.3f to %.3f)%s; took %.0f s",
                 size, noticeMs, referenceMs, ratio, pairs, least, most, search.c_str(),
                 Now() - desktopStart);
    }
    fprintf(report,
            "\n%d pairs per desktop. UninstallNotice.exe: %ld bytes; reference: %ld bytes.\n",
            pairs, FileSize(notice), FileSize(reference));
    fclose(report);
    return 0;
}
