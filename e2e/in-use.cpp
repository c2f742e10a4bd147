// Uninstalls while Quillane is in use: a stand-in Quillane running from the
// install folder, a file of the folder held open with no sharing or mapped
// into memory, or the folder held as a program's current directory. The
// in-use check asks the user, in the uninstaller's language, to close
// Quillane (Retry) or to keep it installed (Cancel); a silent uninstall asks
// nobody and removes nothing. What is shared by the NSIS and Inno scenarios:
// making the folder busy and free again, finding and answering the
// question, and what stayed on the disk.
#include "suite.h"

#include <algorithm>

const Questions EnglishQuestions = {
    "Quillane cannot be uninstalled while these programs are using its files:\r\n\r\n",
    "\r\n\r\nSave your work in them. To continue, the uninstall closes them for you; or close "
    "them yourself and try again. If you cancel, nothing is removed and Quillane stays "
    "installed.",
    "Quillane is still running, or another program is using one of its files or folders, so it "
    "cannot be uninstalled yet.\r\n\r\nClose Quillane, then try again. If you cancel, nothing "
    "is removed and Quillane stays installed.\r\n\r\nIn use: "};
const Questions GermanQuestions = {
    "Quillane kann nicht deinstalliert werden, solange diese Programme seine Dateien "
    "verwenden:\r\n\r\n",
    "\r\n\r\nSpeichern Sie Ihre Arbeit darin. Zum Fortsetzen schlie\xc3\x9f"
    "t die Deinstallation sie f\xc3\xbcr Sie; oder schlie\xc3\x9f"
    "en Sie sie selbst, und versuchen Sie es erneut. Wenn Sie abbrechen, wird nichts entfernt, "
    "und Quillane bleibt installiert.",
    "Quillane wird noch ausgef\xc3\xbchrt, oder ein anderes Programm verwendet eine seiner "
    "Dateien oder einen seiner Ordner, daher kann es noch nicht deinstalliert werden.\r\n\r\n"
    "Schlie\xc3\x9f"
    "en Sie Quillane und versuchen Sie es dann erneut. Wenn Sie abbrechen, wird nichts "
    "entfernt, und Quillane bleibt installiert.\r\n\r\nIn Verwendung: "};

namespace
{

// The folder's files, with their paths below it, in the order found.
void ListFiles(const std::string &folder, const std::string &below, std::vector<std::string> &out)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do
    {
        std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(folder + "\\" + name, below + name + "\\", out);
        else
            out.push_back(below + name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// A window's text as UTF-8, whatever the code page.
std::string WideText(HWND hwnd)
{
    wchar_t wide[2048] = L"";
    GetWindowTextW(hwnd, wide, 2048);
    char text[6144] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, NULL, NULL);
    return text;
}

// Cancel, Try Again and Continue where it names programs; Retry and Cancel
// where it can name only a path.
bool IsQuestion(HWND hwnd)
{
    return ClassName(hwnd) == "#32770" && ProcessOf(hwnd) != GetCurrentProcessId() &&
           (GetDlgItem(hwnd, IDRETRY) || GetDlgItem(hwnd, IDTRYAGAIN)) &&
           GetDlgItem(hwnd, IDCANCEL) && !IsNoticeBox(hwnd);
}

// The question's text: its one static text that is not an icon.
std::string QuestionText(HWND box)
{
    struct Search
    {
        std::string text;
    } search;
    EnumChildWindows(
        box,
        [](HWND hwnd, LPARAM lParam) -> BOOL
        {
            Search *s = reinterpret_cast<Search *>(lParam);
            LONG style = GetWindowLongA(hwnd, GWL_STYLE);
            if (!lstrcmpiA(ClassName(hwnd).c_str(), "Static") && (style & SS_TYPEMASK) != SS_ICON &&
                IsWindowVisible(hwnd) && !WideText(hwnd).empty())
                s->text = WideText(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.text;
}

} // namespace

std::vector<std::string> FilesIn(const std::string &folder)
{
    std::vector<std::string> files;
    ListFiles(folder, "", files);
    return files;
}

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
}

bool Hinders(Use use)
{
    return use != NothingInUse && use != FolderWatched;
}

bool BeginBusy(Busy &busy, const std::string &installed, Use use, const char *file)
{
    busy.use = use;
    busy.path = use == FolderHeld || use == FolderWatched ? installed : installed + "\\" + file;
    if (use == FolderWatched)
    {
        busy.watch = FindFirstChangeNotificationA(
            installed.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
        return Check(busy.watch != INVALID_HANDLE_VALUE,
                     "watched folder: expected %s watched, saw error %lu", installed.c_str(),
                     busy.watch == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    }
    if (use == QuillaneRunning || use == QuillaneStubborn || use == FolderHeld ||
        use == FileHeldElsewhere)
    {
        // From the folder, or from the suite's with the folder as its
        // current directory, or holding a file of it.
        const bool inFolder = use == QuillaneRunning || use == QuillaneStubborn;
        const std::string program = inFolder ? busy.path : SuiteFolder() + "quillane_standin.exe";
        const std::string arguments = use == QuillaneStubborn    ? "/stubborn"
                                      : use == FileHeldElsewhere ? "/hold=" + busy.path
                                                                 : "";
        busy.quillane = StartNotice(arguments.c_str(), program.c_str(), NULL,
                                    use == FolderHeld ? installed.c_str() : NULL);
        // Running once its window is there.
        bool running =
            busy.quillane.hProcess &&
            PumpUntil([] { return FindWindowA("QuillaneStandIn", NULL) != NULL; }, ExitTimeout);
        return Check(running, "Quillane: expected the stand-in running from %s %s, saw %s",
                     program.c_str(), arguments.c_str(),
                     running                  ? "it running"
                     : busy.quillane.hProcess ? "no window of it"
                                              : "it not started");
    }
    if (use == FileMapped)
    {
        // Mapped, and every handle closed again.
        HANDLE file = CreateFileA(busy.path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        HANDLE mapping = file == INVALID_HANDLE_VALUE
                             ? NULL
                             : CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
        busy.view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
        DWORD error = GetLastError();
        if (mapping)
            CloseHandle(mapping);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return Check(busy.view != NULL, "mapped file: expected %s mapped, saw error %lu",
                     busy.path.c_str(), busy.view ? 0 : error);
    }
    if (use == FileHeld)
    {
        busy.held = CreateFileA(busy.path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        return Check(busy.held != INVALID_HANDLE_VALUE,
                     "held file: expected %s open with no sharing, saw error %lu",
                     busy.path.c_str(), busy.held == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    }
    return true;
}

void EndBusy(Busy &busy)
{
    if (busy.quillane.hProcess)
    {
        // As the user closes Quillane; one that would not close, once the
        // user has answered whatever it asked.
        if (HWND window = FindWindowA("QuillaneStandIn", NULL))
        {
            PostMessageA(window, WM_CLOSE, 0, 0);
            if (busy.use == QuillaneStubborn)
                PostMessageA(window, WM_APP, 0, 0);
        }
        DWORD code;
        bool ended = WaitForEnd(busy.quillane.hProcess, ExitTimeout, &code);
        Check(ended, "Quillane: expected the stand-in to end when closed, saw %s",
              ended ? "it ended" : "it still running, and ended it");
        CloseHandle(busy.quillane.hThread);
        CloseHandle(busy.quillane.hProcess);
        busy.quillane = {};
    }
    if (busy.held != INVALID_HANDLE_VALUE)
        CloseHandle(busy.held);
    busy.held = INVALID_HANDLE_VALUE;
    if (busy.view)
        UnmapViewOfFile(busy.view);
    busy.view = NULL;
    if (busy.watch != INVALID_HANDLE_VALUE)
        FindCloseChangeNotification(busy.watch);
    busy.watch = INVALID_HANDLE_VALUE;
}

HWND QuestionBox()
{
    return FindTopLevel(IsQuestion);
}

namespace
{

// Whom the question must name for what the use holds: none (the path
// instead), the stand-in by its window's title, or the suite by its file
// name. Under Wine only what runs from the folder can be named; on Windows
// the Restart Manager names whoever holds a file; whether it names the
// holder of a mapped file or of a current directory is Windows' own
// affair, and either answer is taken there.
struct Named
{
    bool known;
    std::vector<std::string> names;
};

Named NamedFor(Use use)
{
    if (use == QuillaneRunning || use == QuillaneStubborn)
        return {true, {"Quillane"}};
    if (UnderWine())
        return {true, {}};
    if (use == FileHeldElsewhere)
        return {true, {"Quillane"}};
    if (use == FileHeld)
        return {true, {"notice_e2e.exe"}};
    return {false, {}};
}

void CheckQuestion(HWND box, const Questions &questions, const Busy &busy, const char *ownerClass,
                   int number)
{
    const std::string text = QuestionText(box);
    const Named named = NamedFor(busy.use);
    std::string list;
    for (const std::string &name : named.names)
        list += (list.empty() ? "" : "\r\n") + name;
    const std::string byPath = questions.path + busy.path;
    const std::string byName = questions.named + list + questions.namedEnd;
    const bool ok = named.known ? text == (named.names.empty() ? byPath : byName)
                                : text == byPath || text.rfind(questions.named, 0) == 0;
    Check(ok, "question %d: expected '%s', saw '%s'", number,
          Escaped(named.known ? (named.names.empty() ? byPath : byName)
                              : byPath + "' or one naming programs")
              .c_str(),
          Escaped(text).c_str());
    if (busy.use == FileHeldElsewhere && UnderWine())
        Out("skip: %s: naming the program that holds the file: only Windows' Restart Manager "
            "knows it, and Wine's names nobody, so the question gives the path\n",
            Scenario);
    HWND owner = GetWindow(box, GW_OWNER);
    Out("%s: question %d titled '%s', owned by %s (%s) of process %lu; the question's process is "
        "%lu\n",
        Scenario, number, Escaped(WideText(box)).c_str(), Describe(owner).c_str(),
        owner ? ClassName(owner).c_str() : "-", owner ? ProcessOf(owner) : 0, ProcessOf(box));
    Check(owner && ClassName(owner) == ownerClass && ProcessOf(owner) != ProcessOf(box) &&
              IsWindowVisible(owner),
          "question %d's owner: expected the uninstaller's window (%s) of another process, "
          "shown, saw %s",
          number, ownerClass, Describe(owner).c_str());
}

} // namespace

void AnswerQuestion(HWND box, int button)
{
    PostMessageA(GetDlgItem(box, button), BM_CLICK, 0, 0);
    PumpUntil([box] { return !IsWindow(box) || !IsWindowVisible(box); }, ExitTimeout);
}

void CheckFilesAfter(const std::string &installed, const std::vector<std::string> &before,
                     bool removed, const char *kept)
{
    std::vector<std::string> after = FilesIn(installed);
    if (removed)
    {
        const std::vector<std::string> left =
            kept ? std::vector<std::string>{kept} : std::vector<std::string>{};
        bool gone = kept ? after == left : !Exists(installed);
        Check(gone, "files: expected %s removed%s%s, saw %s", installed.c_str(),
              kept ? " but for " : "", kept ? kept : "", gone ? "that" : Joined(after).c_str());
        return;
    }
    Check(after == before, "files after cancel: expected all %zu still there %s, saw %s",
          before.size(), Joined(before).c_str(), Joined(after).c_str());
}

HWND NsisWindow()
{
    return FindTopLevel(
        [](HWND hwnd)
        {
            return ClassName(hwnd) == "#32770" && ProcessOf(hwnd) != GetCurrentProcessId() &&
                   GetDlgItem(hwnd, IDOK) && !IsNoticeBox(hwnd) && !IsQuestion(hwnd);
        });
}

InUseSeen RunWhileInUse(const InUseRun &run, Busy &busy)
{
    InUseSeen seen;
    PROCESS_INFORMATION pi;
    HANDLE job = StartInJob(run.commandLine, &pi);
    if (!job)
        return seen;

    DWORD pressed = 0;
    bool ended = false;
    // Boxes answered already: one on its way out is not answered again.
    std::vector<HWND> answered;
    auto isNew = [&answered](HWND box)
    { return std::find(answered.begin(), answered.end(), box) == answered.end(); };
    PumpUntil(
        [&]
        {
            ended = ended || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
            HWND window =
                run.pages ? NsisWindow()
                          : FindTopLevel([](HWND hwnd)
                                         { return ClassName(hwnd) == "TUninstallProgressForm"; });
            HWND box = NULL;
            if ((box = NoticeBox()) && isNew(box))
            {
                ++seen.notices;
                answered.push_back(box);
                DismissBox(box);
            }
            else if ((box = QuestionBox()) && isNew(box))
            {
                const int number = ++seen.questions;
                CheckQuestion(box, *run.questions, busy, run.ownerClass, number);
                const Answer answer = number <= static_cast<int>(run.answers.size())
                                          ? run.answers[number - 1]
                                          : Cancel;
                if (answer == TryAgainOnceFree)
                    EndBusy(busy);
                const bool named = GetDlgItem(box, IDTRYAGAIN) != NULL;
                const int button = answer == Cancel     ? IDCANCEL
                                   : answer == Continue ? IDCONTINUE
                                   : named              ? IDTRYAGAIN
                                                        : IDRETRY;
                answered.push_back(box);
                AnswerQuestion(box, button);
            }
            else if (run.boxes && (box = UninstallerBox()) && isNew(box))
            {
                // Inno's own question while its AppMutex exists offers
                // Cancel: the user closes Quillane first, then says OK.
                if (GetDlgItem(box, IDCANCEL))
                    EndBusy(busy);
                answered.push_back(box);
                seen.answered.push_back(AnswerUninstallerBox(box));
            }

            else if (window && run.pages && IsWindowEnabled(window) &&
                     GetTickCount() - pressed > 1000)
            {
                // NSIS's pages: Uninstall on a confirmation page, Close at the
                // end, and Cancel, the one button left, once the uninstall has
                // stopped short.
                HWND ok = GetDlgItem(window, IDOK), cancel = GetDlgItem(window, IDCANCEL);
                HWND button = IsWindowEnabled(ok) ? ok : IsWindowEnabled(cancel) ? cancel : NULL;
                if (button)
                {
                    PostMessageA(button, BM_CLICK, 0, 0);
                    pressed = GetTickCount();
                }
            }
            return !JobRunning(job);
        },
        UninstallRunTimeout);
    // It may have ended after it was last looked at, with the job's last.
    ended = ended || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
    DWORD code;
    WaitForEnd(pi.hProcess, 0, &code);
    seen.exit = ended ? "exit code " + std::to_string(code)
                      : "still running after " + std::to_string(UninstallRunTimeout) + " ms";
    if (JobRunning(job))
    {
        Check(false,
              "uninstall: expected all of its processes to end within %lu ms, saw %s still "
              "running (ended)",
              UninstallRunTimeout, Joined(JobProcesses(job)).c_str());
        TerminateJobObject(job, 1);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(job);
    return seen;
}
