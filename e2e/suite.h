// What the parts of the end-to-end suite share: the report, bounded waits,
// staged windows, and the notice's process and box.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

extern const char Title[];
extern const char Text[];

// Every wait is bounded, so that a hang fails a check instead of the suite.
// A bound is given as an idle machine's, and Bound() makes it this one's:
// times E2E_TIME_SCALE (1 to 99, 1 if not set), which the scripts raise on
// a busy or emulated machine, so that slowness never fails a check.
DWORD Bound(DWORD idle);
// Whether E2E_TIME_SCALE, if set, is one of those; main() refuses others.
bool TimeScaleValid();
const DWORD BoxTimeout = Bound(10000);
const DWORD ExitTimeout = Bound(10000);

// --- The report (report.cpp) ----------------------------------------------

extern const char *NoticePath;
extern FILE *Report;
extern const char *Scenario;
// The one scenario to run (--scenario), or NULL for all; how many ran.
extern const char *OnlyScenario;
extern int ScenariosRun;
extern int Passed, Failed;

// Prints a line, and writes it to the report file too.
void Out(const char *format, ...);
// Records one check; the message says what was expected and what was seen.
bool Check(bool ok, const char *format, ...);
// Starts the named scenario, unless another one was chosen alone.
bool BeginScenario(const char *name);
// Bytes as C escapes, so that a difference in line breaks shows.
std::string Escaped(const std::string &text);
std::string Joined(const std::vector<std::string> &items);

// Processes this thread's messages, so that the staged windows answer the
// notice, until done() holds or the time is up.
template <typename Done> bool PumpUntil(Done done, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (GetTickCount() - start >= timeout)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

void Pump(DWORD time);

// The folder that holds the suite, with a trailing backslash.
std::string SuiteFolder();
bool Exists(const std::string &path);

// --- Staged windows (stage.cpp) -------------------------------------------

extern const char StageClass[];

struct Stage
{
    const char *title;
    enum
    {
        Visible,
        Hidden,
        Child,            // a child of a top-level window titled "Quillane Setup"
        VanishesWhenAsked // visible; destroys itself when the notice asks if it is alive
    } kind;
};

void RegisterStageClass();
HWND StageWindow(const Stage &stage);
void ClearStage();
bool IsStaged(HWND hwnd);

std::string WindowText(HWND hwnd);
std::string ClassName(HWND hwnd);
// A window as a check reports it: its handle and title, or "none".
std::string Describe(HWND hwnd);
// The first top-level window, in enumeration order, whose title matches.
HWND FirstMatchingWindow();

// --- The notice's process and its box (box.cpp) ---------------------------

// Starts the program (the notice, unless another is named), on the given
// desktop ("Station\\Desktop") or on ours, in the given current directory
// or in ours; a failure to start is a failed check.
PROCESS_INFORMATION StartNotice(const char *arguments, const char *program = NoticePath,
                                const char *desktop = NULL, const char *folder = NULL);
// The visible dialog of the given process.
HWND FindBox(DWORD pid);
// Checks that the started process shows its box within BoxTimeout; the box,
// or NULL.
HWND CheckBoxShows(const PROCESS_INFORMATION &pi);
// What a box shows: its visible controls.
struct BoxContents
{
    std::vector<std::string> texts;   // static texts
    std::vector<std::string> buttons; // "ID:text"
    int icons = 0;
};
BoxContents ReadBox(HWND box);
void CheckBoxContents(HWND box);
// Checks that the box is owned by the expected window (NULL: by none).
void CheckOwner(HWND box, HWND expected);

enum Dismissal
{
    ByOk,
    ByEscape,
    ByClose
};

void Dismiss(HWND box, Dismissal how);
// Waits, pumping, for the process to end or the time to run out; a process
// still running then is killed. Whether it ended; its exit code in *code.
bool WaitForEnd(HANDLE process, DWORD timeout, DWORD *code);
// Waits for the process to end, pumping so that the staged owner can be
// enabled again; a process that does not end is killed and reported.
void CheckEndsWithZero(PROCESS_INFORMATION &pi, Dismissal how);

// --- Installers and their windows (installer.cpp) -------------------------

// The first visible top-level window for which is(hwnd) holds.
template <typename Is> HWND FindTopLevel(Is is)
{
    struct Search
    {
        Is *is;
        HWND found;
    } search = {&is, NULL};
    EnumWindows(
        [](HWND hwnd, LPARAM lParam) -> BOOL
        {
            Search *s = reinterpret_cast<Search *>(lParam);
            if (!IsWindowVisible(hwnd) || !(*s->is)(hwnd))
                return TRUE;
            s->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The suite's folders of NSIS and Inno Setup installers, with a trailing
// backslash.
std::string NsisFolder();
std::string InnoFolder();
// Runs a command line to its end; "exit code N", or a note why there is
// none. With boxes, each notice that shows meanwhile is counted and
// dismissed, so that whatever waits on it goes on.
std::string RunToEnd(const std::string &commandLine, DWORD timeout, int *boxes = NULL);
// Starts a command line in a job of its own, which every process that it
// starts joins too (an uninstaller's copy of itself, the notice, the
// check): an uninstall is over once none of them runs, however slow the
// machine. The job, or NULL after a failed check.
HANDLE StartInJob(const std::string &commandLine, PROCESS_INFORMATION *pi);
bool JobRunning(HANDLE job);
// The job's processes still running, by name, for a check that failed.
std::vector<std::string> JobProcesses(HANDLE job);
DWORD ProcessOf(HWND hwnd);
std::string ProcessName(DWORD pid);
// The notice's box, shown by any process; NULL if none is up.
bool IsNoticeBox(HWND hwnd);
HWND NoticeBox();
// Presses OK on the box, and waits a while for it to go.
void DismissBox(HWND box);
// Pumps until done() holds or the time is up; each notice that shows
// meanwhile is counted in *boxes and dismissed, so that whatever waits on
// it goes on. Whether done() held.
template <typename Done> bool DismissingBoxesUntil(Done done, DWORD timeout, int *boxes)
{
    return PumpUntil(
        [&]
        {
            if (HWND box = NoticeBox())
            {
                ++*boxes;
                DismissBox(box);
            }
            return done();
        },
        timeout);
}
// The uninstaller's own window: a dialog titled "Quillane Uninstall...",
// with a default button, that is not the notice.
HWND UninstallerWindow();
// Presses the uninstaller's default button (Uninstall, Close) once it is
// enabled; true if it was pressed.
bool PressUninstallerButton(DWORD timeout);
// A dialog of another process than ours that is not the notice: an Inno
// uninstaller's own question or message (its windows are no dialogs, unlike
// NSIS's); NULL if none is up, or if it came up only a moment ago.
HWND UninstallerBox();
// Answers such a box as a user would: Yes if it asks ("Yes"), else OK
// ("OK 'its text'"), and waits a while for it to go.
std::string AnswerUninstallerBox(HWND box);
// What the suite's NSIS and Inno clients reported, "key=value" a line.
std::map<std::string, std::string> ReadReport(const std::string &path);
// Removes what a Quillane installer put into the folder, and the folder.
void RemoveInstall(const std::string &installed);
// Where the client's report names a copy of the program ("copy="), which it
// called after the files were gone: checks that the copy goes with the
// uninstaller within the timeout, so that nothing stays on the disk.
void CheckCopyGone(const std::string &reportPath, DWORD timeout);

// --- Quillane in use (in-use.cpp) ------------------------------------------

// The in-use check's questions in one language (UTF-8): the one that names
// the programs that hold the folder (its text before and after the names,
// one a line), and the one that can name only what is in use (its text
// before the path).
struct Questions
{
    const char *named;
    const char *namedEnd;
    const char *path;
};
extern const Questions EnglishQuestions, GermanQuestions;

// Whether the suite runs under Wine, whose Restart Manager names nobody.
bool UnderWine();

// How the install folder is in use: a stand-in Quillane (the suite's
// quillane_standin.exe, installed as Quillane.exe) running from it, or one
// that will not close when asked; a file of it that the suite holds open
// with no sharing, or has mapped into memory and closed, as memory-mapped
// databases do; one that the stand-in holds open, run from the suite's
// folder; or the folder itself, the current directory of a program started
// there (the stand-in, run from the suite's folder). An Explorer window on
// the folder holds it too, but lets it be deleted: it watches the folder
// for changes, as the suite does for FolderWatched, and no removal waits
// for it.
enum Use
{
    NothingInUse,
    QuillaneRunning,
    QuillaneStubborn,
    FileHeld,
    FileHeldElsewhere,
    FileMapped,
    FolderHeld,
    FolderWatched
};
struct Busy
{
    Use use = NothingInUse;
    std::string path; // what is in use
    PROCESS_INFORMATION quillane = {};
    HANDLE held = INVALID_HANDLE_VALUE;
    void *view = NULL;
    HANDLE watch = INVALID_HANDLE_VALUE;
};
// Whether the removal must wait for what the use holds, so that the check
// asks.
bool Hinders(Use use);
// Makes the install folder busy as the use says (file: below it; ignored
// for a held folder); whether it is.
bool BeginBusy(Busy &busy, const std::string &installed, Use use, const char *file);
// Frees it, as the user closes Quillane or the other program.
void EndBusy(Busy &busy);
// The files below a folder, with their paths below it.
std::vector<std::string> FilesIn(const std::string &folder);
// The in-use check's question, shown by any process; NULL if none is up.
HWND QuestionBox();
// Presses the button, and waits a while for the box to go.
void AnswerQuestion(HWND box, int button);
// After an uninstall that went on (removed), checks that the folder is gone,
// or holds only what it keeps (the uninstaller, run in place); after one
// that was cancelled, that it holds exactly the files that it held before.
void CheckFilesAfter(const std::string &installed, const std::vector<std::string> &before,
                     bool removed, const char *kept = NULL);
// An NSIS uninstaller's own window: a dialog of another process with an OK
// (Uninstall, Close) button that is neither the notice nor the question.
HWND NsisWindow();

const DWORD UninstallRunTimeout = Bound(40000);

// What a user answers to each question in turn: Try Again (or Retry) with
// nothing closed; Try Again once they have closed what holds the folder;
// Continue, so that the check closes it; or Cancel (also after the last).
enum Answer
{
    TryAgain,
    TryAgainOnceFree,
    Continue,
    Cancel
};

// One run of an uninstaller, answered as a user would: OK to the notice;
// to each question, the next answer.
struct InUseRun
{
    std::string commandLine;
    std::vector<Answer> answers;
    const Questions *questions; // in the uninstaller's language
    const char *ownerClass;     // of the uninstaller's window that owns it
    bool pages;                 // NSIS: its pages pressed on (Uninstall, Close)
    bool boxes;                 // Inno: its own boxes answered (Yes, OK)
};
struct InUseSeen
{
    int notices = 0;
    int questions = 0;
    std::vector<std::string> answered; // Inno's own boxes
    std::string exit;                  // of the process started
};
// Runs it to its end: until the process started and every process that it
// started have ended (a job holds them all). Checks each question:
// its text names what holds the folder (or gives the path where nothing can
// be named), and it is owned by the uninstaller's window, shown, of another
// process.
InUseSeen RunWhileInUse(const InUseRun &run, Busy &busy);

// --- Scenarios --------------------------------------------------------------

// Whose box an uninstaller's notice must be.
enum Owner
{
    OwnedByUninstaller,
    // Owned by the uninstaller's window while it is not shown yet: the user
    // sees the notice alone.
    OwnedByHiddenUninstaller,
    OnItsOwn,
    NoBox // a silent uninstall, or the program is missing
};

// The uninstall window and its near misses (scenarios.cpp).
void RunScenarios();
// A planted DLL, an unseen window station, a vanishing owner (field.cpp).
void RunFieldScenarios();
// NSIS uninstallers that show the notice through the include (nsis.cpp).
void RunNsisScenarios();
// Inno Setup uninstallers that show it through the Inno include (inno.cpp).
void RunInnoScenarios();
// For a picture: the notice over the example uninstaller of "nsis" or
// "inno", until the signal file appears (picture.cpp).
int RunPicture(const char *system, const char *signalPath);
