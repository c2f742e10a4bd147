// End-to-end suite for UninstallNotice.exe. It stages real top-level windows,
// starts the program, finds its box and checks what a user would see. It runs
// the same on Windows and under Wine:
//
//     notice_e2e.exe [--scenario NAME | --inno | --no-inno] PATH\TO\UninstallNotice.exe
//                    [REPORT-FILE]
//
// (--demo and --picture show the notice for a screenshot instead.)
//
// With --scenario, only the scenario of that name runs; with --inno, only the
// Inno Setup scenarios (their installers are 32-bit programs, which some
// hosts cannot run), and with --no-inno, all others.
// Every line it prints also goes to REPORT-FILE, if given (the scripts that
// take a screenshot watch it for "box up"). It ends with "N passed, N
// failed" and exits non-zero on any failure. Its bounds are an idle
// machine's times E2E_TIME_SCALE (1 to 99), if set.
#include "suite.h"

#include <string.h>

const char Title[] = "Quillane Uninstall";
const char Text[] = "Before continuing to uninstall Quillane please close any open instances of "
                    "the program. \r\n\r\nYou should also close any open Explorer windows.";

namespace
{

// For a look at the notice: a stand-in uninstall window owns it until the
// signal file appears, then the box is dismissed and the exit code reported.
int RunDemo(const char *signalPath)
{
    Scenario = "demo";
    HWND window = StageWindow({Title, Stage::Visible});
    MoveWindow(window, 192, 144, 640, 480, TRUE);
    Pump(100);

    PROCESS_INFORMATION pi = StartNotice("");
    if (!pi.hProcess)
        return Out("no box: the program did not start\n"), 1;
    HWND box = FindBox(pi.dwProcessId);
    if (!box)
    {
        Out("no box within %lu ms\n", BoxTimeout);
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    Out("box up, owned by %s\n", Describe(GetWindow(box, GW_OWNER)).c_str());
    PumpUntil([signalPath] { return Exists(signalPath); }, Bound(60000));
    Dismiss(box, ByOk);
    DWORD code;
    if (!WaitForEnd(pi.hProcess, ExitTimeout, &code))
        return Out("still running %lu ms after OK\n", ExitTimeout), 1;
    Out("exit code %lu\n", code);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    bool inno = true, others = true;
    if (argc >= 3 && !strcmp(argv[1], "--scenario"))
        OnlyScenario = argv[2], first = 3;
    else if (argc >= 2 && !strcmp(argv[1], "--inno"))
        others = false, first = 2;
    else if (argc >= 2 && !strcmp(argv[1], "--no-inno"))
        inno = false, first = 2;
    bool demo = !OnlyScenario && argc == 5 && !strcmp(argv[1], "--demo");
    bool picture = !OnlyScenario && argc == 6 && !strcmp(argv[1], "--picture");
    if (demo || picture)
        first = picture ? 3 : 2;
    int rest = argc - first;
    if (!demo && !picture && (rest < 1 || rest > 2))
    {
        fprintf(stderr,
                "usage: notice_e2e [--scenario NAME | --inno | --no-inno] UninstallNotice.exe "
                "[report-file]\n"
                "       notice_e2e --demo UninstallNotice.exe report-file signal-file\n"
                "       notice_e2e --picture nsis|nsis-guiinit|inno UninstallNotice.exe "
                "report-file signal-file\n");
        return 2;
    }
    if (!TimeScaleValid())
    {
        fprintf(stderr, "notice_e2e: E2E_TIME_SCALE must be a whole number from 1 to 99\n");
        return 2;
    }
    NoticePath = argv[first];
    const char *reportPath = rest >= 2 ? argv[first + 1] : NULL;
    if (!Exists(NoticePath))
    {
        fprintf(stderr, "notice_e2e: no program at %s\n", NoticePath);
        return 2;
    }
    if (reportPath && !(Report = fopen(reportPath, "w")))
    {
        fprintf(stderr, "notice_e2e: cannot write the report %s\n", reportPath);
        return 2;
    }

    Out("notice_e2e: testing %s, every bound times %lu\n", NoticePath, Bound(1));
    RegisterStageClass();
    if (demo)
        return RunDemo(argv[4]);
    if (picture)
        return RunPicture(argv[2], argv[5]);

    if (others)
    {
        RunScenarios();
        RunFieldScenarios();
        RunNsisScenarios();
    }
    if (inno)
        RunInnoScenarios();
    if (OnlyScenario && !ScenariosRun)
    {
        Scenario = "--scenario";
        Check(false, "scenario: expected one named '%s', saw none", OnlyScenario);
    }

    Out("%d passed, %d failed\n", Passed, Failed);
    if (Report)
        fclose(Report);
    return Failed ? 1 : 0;
}
