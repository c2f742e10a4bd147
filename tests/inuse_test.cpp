// The in-use check over the stand-in file system and desktop: what counts
// as in use, what the user is asked and how often, what each answer gives,
// and that the look itself removes nothing.
#include "inuse.h"
#include "standin-files.h"
#include "standin-processes.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

const std::wstring Folder = L"C:\\Quillane";

// Runs the check with these arguments after the program's name, as the
// start-up code would; its exit code.
int RunCheck(std::vector<std::wstring> arguments)
{
    arguments.insert(arguments.begin(), L"FilesInUse.exe");
    std::vector<wchar_t *> argv;
    for (std::wstring &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    return wmain(static_cast<int>(arguments.size()), argv.data());
}

// An installed Quillane: the folder, its program and data, and the
// uninstaller's own files; its uninstaller running, and Explorer; the
// Restart Manager as Wine has it, answering nothing, unless said.
void Install(StandInDeletion deletion = StandInPosixDeletion,
             StandInRestartManager restartManager = StandInRestartManagerStub)
{
    StandInReset();
    StandInFilesReset(deletion);
    StandInProcessesReset(restartManager);
    StandInAddFolder(L"C:");
    StandInAddFolder(Folder);
    StandInAddFile(Folder + L"\\Quillane.exe");
    StandInAddFile(Folder + L"\\UninstallNotice.exe");
    StandInAddFile(Folder + L"\\Uninstall.exe");
    StandInAddFolder(Folder + L"\\data");
    StandInAddFile(Folder + L"\\data\\library.db");
    StandInAddFolder(Folder + L"\\data\\cache");
}

std::string Narrow(const std::wstring &text)
{
    return StandInUtf8(text.c_str());
}

// What every run must leave: nothing removed, no handle left open.
void CheckNothingChanged()
{
    EXPECT_TRUE(StandInDeleted().empty()) << "removed: " << Narrow(StandInDeleted()[0]);
    EXPECT_EQ(StandInOpenHandles(), 0);
    EXPECT_EQ(StandInOpenSnapshots(), 0);
}

// Each holder, on each kind of deletion, and what the removal would meet:
// the fault each catches is a check that says free where the removal would
// leave something behind (or asks where it would not).
struct HoldCase
{
    const char *name;
    const wchar_t *path; // below the folder; empty: the folder itself
    StandInHold hold;
    StandInDeletion deletion;
    bool inUse;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
};

void PrintTo(const HoldCase &c, std::ostream *os)
{
    *os << c.name;
}

class Hold : public testing::TestWithParam<HoldCase>
{
};

TEST_P(Hold, CountsWhatTheRemovalCouldNotTakeAway)
{
    const HoldCase &c = GetParam();
    Install(c.deletion);
    const std::wstring path = Folder + c.path;
    if (c.attributes != FILE_ATTRIBUTE_NORMAL)
        StandInAddFile(path, c.hold, c.attributes);
    else
        StandInSetHold(path, c.hold);

    EXPECT_EQ(RunCheck({L"/silent", Folder}), c.inUse ? CHECK_HELD : CHECK_FREE);
    EXPECT_TRUE(StandInBoxes().empty()) << "silent: nobody to ask";
    CheckNothingChanged();
}

const StandInDeletion Posix = StandInPosixDeletion, Legacy = StandInLegacyDeletion;

INSTANTIATE_TEST_SUITE_P(
    Holders, Hold,
    testing::Values(
        HoldCase{"NothingHeld", L"\\data\\library.db", StandInFree, Posix, false},
        HoldCase{"NothingHeldLegacy", L"\\data\\library.db", StandInFree, Legacy, false},
        HoldCase{"FileOpenWithoutSharingDeletion", L"\\data\\library.db", StandInHeldNoDelete,
                 Posix, true},
        HoldCase{"FileOpenWithoutSharingDeletionLegacy", L"\\data\\library.db", StandInHeldNoDelete,
                 Legacy, true},
        // Windows 10 takes the name away at once; older deletion keeps it,
        // and the folder with it, until the holder lets go.
        HoldCase{"FileOpenSharingDeletion", L"\\data\\library.db", StandInHeldSharingDelete, Posix,
                 false},
        HoldCase{"FileOpenSharingDeletionLegacy", L"\\data\\library.db", StandInHeldSharingDelete,
                 Legacy, true},
        HoldCase{"QuillaneRunning", L"\\Quillane.exe", StandInMapped, Posix, true},
        HoldCase{"QuillaneRunningLegacy", L"\\Quillane.exe", StandInMapped, Legacy, true},
        HoldCase{"MappedFile", L"\\data\\library.db", StandInMapped, Posix, true},
        HoldCase{"MappedFileLegacy", L"\\data\\library.db", StandInMapped, Legacy, true},
        HoldCase{"FileThatCannotBeOpenedForDeletion", L"\\data\\library.db", StandInUnopenable,
                 Posix, true},
        // A read-only file refuses the mark by itself; NSIS clears it first.
        HoldCase{"ReadOnlyFile", L"\\readme.txt", StandInFree, Posix, false,
                 FILE_ATTRIBUTE_READONLY},
        HoldCase{"ReadOnlyFileLegacy", L"\\readme.txt", StandInFree, Legacy, false,
                 FILE_ATTRIBUTE_READONLY},
        HoldCase{"ReadOnlyRunning", L"\\readme.exe", StandInMapped, Posix, true,
                 FILE_ATTRIBUTE_READONLY},
        HoldCase{"FolderAsCurrentDirectory", L"", StandInHeldNoDelete, Posix, true},
        HoldCase{"FolderAsCurrentDirectoryLegacy", L"", StandInHeldNoDelete, Legacy, true},
        HoldCase{"SubfolderAsCurrentDirectory", L"\\data\\cache", StandInHeldNoDelete, Legacy,
                 true},
        // An Explorer window on the folder: the folder goes once it lets go.
        HoldCase{"ExplorerOnTheFolder", L"", StandInHeldSharingDelete, Posix, false},
        HoldCase{"ExplorerOnTheFolderLegacy", L"", StandInHeldSharingDelete, Legacy, false},
        // On a folder inside it, older deletion keeps the folder above.
        HoldCase{"ExplorerOnASubfolder", L"\\data\\cache", StandInHeldSharingDelete, Posix, false},
        HoldCase{"ExplorerOnASubfolderLegacy", L"\\data\\cache", StandInHeldSharingDelete, Legacy,
                 true}),
    [](const testing::TestParamInfo<HoldCase> &info) { return info.param.name; });

// What is left out. The fault each catches: the uninstaller's own program
// (running from the folder with _?=) or the check itself counted, so that
// every uninstall asks; or a skip that leaves out more than it names.
struct SkipCase
{
    const char *name;
    std::vector<std::wstring> arguments;
    std::wstring held;
    std::wstring program; // where the check runs from
    int exitCode;
};

void PrintTo(const SkipCase &c, std::ostream *os)
{
    *os << c.name;
}

class Skip : public testing::TestWithParam<SkipCase>
{
};

TEST_P(Skip, LeavesOutExactlyWhatItNames)
{
    const SkipCase &c = GetParam();
    Install();
    StandInAddFile(Folder + L"\\database", StandInFree);
    StandInAddFile(Folder + L"\\FilesInUse.exe", StandInFree);
    StandInSetHold(Folder + c.held, StandInMapped);
    if (!c.program.empty())
        StandInSetProgramPath(Folder + c.program);
    std::vector<std::wstring> arguments = c.arguments;
    arguments.insert(arguments.begin(), L"/silent");
    arguments.push_back(Folder);

    EXPECT_EQ(RunCheck(arguments), c.exitCode);
    CheckNothingChanged();
}

INSTANTIATE_TEST_SUITE_P(
    Skips, Skip,
    testing::Values(SkipCase{"TheUninstallerItself",
                             {L"/skip=" + Folder + L"\\Uninstall.exe"},
                             L"\\Uninstall.exe",
                             L"",
                             CHECK_FREE},
                    SkipCase{"InAnyCase",
                             {L"/skip=C:\\QUILLANE\\uninstall.EXE"},
                             L"\\Uninstall.exe",
                             L"",
                             CHECK_FREE},
                    SkipCase{"AFolderAndAllBelowIt",
                             {L"/skip=" + Folder + L"\\data\\"},
                             L"\\data\\library.db",
                             L"",
                             CHECK_FREE},
                    SkipCase{"NotANameThatOnlyBeginsAlike",
                             {L"/skip=" + Folder + L"\\data"},
                             L"\\database",
                             L"",
                             CHECK_HELD},
                    SkipCase{"NotOthers",
                             {L"/skip=" + Folder + L"\\Uninstall.exe"},
                             L"\\Quillane.exe",
                             L"",
                             CHECK_HELD},
                    SkipCase{"TheCheckRunningFromTheFolder",
                             {},
                             L"\\FilesInUse.exe",
                             L"\\FilesInUse.exe",
                             CHECK_FREE},
                    SkipCase{"NotTheCheckElsewhere", {}, L"\\FilesInUse.exe", L"", CHECK_HELD}),
    [](const testing::TestParamInfo<SkipCase> &info) { return info.param.name; });

// Started from the install folder (NSIS's ExecWait starts it in $OUTDIR),
// the check must not hold the folder itself as its current directory.
TEST(Check, DoesNotHoldTheFolderItself)
{
    Install(StandInLegacyDeletion);
    StandInSetCurrentDirectory(Folder + L"\\data");
    EXPECT_EQ(RunCheck({L"/silent", Folder}), CHECK_FREE);
    CheckNothingChanged();
}

// Retry must look again, as often as the user presses it: the fault is a
// check that takes Retry for "free" while Quillane is still held, and lets
// the uninstall half remove it. Here no program can be named (nothing runs
// from the folder, and the Restart Manager answers nothing, as under Wine):
// the question gives the path, and offers Retry and Cancel.
struct AnswerCase
{
    const char *name;
    std::vector<int> buttons; // the user's answers, in order
    int freedBefore;          // the answer before which the user closes Quillane; -1: never
    int exitCode;
};

void PrintTo(const AnswerCase &c, std::ostream *os)
{
    *os << c.name;
}

class Answers : public testing::TestWithParam<AnswerCase>
{
};

TEST_P(Answers, RetryLooksAgainUntilFreeOrCancelNamingThePath)
{
    const AnswerCase &c = GetParam();
    Install();
    StandInSetHold(Folder + L"\\Quillane.exe", StandInMapped);
    std::vector<StandInAnswer> answers;
    for (size_t i = 0; i < c.buttons.size(); ++i)
        answers.push_back(
            {c.buttons[i], static_cast<int>(i) == c.freedBefore ? []
                               { StandInSetHold(Folder + L"\\Quillane.exe", StandInFree); }
                                                                : std::function<void()>()});
    StandInSetAnswers(answers);
    HWND window = StandInUninstallWindow();

    EXPECT_EQ(RunCheck({Folder}), c.exitCode);
    ASSERT_EQ(StandInBoxes().size(), c.buttons.size());
    for (const StandInBox &box : StandInBoxes())
    {
        // A box that could not be shown for its owner is shown on its own.
        const bool again = &box != &StandInBoxes()[0] && c.buttons[0] == 0;
        EXPECT_EQ(box.owner, again ? nullptr : window);
        EXPECT_EQ(box.style, MB_RETRYCANCEL | MB_ICONEXCLAMATION);
        EXPECT_NE(box.text.find("In use: C:\\Quillane\\Quillane.exe"), std::string::npos)
            << box.text;
    }
    CheckNothingChanged();
}

INSTANTIATE_TEST_SUITE_P(
    Answering, Answers,
    testing::Values(
        AnswerCase{"Cancel", {IDCANCEL}, -1, CHECK_CANCELLED},
        AnswerCase{
            "RetryStillRunningThenCancel", {IDRETRY, IDRETRY, IDCANCEL}, -1, CHECK_CANCELLED},
        AnswerCase{"RetryOnceClosed", {IDRETRY}, 0, CHECK_FREE},
        AnswerCase{"RetryStillRunningThenRetryOnceClosed", {IDRETRY, IDRETRY}, 1, CHECK_FREE},
        // The box could not be shown: nobody said Retry.
        AnswerCase{"NoBoxShown", {0, 0}, -1, CHECK_CANCELLED}),
    [](const testing::TestParamInfo<AnswerCase> &info) { return info.param.name; });

// Nobody answers a silent uninstall, nor one on a window station that no one
// sees: the check must not wait on a box there, and must not say free.
TEST(Check, AsksNobodyWhereNobodyCanAnswer)
{
    Install();
    StandInSetHold(Folder + L"\\Quillane.exe", StandInMapped);
    StandInSetStation(StandInUnseenStation);
    EXPECT_EQ(RunCheck({Folder}), CHECK_HELD);
    EXPECT_TRUE(StandInBoxes().empty());

    Install();
    StandInSetStation(StandInUnseenStation);
    EXPECT_EQ(RunCheck({Folder}), CHECK_FREE);
    EXPECT_TRUE(StandInBoxes().empty()) << "nothing in use: nothing to ask";
}

// The question in the uninstaller's language: ours in English and German
// (any German), the author's own for the rest.
struct LanguageCase
{
    const char *name;
    std::vector<std::wstring> arguments;
    std::string caption;
    std::string text;
};

void PrintTo(const LanguageCase &c, std::ostream *os)
{
    *os << c.name;
}

class Language : public testing::TestWithParam<LanguageCase>
{
};

const std::string English =
    "Quillane is still running, or another program is using one of its files or folders, so it "
    "cannot be uninstalled yet.\r\n\r\nClose Quillane, then try again. If you cancel, nothing is "
    "removed and Quillane stays installed.\r\n\r\nIn use: C:\\Quillane\\Quillane.exe";
const std::string German =
    "Quillane wird noch ausgef\xc3\xbchrt, oder ein anderes Programm verwendet eine seiner "
    "Dateien oder einen seiner Ordner, daher kann es noch nicht deinstalliert werden.\r\n\r\n"
    "Schlie\xc3\x9f"
    "en Sie Quillane und versuchen Sie es dann erneut. Wenn Sie abbrechen, wird nichts entfernt, "
    "und Quillane bleibt installiert.\r\n\r\nIn Verwendung: C:\\Quillane\\Quillane.exe";

TEST_P(Language, AsksInTheUninstallersLanguage)
{
    Install();
    StandInSetHold(Folder + L"\\Quillane.exe", StandInMapped);
    std::vector<std::wstring> arguments = GetParam().arguments;
    arguments.push_back(Folder);
    EXPECT_EQ(RunCheck(arguments), CHECK_CANCELLED);
    ASSERT_EQ(StandInBoxes().size(), 1u);
    EXPECT_EQ(StandInBoxes()[0].caption, GetParam().caption);
    EXPECT_EQ(StandInBoxes()[0].text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, Language,
    testing::Values(
        LanguageCase{"EnglishByDefault", {}, "Quillane Uninstall", English},
        LanguageCase{"English", {L"/language=1033"}, "Quillane Uninstall", English},
        LanguageCase{"German", {L"/language=1031"}, "Deinstallation von Quillane", German},
        LanguageCase{
            "SwissGermanInHex", {L"/LANGUAGE=0x0807"}, "Deinstallation von Quillane", German},
        LanguageCase{
            "GermanAsInnoWritesIt", {L"/language=$0407"}, "Deinstallation von Quillane", German},
        LanguageCase{"French", {L"/language=1036"}, "Quillane Uninstall", English},
        LanguageCase{"TheAuthorsText",
                     {L"/language=1036", L"/pathtext=Quillane est ouvert (%1). Fermez-le."},
                     "Quillane Uninstall",
                     "Quillane est ouvert (C:\\Quillane\\Quillane.exe). Fermez-le."},
        LanguageCase{"AnEmptyTextIsNone",
                     {L"/language=1031", L"/pathtext="},
                     "Deinstallation von Quillane",
                     German},
        LanguageCase{"TheAuthorsTextWithoutMark",
                     {L"/pathtext=Close Quillane."},
                     "Quillane Uninstall",
                     "Close Quillane.\r\n\r\nC:\\Quillane\\Quillane.exe"}),
    [](const testing::TestParamInfo<LanguageCase> &info) { return info.param.name; });

// Wrong arguments get one line on the standard error and exit code 3,
// before anything is looked at or shown: never free, never a box.
struct WrongCase
{
    const char *name;
    std::vector<std::wstring> arguments;
    std::string said;
};

void PrintTo(const WrongCase &c, std::ostream *os)
{
    *os << c.name;
}

class Wrong : public testing::TestWithParam<WrongCase>
{
};

TEST_P(Wrong, IsAnsweredInOneLine)
{
    Install();
    StandInSetHold(Folder + L"\\Quillane.exe", StandInMapped);
    EXPECT_EQ(RunCheck(GetParam().arguments), CHECK_UNUSABLE);
    EXPECT_EQ(StandInStandardError(), "FilesInUse: " + GetParam().said + "\n");
    EXPECT_TRUE(StandInBoxes().empty());
    EXPECT_EQ(StandInOpens(), 0) << "nothing looked at";
}

const std::string Usage = "usage: FilesInUse.exe [/silent] [/close] [/language=ID] [/text=TEXT] "
                          "[/pathtext=TEXT] [/skip=PATH]... FOLDER";

INSTANTIATE_TEST_SUITE_P(
    Arguments, Wrong,
    testing::Values(
        WrongCase{"NoFolder", {L"/silent"}, Usage}, WrongCase{"EmptyFolder", {L""}, Usage},
        WrongCase{"TwoFolders", {Folder, L"C:\\Other"}, "one folder only, not also: C:\\Other"},
        WrongCase{"Unknown", {L"/quiet", Folder}, "no such argument: /quiet"},
        WrongCase{"LanguageNotANumber",
                  {L"/language=de", Folder},
                  "/language takes a language identifier such as 1031 or 0x0407, not: de"},
        WrongCase{"LanguageTooBig",
                  {L"/language=0x10407", Folder},
                  "/language takes a language identifier such as 1031 or 0x0407, not: 0x10407"},
        WrongCase{"LanguageNegative",
                  {L"/language=-1", Folder},
                  "/language takes a language identifier such as 1031 or 0x0407, not: -1"},
        WrongCase{"FolderMissing", {L"C:\\Gone"}, "no folder at C:\\Gone"},
        WrongCase{"FileForFolder",
                  {Folder + L"\\Quillane.exe"},
                  "no folder at C:\\Quillane\\Quillane.exe"},
        WrongCase{"NonAsciiNamed", {L"C:\\Gr\u00fcn"}, "no folder at C:\\Gr\xc3\xbcn"}),
    [](const testing::TestParamInfo<WrongCase> &info) { return info.param.name; });

TEST(Wrong, SeventeenSkips)
{
    Install();
    std::vector<std::wstring> arguments(17, L"/skip=C:\\x");
    arguments.push_back(Folder);
    EXPECT_EQ(RunCheck(arguments), CHECK_UNUSABLE);
    EXPECT_EQ(StandInStandardError(), "FilesInUse: at most 16 /skip, not also: C:\\x\n");
}

// What cannot be looked at is never taken for free: a folder too deep to
// walk, a file gone meanwhile is.
TEST(Check, NeverSaysFreeForWhatItCouldNotSee)
{
    Install();
    std::wstring deep = Folder;
    for (int i = 0; i < 250; ++i)
        StandInAddFolder(deep += L"\\d");
    EXPECT_EQ(RunCheck({L"/silent", Folder}), CHECK_HELD);
    CheckNothingChanged();

    Install();
    StandInVanishAfterListing(Folder + L"\\data\\library.db");
    EXPECT_EQ(RunCheck({L"/silent", Folder}), CHECK_FREE);
    CheckNothingChanged();
}

// Who holds what is in use, by the name a user knows: the title of the
// program's main window, or else its file name; Explorer as "Windows
// Explorer". The Restart Manager names whoever holds a file; where it names
// nobody (under Wine, say), the processes that run from the folder or have
// loaded a module of it. The faults each catches: a holder left unnamed
// where it could be named, a name that the user does not know, the
// uninstaller or the check itself named (closing them would end the
// uninstall), a name twice, and a list without end.
struct NameCase
{
    const char *name;
    StandInRestartManager restartManager;
    std::function<void()> stage;
    std::vector<std::string> named; // the lines of the question's list
};

void PrintTo(const NameCase &c, std::ostream *os)
{
    *os << c.name;
}

class Names : public testing::TestWithParam<NameCase>
{
};

const std::wstring Library = Folder + L"\\data\\library.db";

// A program outside the folder with the library open, and a window.
void ViewerHoldsTheLibrary()
{
    StandInSetHold(Library, StandInHeldNoDelete);
    DWORD pid = StandInAddProcess(L"viewer.exe", {L"C:\\Tools\\viewer.exe"}, {Library});
    StandInAddProcessWindow(pid, "Library Viewer");
}

// Quillane running from the folder, with its window.
DWORD QuillaneRuns(const char *title = "Quillane")
{
    const std::wstring exe = Folder + L"\\Quillane.exe";
    StandInSetHold(exe, StandInMapped);
    DWORD pid =
        StandInAddProcess(L"Quillane.exe", {exe, L"C:\\Windows\\system32\\kernel32.dll"}, {exe});
    StandInAddProcessWindow(pid, title);
    return pid;
}

TEST_P(Names, TheQuestionNamesWhoHoldsTheFolder)
{
    const NameCase &c = GetParam();
    Install(StandInPosixDeletion, c.restartManager);
    c.stage();
    StandInSetAnswers({{IDCANCEL, nullptr}});

    EXPECT_EQ(RunCheck({L"/skip=" + Folder + L"\\Uninstall.exe", Folder}), CHECK_CANCELLED);
    ASSERT_EQ(StandInBoxes().size(), 1u);
    const StandInBox &box = StandInBoxes()[0];
    std::string list;
    for (const std::string &line : c.named)
        list += (list.empty() ? "" : "\r\n") + line;
    const std::string lead = "using its files:\r\n\r\n";
    size_t at = box.text.find(lead);
    ASSERT_NE(at, std::string::npos) << box.text;
    EXPECT_EQ(box.text.substr(at + lead.size(), list.size() + 4), list + "\r\n\r\n") << box.text;
    EXPECT_EQ(box.style, MB_CANCELTRYCONTINUE | MB_ICONEXCLAMATION);
    EXPECT_EQ(box.owner, StandInUninstallWindow());
    EXPECT_TRUE(StandInPosted().empty()) << "Cancel closes nothing";
    CheckNothingChanged();
}

const StandInRestartManager Answers = StandInRestartManagerAnswers,
                            Stub = StandInRestartManagerStub, Missing = StandInNoRestartManager;

INSTANTIATE_TEST_SUITE_P(
    Holders, Names,
    testing::Values(
        NameCase{"ByTheRestartManagerWithItsWindowTitle",
                 Answers,
                 ViewerHoldsTheLibrary,
                 {"Library Viewer"}},
        NameCase{"ByItsFileNameWithoutAWindow",
                 Answers,
                 []
                 {
                     StandInSetHold(Library, StandInHeldNoDelete);
                     StandInAddProcess(L"indexer.exe", {L"C:\\Tools\\indexer.exe"}, {Library});
                 },
                 {"indexer.exe"}},
        NameCase{"QuillaneRunningFromTheFolder", Stub, [] { QuillaneRuns(); }, {"Quillane"}},
        NameCase{"QuillaneWithoutARestartManager", Missing, [] { QuillaneRuns(); }, {"Quillane"}},
        NameCase{"ADllOfTheFolderLoadedElsewhere",
                 Stub,
                 []
                 {
                     const std::wstring dll = Folder + L"\\data\\plugin.dll";
                     StandInAddFile(dll, StandInMapped);
                     DWORD pid = StandInAddProcess(L"host.exe", {L"C:\\Tools\\host.exe", dll}, {});
                     StandInAddProcessWindow(pid, "Plugin Host");
                 },
                 {"Plugin Host"}},
        NameCase{"ExplorerAsWindowsExplorer",
                 Answers,
                 []
                 {
                     StandInSetHold(Folder + L"\\data\\cache", StandInHeldNoDelete);
                     StandInOpenFolderWindow(Folder + L"\\data\\cache");
                 },
                 {"Windows Explorer"}},
        // The uninstaller runs from the folder with _?=, and holds the
        // library; the check runs from it too.
        NameCase{"NeverTheUninstallerNorTheCheck",
                 Answers,
                 []
                 {
                     QuillaneRuns();
                     StandInSetHold(Library, StandInHeldNoDelete);
                     StandInHoldBy(StandInUninstallerPid, Library);
                     StandInHoldBy(StandInCheckPid, Library);
                     StandInAddFile(Folder + L"\\FilesInUse.exe", StandInMapped);
                     StandInSetProgramPath(Folder + L"\\FilesInUse.exe");
                     StandInSetHold(Folder + L"\\Uninstall.exe", StandInMapped);
                 },
                 {"Quillane"}},
        NameCase{"EachNameOnce",
                 Stub,
                 []
                 {
                     QuillaneRuns();
                     QuillaneRuns();
                 },
                 {"Quillane"}},
        NameCase{
            "AFewThenAnEllipsis",
            Stub,
            []
            {
                for (const char *title : {"One", "Two", "Three", "Four", "Five", "Six", "Seven"})
                    QuillaneRuns(title);
            },
            {"One", "Two", "Three", "Four", "Five", "\xe2\x80\xa6"}}),
    [](const testing::TestParamInfo<NameCase> &info) { return info.param.name; });

// The Restart Manager's DLL is not on the system's list of known DLLs: by
// its bare name, one planted beside the program would be loaded instead.
TEST(Names, TheRestartManagerIsLoadedFromTheSystemFolderOnly)
{
    Install(StandInPosixDeletion, Answers);
    ViewerHoldsTheLibrary();
    EXPECT_EQ(RunCheck({L"/silent", Folder}), CHECK_HELD);
    EXPECT_EQ(StandInLoadedLibraries(),
              std::vector<std::wstring>{L"C:\\Windows\\system32\\rstrtmgr.dll"});
}

// Continue closes the named programs as a user would: WM_CLOSE to their
// windows, never to anything else; then the check looks again, a bounded
// time later. The faults: a program closed that holds nothing (the
// uninstaller itself, Explorer's desktop or taskbar), a wait without end
// for a program that asks to save its work, and a second question that
// does not name what is left.
struct CloseCase
{
    const char *name;
    std::vector<std::wstring> arguments;
    StandInCloses closes;
    std::vector<int> buttons;
    int exitCode;
    size_t posted;   // WM_CLOSE messages, all to Quillane's window
    bool waitsFully; // whether it waited the whole bound
};

void PrintTo(const CloseCase &c, std::ostream *os)
{
    *os << c.name;
}

class Closing : public testing::TestWithParam<CloseCase>
{
};

TEST_P(Closing, ClosesOnlyTheHoldersAndLooksAgainInBoundedTime)
{
    const CloseCase &c = GetParam();
    Install();
    const std::wstring exe = Folder + L"\\Quillane.exe";
    StandInSetHold(exe, StandInMapped);
    DWORD quillane = StandInAddProcess(L"Quillane.exe", {exe}, {exe}, c.closes);
    HWND window = StandInAddProcessWindow(quillane, "Quillane");
    // An owned dialog of it, and a program that holds nothing.
    StandInAddProcessWindow(quillane, "Save changes?", "#32770", true, window);
    StandInAddProcessWindow(StandInAddProcess(L"notepad.exe", {L"C:\\Windows\\notepad.exe"}, {}),
                            "Notes");
    std::vector<StandInAnswer> answers;
    for (int button : c.buttons)
        answers.push_back({button, nullptr});
    StandInSetAnswers(answers);
    std::vector<std::wstring> arguments = c.arguments;
    arguments.push_back(Folder);

    EXPECT_EQ(RunCheck(arguments), c.exitCode);
    EXPECT_EQ(StandInBoxes().size(), c.buttons.size());
    for (const StandInBox &box : StandInBoxes())
        EXPECT_NE(box.text.find(":\r\n\r\nQuillane\r\n\r\n"), std::string::npos) << box.text;
    EXPECT_EQ(StandInPosted().size(), c.posted);
    for (const auto &[to, message] : StandInPosted())
        EXPECT_TRUE(to == window && message == WM_CLOSE) << "posted elsewhere";
    EXPECT_EQ(StandInHasEnded(quillane), c.closes == StandInClosesWhenAsked && c.posted > 0);
    EXPECT_LE(StandInSlept(), 10000u) << "the wait is bounded";
    EXPECT_EQ(StandInSlept() >= 10000u, c.waitsFully) << StandInSlept();
    CheckNothingChanged();
}

INSTANTIATE_TEST_SUITE_P(
    Answering, Closing,
    testing::Values(
        CloseCase{"ContinueClosesItAndTheUninstallGoesOn",
                  {},
                  StandInClosesWhenAsked,
                  {IDCONTINUE},
                  CHECK_FREE,
                  1,
                  false},
        CloseCase{"OneThatWillNotCloseIsNamedAgain",
                  {},
                  StandInKeepsRunning,
                  {IDCONTINUE, IDCANCEL},
                  CHECK_CANCELLED,
                  1,
                  true},
        CloseCase{"TryAgainClosesNothing",
                  {},
                  StandInClosesWhenAsked,
                  {IDTRYAGAIN, IDCANCEL},
                  CHECK_CANCELLED,
                  0,
                  false},
        CloseCase{
            "SilentClosesNothing", {L"/silent"}, StandInClosesWhenAsked, {}, CHECK_HELD, 0, false},
        CloseCase{"SilentAskedToCloseDoes",
                  {L"/silent", L"/close"},
                  StandInClosesWhenAsked,
                  {},
                  CHECK_FREE,
                  1,
                  false},
        CloseCase{"SilentAskedToCloseTriesOnce",
                  {L"/silent", L"/close"},
                  StandInKeepsRunning,
                  {},
                  CHECK_HELD,
                  1,
                  true},
        CloseCase{"CloseAskedButNotSilentAsksTheUser",
                  {L"/close"},
                  StandInClosesWhenAsked,
                  {IDCANCEL},
                  CHECK_CANCELLED,
                  0,
                  false}),
    [](const testing::TestParamInfo<CloseCase> &info) { return info.param.name; });

// The question that names the holders in the uninstaller's language, with
// Explorer by its name in it; the author's own for other languages. The
// faults: English words in a German question, and an author's text that
// loses the names.
struct NamedLanguageCase
{
    const char *name;
    std::vector<std::wstring> arguments;
    std::string caption;
    std::string text;
};

void PrintTo(const NamedLanguageCase &c, std::ostream *os)
{
    *os << c.name;
}

class NamedLanguage : public testing::TestWithParam<NamedLanguageCase>
{
};

TEST_P(NamedLanguage, NamesTheHoldersInTheUninstallersLanguage)
{
    Install(StandInPosixDeletion, Answers);
    QuillaneRuns();
    StandInSetHold(Folder + L"\\data\\cache", StandInHeldNoDelete);
    StandInOpenFolderWindow(Folder + L"\\data\\cache");
    std::vector<std::wstring> arguments = GetParam().arguments;
    arguments.push_back(Folder);
    EXPECT_EQ(RunCheck(arguments), CHECK_CANCELLED);
    ASSERT_EQ(StandInBoxes().size(), 1u);
    EXPECT_EQ(StandInBoxes()[0].caption, GetParam().caption);
    EXPECT_EQ(StandInBoxes()[0].text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, NamedLanguage,
    testing::Values(
        NamedLanguageCase{"English",
                          {},
                          "Quillane Uninstall",
                          "Quillane cannot be uninstalled while these programs are using its "
                          "files:\r\n\r\nWindows Explorer\r\nQuillane\r\n\r\nSave your work in "
                          "them. To continue, the uninstall closes them for you; or close them "
                          "yourself and try again. If you cancel, nothing is removed and Quillane "
                          "stays installed."},
        NamedLanguageCase{"German",
                          {L"/language=1031"},
                          "Deinstallation von Quillane",
                          "Quillane kann nicht deinstalliert werden, solange diese Programme "
                          "seine Dateien verwenden:\r\n\r\nWindows-Explorer\r\nQuillane\r\n\r\n"
                          "Speichern Sie Ihre Arbeit darin. Zum Fortsetzen schlie\xc3\x9ft die "
                          "Deinstallation sie f\xc3\xbcr Sie; oder schlie\xc3\x9f"
                          "en Sie sie selbst, und versuchen Sie es erneut. Wenn Sie abbrechen, "
                          "wird nichts entfernt, und Quillane bleibt installiert."},
        NamedLanguageCase{"TheAuthorsText",
                          {L"/language=1036", L"/text=Fermez :\r\n%1\r\npuis continuez."},
                          "Quillane Uninstall",
                          "Fermez :\r\nWindows Explorer\r\nQuillane\r\npuis continuez."}),
    [](const testing::TestParamInfo<NamedLanguageCase> &info) { return info.param.name; });

// Of Explorer, Continue closes the folder windows only: never the desktop
// or the taskbar, which are Explorer's windows too.
TEST(Closing, OfExplorerOnlyItsFolderWindows)
{
    Install(StandInPosixDeletion, Answers);
    StandInSetHold(Folder + L"\\data\\cache", StandInHeldNoDelete);
    HWND folderWindow = StandInOpenFolderWindow(Folder + L"\\data\\cache");
    StandInSetAnswers({{IDCONTINUE, nullptr}, {IDCANCEL, nullptr}});
    RunCheck({Folder});
    ASSERT_FALSE(StandInPosted().empty());
    for (const auto &[to, message] : StandInPosted())
        EXPECT_EQ(to, folderWindow);
}

} // namespace
