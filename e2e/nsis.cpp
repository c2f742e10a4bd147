// Real clients: NSIS uninstallers that show the notice through our include.
// Each scenario installs a Quillane installer from the suite's nsis folder
// silently, runs its uninstaller, and checks the notice from outside.
#include "suite.h"

#include <string.h>

namespace
{

const DWORD InstallTimeout = Bound(30000);
const DWORD UninstallerBoxTimeout = Bound(20000);
const DWORD UninstallTimeout = Bound(20000);

// How long a scenario that must show no box keeps watching after the
// uninstall is done: a box of a process that lingers would show by then.
const DWORD QuietTime = 3000;

// Whether the uninstaller asks first, and when its Uninstall button is
// there to press: before the notice, or once the notice is gone (a notice
// from the uninstaller's start comes before its first page).
enum Confirm
{
    NoConfirmation,
    ConfirmBeforeBox,
    ConfirmAfterBox
};

struct NsisCase
{
    const char *name;
    const char *setup;     // in the nsis folder
    const char *arguments; // for the uninstaller
    Confirm confirm;
    Owner owner;
    const char *result; // what the uninstaller must see; NULL: it does not report
};

void CheckReport(const NsisCase &c, const std::string &path)
{
    std::map<std::string, std::string> report;
    bool complete = PumpUntil(
        [&]
        {
            report = ReadReport(path);
            return report.count("after") != 0;
        },
        UninstallTimeout);
    if (!Check(complete, "report: expected the uninstaller's report in %s, saw %s", path.c_str(),
               complete ? "it" : "none"))
        return;
    const std::string errors = !strcmp(c.result, "error") ? "1" : "0";
    Check(
        report["result"] == c.result && report["errors"] == errors,
        "uninstaller saw: expected result %s with error flag %s, saw result %s with error flag %s",
        c.result, errors.c_str(), report["result"].c_str(), report["errors"].c_str());
    const char *registers = "r0,r1,r2,r3,r4,r5,r6,r7,r8,r9,R0,R9";
    Check(report["registers"] == registers && report["stack"] == "sentinel",
          "caller's state: expected registers %s and stack sentinel, saw %s and %s", registers,
          report["registers"].c_str(), report["stack"].c_str());
    // Nothing of the folder is in use: the check lets the uninstall go on.
    Check(report["check"] == "free" && report["check-errors"] == "0" &&
              report["check-registers"] == "r0,r1,r2,r3,r4",
          "check: expected free with error flag 0 and registers r0,r1,r2,r3,r4, saw '%s', '%s' and "
          "'%s'",
          report["check"].c_str(), report["check-errors"].c_str(),
          report["check-registers"].c_str());
    // NSIS's own title comes back. Before the first page is up it may be
    // the caption alone, which is the notice's title already.
    if (c.owner == OwnedByUninstaller || c.owner == OwnedByHiddenUninstaller)
        Check(report["after"] == report["before"] &&
                  (c.owner == OwnedByHiddenUninstaller || report["before"] != Title),
              "title after the notice: expected NSIS's own '%s', saw '%s'",
              report["before"].c_str(), report["after"].c_str());
}

// Installs the setup from the nsis folder, silently, into a fresh folder,
// with no report of an earlier run left beside it; whether it installed.
bool Install(const char *setup, const std::string &installed, const std::string &report)
{
    RemoveInstall(installed);
    DeleteFileA(report.c_str());
    std::string installing =
        RunToEnd("\"" + NsisFolder() + setup + "\" /S /D=" + installed, InstallTimeout);
    bool installedOk = installing == "exit code 0" && Exists(installed + "\\Uninstall.exe");
    // The example ships the notices of what the exe holds beside it.
    if (!strcmp(setup, "example.exe"))
    {
        bool shipped = Exists(installed + "\\THIRD-PARTY-NOTICES.txt");
        Check(shipped, "install: expected THIRD-PARTY-NOTICES.txt beside the program in %s, saw %s",
              installed.c_str(), shipped ? "it" : "none");
    }
    return Check(installedOk, "install: expected %s to install into %s with exit code 0, saw %s",
                 setup, installed.c_str(), installing.c_str());
}

void RunNsisCase(const NsisCase &c)
{
    if (!BeginScenario(c.name))
        return;
    const std::string installed =
        NsisFolder() + "installed-" + std::string(c.setup, strlen(c.setup) - 4);
    const std::string report = installed + "-report.txt";
    if (!Install(c.setup, installed, report))
        return;

    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    DWORD start = GetTickCount();
    PROCESS_INFORMATION pi;
    HANDLE job = StartInJob("\"" + installed + "\\Uninstall.exe\" " + c.arguments, &pi);
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    if (!job)
        return;
    DWORD code;
    bool handedOver = WaitForEnd(pi.hProcess, InstallTimeout, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    Check(handedOver && code == 0,
          "uninstaller's first process: expected it to hand over and end with exit code 0, saw %s",
          handedOver ? ("exit code " + std::to_string(code)).c_str() : "it still running");
    auto confirm = [&c](Confirm when)
    {
        if (c.confirm != when)
            return;
        bool pressed = PressUninstallerButton(UninstallerBoxTimeout);
        Check(pressed,
              "confirmation: expected the uninstaller's Uninstall button within %lu ms, saw %s",
              UninstallerBoxTimeout, pressed ? "it, and pressed it" : "none");
    };
    confirm(ConfirmBeforeBox);

    HWND box = NULL;
    bool gone = false;
    PumpUntil(
        [&]
        {
            box = NoticeBox();
            gone = !Exists(installed);
            return box || (c.owner == NoBox && gone);
        },
        UninstallerBoxTimeout);
    DWORD delay = GetTickCount() - start;

    if (c.owner == NoBox)
    {
        if (!box)
            PumpUntil([&box] { return (box = NoticeBox()) != NULL; }, QuietTime);
        Check(!box && gone,
              "notice: expected none from any process, and the uninstall to go on, saw %s",
              box    ? "a box (dismissed, so that the uninstall goes on)"
              : gone ? "none, and the files removed"
                     : "the files still there");
        if (box)
            DismissBox(box);
    }
    else if (Check(box != NULL, "box: expected within %lu ms of starting the uninstaller, saw %s",
                   UninstallerBoxTimeout, box ? "it" : "none"))
    {
        CheckBoxContents(box);
        HWND owner = GetWindow(box, GW_OWNER);
        DWORD ownerProcess = owner ? ProcessOf(owner) : 0;
        Out("%s: box after %lu ms, owned by %s of process %lu (%s); the box's process is %lu\n",
            Scenario, delay, Describe(owner).c_str(), ownerProcess,
            owner ? ProcessName(ownerProcess).c_str() : "-", ProcessOf(box));
        if (c.owner == OnItsOwn)
            Check(owner == NULL, "owner: expected none, saw %s", Describe(owner).c_str());
        else if (Check(owner && ownerProcess != ProcessOf(box) && ClassName(owner) == "#32770",
                       "owner: expected the uninstaller's window, of another process, saw %s",
                       Describe(owner).c_str()))
        {
            bool disabled = PumpUntil([owner] { return !IsWindowEnabled(owner); }, Bound(2000));
            Check(disabled, "owner while the box is up: expected disabled, saw %s",
                  disabled ? "disabled" : "enabled");
            // What the user sees: the notice over the uninstaller, or the
            // notice alone where the uninstaller's window is not up yet.
            bool shown = IsWindowVisible(owner) != FALSE;
            bool expected = c.owner == OwnedByUninstaller;
            Check(shown == expected, "owner on the screen: expected %s, saw %s",
                  expected ? "shown" : "hidden", shown ? "shown" : "hidden");
        }
        Dismiss(box, ByOk);
        bool closed = PumpUntil([box] { return !IsWindow(box); }, ExitTimeout);
        Check(closed, "box after OK: expected it closed within %lu ms, saw %s", ExitTimeout,
              closed ? "it closed" : "it still up");
    }
    confirm(ConfirmAfterBox);

    // Nothing is in use: a question would be a false alarm (the uninstaller
    // itself, run with _?= in the upgrade, say), and would hold it up.
    HWND question = NULL;
    gone = PumpUntil([&] { return (question = QuestionBox()) || !Exists(installed); },
                     UninstallTimeout);
    Check(!question, "question: expected none, nothing being in use, saw %s",
          question ? "one (cancelled)" : "none");
    if (question)
        AnswerQuestion(question, IDCANCEL);
    if (c.result)
        CheckReport(c, report);
    Check(gone && !question, "files: expected %s removed, saw %s", installed.c_str(),
          gone && !question ? "it removed" : "it still there");

    // The uninstall is over once its last process has ended; one that waits
    // on its last page is closed, so that the next scenario starts on a
    // clear desktop.
    DWORD pressed = 0;
    bool over = PumpUntil(
        [&]
        {
            HWND window = UninstallerWindow();
            if (window && IsWindowEnabled(GetDlgItem(window, IDOK)) &&
                GetTickCount() - pressed > 1000)
            {
                PostMessageA(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
                pressed = GetTickCount();
            }
            return !JobRunning(job);
        },
        UninstallTimeout);
    Check(over, "uninstaller: expected all of its processes to end, saw %s",
          over ? "them end" : (Joined(JobProcesses(job)) + " still running (ended)").c_str());
    if (!over)
        TerminateJobObject(job, 1);
    CloseHandle(job);

    CheckCopyGone(report, UninstallTimeout);
}

// An upgrade, as NSIS installers do it: the new version's installer runs
// the installed version's uninstaller with /S _?=$INSTDIR and waits for it.
// No box may hold it up.
void RunUpgradeCase()
{
    if (!BeginScenario("NSIS, upgrade over an installed version"))
        return;
    const std::string folder = NsisFolder();
    const std::string installed = folder + "installed-upgrade";
    const std::string report = installed + "-report.txt";
    if (!Install("client-section.exe", installed, report))
        return;

    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    int boxes = 0;
    std::string upgrading =
        RunToEnd("\"" + folder + "client-upgrade.exe\" /S /D=" + installed, InstallTimeout, &boxes);
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    Check(boxes == 0, "notice: expected none while the upgrade runs, saw %d%s", boxes,
          boxes ? " (dismissed, so that the upgrade goes on)" : "");
    bool upgraded = Exists(installed + "\\upgraded.txt") && Exists(installed + "\\Uninstall.exe") &&
                    Exists(installed + "\\UninstallNotice.exe");
    Check(upgrading == "exit code 0" && upgraded,
          "upgrade: expected it complete with exit code 0, saw %s, %s", upgrading.c_str(),
          upgraded ? "the new version installed" : "the new version incomplete");
    CheckReport({"upgrade", "", "", NoConfirmation, NoBox, "silent"}, report);

    // The new version goes too, silently, so that the next run starts clean.
    boxes = 0;
    RunToEnd("\"" + installed + "\\Uninstall.exe\" /S", InstallTimeout, &boxes);
    bool gone =
        DismissingBoxesUntil([&installed] { return !Exists(installed); }, UninstallTimeout, &boxes);
    Check(gone && boxes == 0,
          "removing the new version: expected it gone, no box, saw %s, %d box(es)",
          gone ? "it gone" : "it still there", boxes);
}

// While Quillane is in use. The first run answers each question as the case
// says; a case that cancels runs the uninstaller again once the folder is
// free (thenRetry), to show that Quillane can still be uninstalled.
struct NsisInUseCase
{
    const char *name;
    const char *setup;
    Use use;
    const char *file; // the file in use
    const char *arguments;
    bool inPlace; // _?=: the uninstaller runs from the folder and its exit code is its own
    bool german;
    std::vector<Answer> answers;
    bool removed;
    const char *exit; // the expected exit code of a run in place, or NULL
    bool thenRetry;
    bool close = false; // the author's /close, for a silent uninstall
};

void RunNsisInUseCase(const NsisInUseCase &c)
{
    if (!BeginScenario(c.name))
        return;
    const std::string installed =
        NsisFolder() + "installed-inuse-" + std::string(c.setup, strlen(c.setup) - 4);
    const std::string report = installed + "-report.txt";
    if (!Install(c.setup, installed, report))
        return;
    const std::vector<std::string> files = FilesIn(installed);
    Busy busy;
    if (!BeginBusy(busy, installed, c.use, c.file))
    {
        EndBusy(busy);
        return;
    }

    const bool silent = strstr(c.arguments, "/S") != NULL;
    const bool reports = strcmp(c.setup, "example.exe") != 0;
    InUseRun run = {"\"" + installed + "\\Uninstall.exe\" " + c.arguments +
                        (c.inPlace ? " _?=" + installed : ""),
                    c.answers,
                    c.german ? &GermanQuestions : &EnglishQuestions,
                    "#32770",
                    true,
                    false};
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    SetEnvironmentVariableA("NOTICE_E2E_GERMAN", c.german ? "1" : NULL);
    SetEnvironmentVariableA("NOTICE_E2E_CLOSE", c.close ? "1" : NULL);
    InUseSeen seen = RunWhileInUse(run, busy);
    Out("%s: %d notice(s), %d question(s), the uninstaller's %s\n", Scenario, seen.notices,
        seen.questions, seen.exit.c_str());
    const int expected = silent ? 0 : 1,
              questions = silent || !Hinders(c.use) ? 0 : static_cast<int>(c.answers.size());
    Check(seen.notices == expected && seen.questions == questions,
          "boxes: expected %d notice(s) and %d question(s), saw %d and %d", expected, questions,
          seen.notices, seen.questions);
    if (c.exit)
        Check(seen.exit == c.exit, "uninstaller in place (_?=): expected %s, saw %s", c.exit,
              seen.exit.c_str());
    std::map<std::string, std::string> said = ReadReport(report);
    const char *check = c.removed ? "free" : "cancel";
    // The example does not report.
    if (reports)
        Check(
            said["check"] == check && said["check-errors"] == (c.removed ? "0" : "1") &&
                said["check-registers"] == "r0,r1,r2,r3,r4",
            "check: expected %s with error flag %s and registers r0,r1,r2,r3,r4, saw %s, %s and %s",
            check, c.removed ? "0" : "1", said["check"].c_str(), said["check-errors"].c_str(),
            said["check-registers"].c_str());
    // What lets the folder be deleted keeps it only until it lets go.
    if (!Hinders(c.use))
        EndBusy(busy);
    // Run in place, the uninstaller cannot remove itself.
    CheckFilesAfter(installed, files, c.removed, c.inPlace ? "Uninstall.exe" : NULL);

    if (c.thenRetry)
    {
        DeleteFileA(report.c_str());
        run = {"\"" + installed + "\\Uninstall.exe\"",
               {TryAgainOnceFree},
               run.questions,
               "#32770",
               true,
               false};
        seen = RunWhileInUse(run, busy);
        bool gone = !Exists(installed);
        Check(seen.notices == 1 && seen.questions == 1 && gone,
              "again, Retry once free: expected 1 notice, 1 question and %s removed, saw %d, %d "
              "and %s",
              installed.c_str(), seen.notices, seen.questions,
              gone ? "it removed" : Joined(FilesIn(installed)).c_str());
    }
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    SetEnvironmentVariableA("NOTICE_E2E_GERMAN", NULL);
    SetEnvironmentVariableA("NOTICE_E2E_CLOSE", NULL);
    EndBusy(busy);
    RemoveInstall(installed);
}

} // namespace

void RunNsisScenarios()
{
    if (!OnlyScenario)
    {
        Scenario = "NSIS clients";
        bool built = Exists(NsisFolder() + "client-section.exe");
        if (!Check(built, "installers: expected them in %s, saw %s", NsisFolder().c_str(),
                   built ? "them" : "none"))
            return;
    }

    const NsisCase cases[] = {
        {"NSIS example, from the uninstall section", "example.exe", "", ConfirmBeforeBox,
         OwnedByUninstaller, NULL},
        {"NSIS, from the uninstall section", "client-section.exe", "", NoConfirmation,
         OwnedByUninstaller, "0"},
        {"NSIS, from un.onGUIInit", "client-guiinit.exe", "", NoConfirmation,
         OwnedByHiddenUninstaller, "0"},
        {"NSIS, from the create function of a first custom page", "client-page.exe", "",
         NoConfirmation, OwnedByHiddenUninstaller, "0"},
        {"NSIS, from un.onInit", "client-init.exe", "", NoConfirmation, OnItsOwn, "0"},
        {"NSIS, from un.onUninstSuccess, the program copied into $PLUGINSDIR", "client-success.exe",
         "", NoConfirmation, OwnedByUninstaller, "0"},
        {"NSIS, from un.onGUIEnd, the program copied into $PLUGINSDIR", "client-guiend.exe", "",
         NoConfirmation, OnItsOwn, "0"},
        {"NSIS, silent (/S)", "client-section.exe", "/S", NoConfirmation, NoBox, "silent"},
        {"NSIS, program missing", "client-missing.exe", "", NoConfirmation, NoBox, "error"},
        {"NSIS, Modern UI 2", "client-mui2.exe", "", ConfirmBeforeBox, OwnedByUninstaller, "0"},
        {"NSIS, Modern UI 2, from MUI_CUSTOMFUNCTION_UNGUIINIT", "client-mui2guiinit.exe", "",
         ConfirmAfterBox, OwnedByHiddenUninstaller, "0"},
    };
    for (const NsisCase &c : cases)
        RunNsisCase(c);
    RunUpgradeCase();

    // The fault each catches: without the check, the uninstall goes on after
    // OK and leaves the file in use and its folder behind, says it completed
    // and gives exit code 0 (with /S _?= too); and the question must come in
    // the uninstaller's language, also on Modern UI 2's pages.
    const NsisInUseCase inUse[] = {
        {"NSIS, Quillane running: named in the question, and Try Again once it is closed "
         "removes everything",
         "client-section.exe",
         QuillaneRunning,
         "Quillane.exe",
         "",
         false,
         false,
         {TryAgainOnceFree},
         true,
         NULL,
         false},
        {"NSIS example, a file held open: Cancel keeps Quillane whole, and it can still be "
         "uninstalled",
         "example.exe",
         FileHeld,
         "THIRD-PARTY-NOTICES.txt",
         "",
         true,
         false,
         {Cancel},
         false,
         "exit code 2",
         true},
        {"NSIS, silent (/S _?=), Quillane running: no box, nothing removed",
         "client-section.exe",
         QuillaneRunning,
         "Quillane.exe",
         "/S",
         true,
         false,
         {},
         false,
         "exit code 2",
         false},
        {"NSIS, German, Quillane running: the question in German",
         "client-section.exe",
         QuillaneRunning,
         "Quillane.exe",
         "",
         false,
         true,
         {Cancel},
         false,
         NULL,
         false},
        {"NSIS, Modern UI 2, Quillane running: Cancel keeps Quillane whole",
         "client-mui2.exe",
         QuillaneRunning,
         "Quillane.exe",
         "",
         false,
         false,
         {Cancel},
         false,
         NULL,
         false},
        // Try Again pressed before anything was closed must look again: a
        // check that answers free then removes all but what is in use, says
        // "Completed" and ends with exit code 0.
        {"NSIS, Quillane running, Try Again without closing it: asked again, and Cancel keeps "
         "Quillane whole",
         "client-section.exe",
         QuillaneRunning,
         "Quillane.exe",
         "",
         true,
         false,
         {TryAgain, TryAgain, Cancel},
         false,
         "exit code 2",
         false},
        {"NSIS example, a file held open, Retry without closing it: asked again, and Retry once "
         "it is free removes everything",
         "example.exe",
         FileHeld,
         "THIRD-PARTY-NOTICES.txt",
         "",
         false,
         false,
         {TryAgain, TryAgainOnceFree},
         true,
         NULL,
         false},
        // What the removal cannot take away besides a file held open: the
        // folder as another program's current directory stays behind, and
        // so do a mapped file and its folder, while the uninstaller goes.
        {"NSIS, the folder as a program's current directory: asked, again on Retry, and Retry "
         "once it is closed removes everything",
         "client-section.exe",
         FolderHeld,
         "",
         "",
         false,
         false,
         {TryAgain, TryAgainOnceFree},
         true,
         NULL,
         false},
        {"NSIS example, a mapped file: Cancel keeps Quillane whole, and it can still be "
         "uninstalled",
         "example.exe",
         FileMapped,
         "THIRD-PARTY-NOTICES.txt",
         "",
         true,
         false,
         {Cancel},
         false,
         "exit code 2",
         true},
        // The fault: a false alarm where the removal succeeds.
        {"NSIS, the folder watched as an Explorer window watches it: no question, and the folder "
         "goes once the watch ends",
         "client-section.exe",
         FolderWatched,
         "",
         "",
         false,
         false,
         {},
         true,
         NULL,
         false},
        // Closing what holds the folder. The faults: Continue that closes
        // nothing, or closes and lets the uninstall go on while a program
        // still runs; a silent uninstall that closes programs unasked, or
        // not when the author asks.
        {"NSIS, Quillane with its window: named, and Continue closes it; the uninstall then "
         "removes everything",
         "client-section.exe",
         QuillaneRunning,
         "Quillane.exe",
         "",
         false,
         false,
         {Continue},
         true,
         NULL,
         false},
        {"NSIS, a Quillane that will not close: Continue, asked again naming it, and Cancel keeps "
         "Quillane whole",
         "client-section.exe",
         QuillaneStubborn,
         "Quillane.exe",
         "",
         true,
         false,
         {Continue, Cancel},
         false,
         "exit code 2",
         false},
        {"NSIS, a file held by a program outside the folder: named by its window's title, and "
         "Try Again once it is closed removes everything",
         "client-section.exe",
         FileHeldElsewhere,
         "Quillane.exe",
         "",
         false,
         false,
         {TryAgainOnceFree},
         true,
         NULL,
         false},
        {"NSIS, silent (/S _?=) with the author's /close, Quillane running: no box, Quillane "
         "closed, everything removed but the uninstaller run in place",
         "client-section.exe",
         QuillaneRunning,
         "Quillane.exe",
         "/S",
         true,
         false,
         {},
         true,
         "exit code 0",
         false,
         true},
    };
    for (const NsisInUseCase &c : inUse)
        RunNsisInUseCase(c);
}
