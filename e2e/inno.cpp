// Real clients: Inno Setup uninstallers that show the notice through the Inno
// include. Each scenario installs a Quillane installer from the suite's inno
// folder silently, in one of its languages, runs its uninstaller as a user
// does (Yes to its confirmation, OK to its closing message), and checks the
// notice from outside. The uninstaller starts again from a temporary copy of
// itself, so its windows are found by what they are, never by process id.
#include "suite.h"

#include <string.h>

namespace
{

const DWORD InstallTimeout = Bound(30000);
const DWORD UninstallTimeout = Bound(30000);
// How long a scenario that must show no box keeps watching after the
// uninstall is done: a box of a process that lingers would show by then.
const DWORD QuietTime = 3000;

// An uninstaller's language: the caption of its window, and its closing
// message.
struct Language
{
    const char *name;
    const char *caption;
    const char *removed;
};
const Language English = {"english", "Quillane Uninstall",
                          "Quillane was successfully removed from your computer."};
const Language German = {"german", "Quillane entfernen",
                         "Quillane wurde erfolgreich von Ihrem Computer entfernt."};

struct InnoCase
{
    const char *name;
    const char *setup; // in the inno folder
    const Language *language;
    const char *arguments; // for the uninstaller
    Owner owner;
    const char *result; // what the uninstaller must see; NULL: it does not report
    bool hasWindow;     // whether the uninstall window exists at the call
    bool kept = false;  // the uninstall leaves the program, and only the program
};

void CheckNotice(const InnoCase &c, HWND box, DWORD delay)
{
    CheckBoxContents(box);
    HWND owner = GetWindow(box, GW_OWNER);
    DWORD ownerProcess = owner ? ProcessOf(owner) : 0;
    Out("%s: box after %lu ms, owned by %s of class %s, process %lu (%s); the box's process is "
        "%lu\n",
        Scenario, delay, Describe(owner).c_str(), owner ? ClassName(owner).c_str() : "-",
        ownerProcess, owner ? ProcessName(ownerProcess).c_str() : "-", ProcessOf(box));
    if (c.owner == OnItsOwn)
        Check(owner == NULL, "owner: expected none, saw %s", Describe(owner).c_str());
    else if (Check(owner && ownerProcess != ProcessOf(box) &&
                       ClassName(owner) == "TUninstallProgressForm" && WindowText(owner) == Title,
                   "owner: expected the uninstall window (TUninstallProgressForm, of another "
                   "process) titled '%s', saw %s",
                   Title, Describe(owner).c_str()))
    {
        bool disabled = PumpUntil([owner] { return !IsWindowEnabled(owner); }, Bound(2000));
        Check(disabled, "owner while the box is up: expected disabled, saw %s",
              disabled ? "disabled" : "enabled");
        bool shown = IsWindowVisible(owner) != FALSE;
        Check(shown, "owner on the screen: expected shown, saw %s", shown ? "shown" : "hidden");
    }
}

// The uninstaller's command line, as Quillane's uninstall registry key has
// it; empty if there is none.
std::string RegisteredUninstaller()
{
    char value[MAX_PATH * 2] = "";
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE,
                     "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillane_is1",
                     "UninstallString", RRF_RT_REG_SZ, NULL, value, &size) != ERROR_SUCCESS)
        return "";
    return value;
}

void CheckReport(const InnoCase &c, const std::string &path)
{
    std::map<std::string, std::string> report = ReadReport(path);
    Check(report["result"] == c.result, "uninstaller saw: expected result '%s', saw '%s'", c.result,
          report.count("result") ? report["result"].c_str() : "no report");
    // Nothing of the folder is in use: the check lets the uninstall go on.
    Check(report["check"] == "free", "check: expected free, saw '%s'", report["check"].c_str());
    const std::string before = c.hasWindow ? c.language->caption : "";
    Check(report["before"] == before && report["after"] == before,
          "window's caption before and after the call: expected '%s' and '%s', saw '%s' and '%s'",
          before.c_str(), before.c_str(), report["before"].c_str(), report["after"].c_str());
}

// Installs the setup from the inno folder, very silently and in the given
// language, into a fresh folder, with no report of an earlier run left
// beside it; whether it installed.
bool Install(const char *setup, const Language &language, const std::string &installed,
             const std::string &report)
{
    RemoveInstall(installed);
    DeleteFileA(report.c_str());
    std::string installing = RunToEnd(
        "\"" + InnoFolder() + setup + "\" /VERYSILENT /SUPPRESSMSGBOXES /LANG=" + language.name +
            " \"/DIR=" + installed + "\"",
        InstallTimeout);
    bool installedOk = installing == "exit code 0" && Exists(installed + "\\unins000.exe");
    // The example ships the notices of what the exe holds beside it.
    if (!strcmp(setup, "example.exe"))
    {
        bool shipped = Exists(installed + "\\THIRD-PARTY-NOTICES.txt");
        Check(shipped, "install: expected THIRD-PARTY-NOTICES.txt beside the program in %s, saw %s",
              installed.c_str(), shipped ? "it" : "none");
    }
    return Check(installedOk,
                 "install: expected %s to install into %s in %s with exit code 0, saw %s", setup,
                 installed.c_str(), language.name, installing.c_str());
}

void RunInnoCase(const InnoCase &c)
{
    if (!BeginScenario(c.name))
        return;
    const std::string installed = InnoFolder() + "installed-" +
                                  std::string(c.setup, strlen(c.setup) - 4) + "-" +
                                  c.language->name;
    const std::string report = installed + "-report.txt";
    const std::string program = installed + "\\UninstallNotice.exe";
    if (!Install(c.setup, *c.language, installed, report))
        return;

    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    DWORD start = GetTickCount();
    PROCESS_INFORMATION pi;
    HANDLE job = StartInJob("\"" + installed + "\\unins000.exe\" " + c.arguments, &pi);
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    if (!job)
        return;

    // The first process hands over to a temporary copy that does the work and
    // ends on its closing message. Until every process of the uninstall has
    // ended, the files are gone and that message is answered, each box is
    // answered, and the notice's checked first.
    const bool silent = strstr(c.arguments, "SILENT") != NULL;
    const int expectedNotices = c.owner == NoBox ? 0 : 1;
    int notices = 0, questions = 0;
    std::vector<std::string> answered;
    bool firstEnded = false, gone = false, windowShown = false;
    bool done = PumpUntil(
        [&]
        {
            HWND progress = FindWindowA("TUninstallProgressForm", NULL);
            windowShown = windowShown || (progress && IsWindowVisible(progress));
            if (HWND box = NoticeBox())
            {
                if (!notices++ && c.owner != NoBox)
                    CheckNotice(c, box, GetTickCount() - start);
                DismissBox(box);
            }
            else if (HWND question = QuestionBox())
            {
                // Nothing is in use: a question would hold the uninstall up.
                ++questions;
                AnswerQuestion(question, IDCANCEL);
            }
            else if (HWND box = UninstallerBox())
                answered.push_back(AnswerUninstallerBox(box));
            firstEnded = firstEnded || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
            gone = c.kept ? !Exists(installed + "\\unins000.exe") && Exists(program)
                          : !Exists(installed);
            bool closed = silent || (!answered.empty() && answered.back().rfind("OK", 0) == 0);
            return firstEnded && gone && closed && notices >= expectedNotices && !JobRunning(job);
        },
        UninstallTimeout);
    firstEnded = firstEnded || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
    DWORD code;
    WaitForEnd(pi.hProcess, 0, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    const bool over = !JobRunning(job);
    Check(over, "uninstall: expected all of its processes to end, saw %s",
          over ? "them end" : (Joined(JobProcesses(job)) + " still running (ended)").c_str());
    TerminateJobObject(job, 1);
    CloseHandle(job);
    Check(firstEnded && code == 0,
          "uninstaller's first process: expected it to end with exit code 0, saw %s",
          firstEnded ? ("exit code " + std::to_string(code)).c_str() : "it still running");

    // What the user of a silent uninstall sees: /SILENT shows the uninstall
    // window (and no notice), /VERYSILENT nothing.
    if (silent)
    {
        const bool expected = strstr(c.arguments, "VERYSILENT") == NULL;
        Check(windowShown == expected, "uninstall window on the screen: expected %s, saw %s",
              expected ? "it shown" : "none", windowShown ? "it shown" : "none");
    }
    if (c.owner == NoBox)
        DismissingBoxesUntil([] { return false; }, QuietTime, &notices);
    Check(notices == expectedNotices, "notices: expected %d from any process, saw %d",
          expectedNotices, notices);
    Check(questions == 0, "questions: expected none, nothing being in use, saw %d (cancelled)",
          questions);
    std::vector<std::string> expected;
    if (!silent)
        expected = {"Yes", std::string("OK '") + c.language->removed + "'"};
    Check(answered == expected, "the uninstaller's own boxes, answered: expected %s, saw %s%s",
          Joined(expected).c_str(), Joined(answered).c_str(),
          done ? "" : " before the time ran out");

    if (c.result)
        CheckReport(c, report);
    if (c.kept)
    {
        Check(gone, "files: expected all but %s removed, saw %s", program.c_str(),
              gone              ? "them removed"
              : Exists(program) ? "others still there"
                                : "the program gone");
        RemoveInstall(installed);
    }
    else
        Check(gone, "files: expected %s removed, saw %s", installed.c_str(),
              gone ? "it removed" : "it still there");
    CheckCopyGone(report, UninstallTimeout);
}

// An upgrade, as Inno authors do it: version 2's installer runs the installed
// version's uninstaller from its UninstallString, very silently, and waits
// for it. No box may hold it up.
void RunUpgradeCase()
{
    if (!BeginScenario("Inno, upgrade over an installed version"))
        return;
    const std::string installed = InnoFolder() + "installed-upgrade";
    const std::string report = installed + "-report.txt";
    if (!Install("client-step.exe", English, installed, report))
        return;

    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    int boxes = 0;
    std::string upgrading = RunToEnd(
        "\"" + InnoFolder() +
            "client-upgrade.exe\" /VERYSILENT /SUPPRESSMSGBOXES \"/DIR=" + installed + "\"",
        InstallTimeout, &boxes);
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    DismissingBoxesUntil([] { return false; }, QuietTime, &boxes);
    Check(boxes == 0, "notice: expected none while the upgrade runs, saw %d%s", boxes,
          boxes ? " (dismissed, so that the upgrade goes on)" : "");
    // The old uninstaller may still be removing itself while the new version
    // installs, which then names its own uninstaller unins001.exe: the
    // registry says which.
    std::string uninstaller = RegisteredUninstaller();
    bool upgraded = Exists(installed + "\\upgraded.txt") &&
                    Exists(installed + "\\UninstallNotice.exe") &&
                    uninstaller.rfind("\"" + installed + "\\unins", 0) == 0 &&
                    Exists(uninstaller.substr(1, uninstaller.size() - 2));
    Check(upgrading == "exit code 0" && upgraded,
          "upgrade: expected it complete with exit code 0, saw %s, %s (its uninstaller: %s)",
          upgrading.c_str(), upgraded ? "the new version installed" : "the new version incomplete",
          uninstaller.c_str());
    CheckReport({"", "", &English, "", NoBox, "silent", true}, report);

    // The new version goes too, very silently, so that the next run starts
    // clean. Its install found the folder there, so the folder stays.
    boxes = 0;
    RunToEnd(uninstaller + " /VERYSILENT /SUPPRESSMSGBOXES", InstallTimeout, &boxes);
    const std::string program = installed + "\\UninstallNotice.exe";
    bool gone =
        DismissingBoxesUntil([&program] { return !Exists(program); }, UninstallTimeout, &boxes);
    Check(gone && boxes == 0,
          "removing the new version: expected its files gone, no box, saw %s, %d box(es)",
          gone ? "them gone" : "them still there", boxes);
    RemoveInstall(installed);
}

// While Quillane is in use. The first run answers each question as the case
// says; a case that cancels runs the uninstaller again once the folder is
// free (thenRetry), to show that Quillane can still be uninstalled.
struct InnoInUseCase
{
    const char *name;
    const char *setup;
    const Language *language;
    Use use;
    const char *file; // the file in use
    const char *arguments;
    std::vector<Answer> answers;
    bool removed;
    const char *exit; // the expected exit code of the uninstaller's first process
    bool thenRetry;
    bool mutex = false; // Inno's AppMutex asks first
    bool close = false; // the author's /close, for a silent uninstall
};

void RunInnoInUseCase(const InnoInUseCase &c)
{
    if (!BeginScenario(c.name))
        return;
    const std::string installed = InnoFolder() + "installed-inuse-" +
                                  std::string(c.setup, strlen(c.setup) - 4) + "-" +
                                  c.language->name;
    const std::string report = installed + "-report.txt";
    if (!Install(c.setup, *c.language, installed, report))
        return;
    const std::vector<std::string> files = FilesIn(installed);
    Busy busy;
    if (!BeginBusy(busy, installed, c.use, c.file))
    {
        EndBusy(busy);
        return;
    }

    const bool silent = strstr(c.arguments, "SILENT") != NULL;
    const Questions *texts = c.language == &German ? &GermanQuestions : &EnglishQuestions;
    InUseRun run = {"\"" + installed + "\\unins000.exe\" " + c.arguments,
                    c.answers,
                    texts,
                    "TUninstallProgressForm",
                    false,
                    true};
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", report.c_str());
    SetEnvironmentVariableA("NOTICE_E2E_CLOSE", c.close ? "1" : NULL);
    InUseSeen seen = RunWhileInUse(run, busy);
    Out("%s: %d notice(s), %d question(s), the uninstaller's own boxes %s, its first process's "
        "%s\n",
        Scenario, seen.notices, seen.questions, Joined(seen.answered).c_str(), seen.exit.c_str());
    const int notices = silent ? 0 : 1, questions = silent || c.mutex || !Hinders(c.use)
                                                        ? 0
                                                        : static_cast<int>(c.answers.size());
    Check(seen.notices == notices && seen.questions == questions,
          "boxes: expected %d notice(s) and %d question(s), saw %d and %d", notices, questions,
          seen.notices, seen.questions);
    std::vector<std::string> own;
    if (!silent)
        own.push_back("Yes");
    if (c.mutex)
        own.push_back(
            "OK 'Uninstall has detected that Quillane is currently running.\r\n\r\nPlease "
            "close all instances of it now, then click OK to continue, or Cancel to "
            "exit.'");
    if (!silent && c.removed)
        own.push_back(std::string("OK '") + c.language->removed + "'");
    Check(seen.answered == own, "the uninstaller's own boxes, answered: expected %s, saw %s",
          Joined(own).c_str(), Joined(seen.answered).c_str());
    Check(seen.exit == c.exit, "uninstaller's first process: expected %s, saw %s", c.exit,
          seen.exit.c_str());
    // The example does not report.
    std::map<std::string, std::string> said = ReadReport(report);
    const char *check = c.removed ? "free" : "cancel";
    if (strcmp(c.setup, "example.exe"))
        Check(said["check"] == check, "check: expected %s, saw '%s'", check, said["check"].c_str());
    // What lets the folder be deleted keeps it only until it lets go.
    if (!Hinders(c.use))
        EndBusy(busy);
    CheckFilesAfter(installed, files, c.removed);

    if (c.thenRetry)
    {
        run = {"\"" + installed + "\\unins000.exe\"",
               {TryAgainOnceFree},
               texts,
               run.ownerClass,
               false,
               true};
        seen = RunWhileInUse(run, busy);
        bool gone = !Exists(installed);
        Check(seen.notices == 1 && seen.questions == 1 && seen.exit == "exit code 0" && gone,
              "again, Retry once free: expected 1 notice, 1 question, exit code 0 and %s "
              "removed, saw %d, %d, %s and %s",
              installed.c_str(), seen.notices, seen.questions, seen.exit.c_str(),
              gone ? "it removed" : Joined(FilesIn(installed)).c_str());
    }
    SetEnvironmentVariableA("NOTICE_E2E_REPORT", NULL);
    SetEnvironmentVariableA("NOTICE_E2E_CLOSE", NULL);
    EndBusy(busy);
    RemoveInstall(installed);
}

} // namespace

void RunInnoScenarios()
{
    if (!OnlyScenario)
    {
        Scenario = "Inno clients";
        bool built = Exists(InnoFolder() + "client-step.exe");
        if (!Check(built, "installers: expected them in %s, saw %s", InnoFolder().c_str(),
                   built ? "them" : "none"))
            return;
    }

    const InnoCase cases[] = {
        {"Inno example, from CurUninstallStepChanged", "example.exe", &English, "",
         OwnedByUninstaller, NULL, true},
        {"Inno, from CurUninstallStepChanged", "client-step.exe", &English, "", OwnedByUninstaller,
         "0", true},
        {"Inno, German, from CurUninstallStepChanged", "client-step.exe", &German, "",
         OwnedByUninstaller, "0", true},
        // By then Inno has freed the uninstall window; the program was kept.
        {"Inno, from CurUninstallStepChanged(usPostUninstall)", "client-post.exe", &English, "",
         OnItsOwn, "0", false, true},
        {"Inno, from CurUninstallStepChanged(usDone)", "client-done.exe", &English, "", OnItsOwn,
         "0", false, true},
        // Nothing kept: a copy in Inno's {tmp}, which goes with the uninstaller.
        {"Inno, from CurUninstallStepChanged(usPostUninstall), the program copied into {tmp}",
         "client-postcopy.exe", &English, "", OnItsOwn, "0", false},
        {"Inno, from InitializeUninstall", "client-init.exe", &English, "", OnItsOwn, "0", false},
        // By then the files are gone, the program too.
        {"Inno, from DeinitializeUninstall", "client-deinit.exe", &English, "", NoBox, "error",
         false},
        {"Inno, /SILENT", "client-step.exe", &English, "/SILENT", NoBox, "silent", true},
        {"Inno, /VERYSILENT /SUPPRESSMSGBOXES", "client-step.exe", &English,
         "/VERYSILENT /SUPPRESSMSGBOXES", NoBox, "silent", true},
        {"Inno, program missing", "client-missing.exe", &English, "", NoBox, "error", true},
    };
    for (const InnoCase &c : cases)
        RunInnoCase(c);
    RunUpgradeCase();

    // What the first process gives when the uninstall is cancelled is
    // Inno's: its manual promises only "non-zero".
    const char *cancelled = "exit code 1";
    // The fault each catches: without the check, the uninstall goes on after
    // OK, leaves the file in use and its folder behind and says "Some
    // elements could not be removed" with exit code 0, silently too; and the
    // question must come in the uninstaller's language.
    const InnoInUseCase inUse[] = {
        {"Inno, Quillane running: named in the question, and Try Again once it is closed "
         "removes everything",
         "client-step.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "",
         {TryAgainOnceFree},
         true,
         "exit code 0",
         false},
        {"Inno example, a file held open: Cancel keeps Quillane whole, and it can still be "
         "uninstalled",
         "example.exe",
         &English,
         FileHeld,
         "THIRD-PARTY-NOTICES.txt",
         "",
         {Cancel},
         false,
         cancelled,
         true},
        {"Inno, /VERYSILENT /SUPPRESSMSGBOXES, Quillane running: no box, nothing removed",
         "client-step.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "/VERYSILENT /SUPPRESSMSGBOXES",
         {},
         false,
         cancelled,
         false},
        {"Inno, /SILENT, Quillane running: no box, nothing removed",
         "client-step.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "/SILENT",
         {},
         false,
         cancelled,
         false},
        {"Inno, German, Quillane running: the question in German",
         "client-step.exe",
         &German,
         QuillaneRunning,
         "Quillane.exe",
         "",
         {Cancel},
         false,
         cancelled,
         false},
        // Inno's own AppMutex check comes first, before the notice: closed
        // then, Quillane holds nothing at the check, which asks nothing.
        {"Inno, AppMutex, Quillane running: Inno asks first, then the notice, and no question "
         "once it is closed",
         "client-mutex.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "",
         {},
         true,
         "exit code 0",
         false,
         true},
        // Try Again pressed before anything was closed must look again.
        {"Inno, Quillane running, Try Again without closing it: asked again, and Cancel keeps "
         "Quillane whole",
         "client-step.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "",
         {TryAgain, TryAgain, Cancel},
         false,
         cancelled,
         false},
        {"Inno example, a file held open, Retry without closing it: asked again, and Retry once "
         "it is free removes everything",
         "example.exe",
         &English,
         FileHeld,
         "THIRD-PARTY-NOTICES.txt",
         "",
         {TryAgain, TryAgainOnceFree},
         true,
         "exit code 0",
         false},
        // What the removal cannot take away besides a file held open.
        {"Inno, the folder as a program's current directory: asked, again on Retry, and Retry "
         "once it is closed removes everything",
         "client-step.exe",
         &English,
         FolderHeld,
         "",
         "",
         {TryAgain, TryAgainOnceFree},
         true,
         "exit code 0",
         false},
        {"Inno example, a mapped file: Cancel keeps Quillane whole, and it can still be "
         "uninstalled",
         "example.exe",
         &English,
         FileMapped,
         "THIRD-PARTY-NOTICES.txt",
         "",
         {Cancel},
         false,
         cancelled,
         true},
        // The fault: a false alarm where the removal succeeds.
        {"Inno, the folder watched as an Explorer window watches it: no question, and the folder "
         "goes once the watch ends",
         "client-step.exe",
         &English,
         FolderWatched,
         "",
         "",
         {},
         true,
         "exit code 0",
         false},
        // Closing what holds the folder.
        {"Inno, Quillane with its window: named, and Continue closes it; the uninstall then "
         "removes everything",
         "client-step.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "",
         {Continue},
         true,
         "exit code 0",
         false},
        {"Inno, a Quillane that will not close: Continue, asked again naming it, and Cancel "
         "keeps Quillane whole",
         "client-step.exe",
         &English,
         QuillaneStubborn,
         "Quillane.exe",
         "",
         {Continue, Cancel},
         false,
         cancelled,
         false},
        {"Inno, a file held by a program outside the folder: named by its window's title, and "
         "Try Again once it is closed removes everything",
         "client-step.exe",
         &English,
         FileHeldElsewhere,
         "Quillane.exe",
         "",
         {TryAgainOnceFree},
         true,
         "exit code 0",
         false},
        {"Inno, /VERYSILENT /SUPPRESSMSGBOXES with the author's /close, Quillane running: no box, "
         "Quillane closed, everything removed",
         "client-step.exe",
         &English,
         QuillaneRunning,
         "Quillane.exe",
         "/VERYSILENT /SUPPRESSMSGBOXES",
         {},
         true,
         "exit code 0",
         false,
         false,
         true},
    };
    for (const InnoInUseCase &c : inUse)
        RunInnoInUseCase(c);
}
