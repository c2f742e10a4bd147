// The in-use check's run: read what the uninstaller says, look, and while
// something is in use, ask the user (Retry looks again) or, where nobody
// can be asked, say so in the exit code.
#include "inuse.h"

#include <wchar.h>
#include <wctype.h>

// The questions in each language that comes with the check: their caption;
// the one that names the programs that hold the folder (%1: their names,
// one a line), answered Cancel, Try Again or Continue; the one that can
// name only what is held (%1: its path), answered Retry or Cancel; and the
// name of Windows Explorer. Windows labels the buttons in its own language,
// which may not be the uninstaller's: the texts say what each answer does
// without quoting a label.
static const wchar_t EnglishCaption[] = L"" UNINSTALL_TITLE;
static const wchar_t EnglishQuestion[] =
    L"Quillane cannot be uninstalled while these programs are using its files:\r\n\r\n%1\r\n\r\n"
    L"Save your work in them. To continue, the uninstall closes them for you; or close them "
    L"yourself and try again. If you cancel, nothing is removed and Quillane stays installed.";
static const wchar_t EnglishPathQuestion[] =
    L"Quillane is still running, or another program is using one of its files or folders, so "
    L"it cannot be uninstalled yet.\r\n\r\nClose Quillane, then try again. If you cancel, "
    L"nothing is removed and Quillane stays installed.\r\n\r\nIn use: %1";
static const wchar_t EnglishExplorer[] = L"Windows Explorer";
static const wchar_t GermanCaption[] = L"Deinstallation von Quillane";
static const wchar_t GermanQuestion[] =
    L"Quillane kann nicht deinstalliert werden, solange diese Programme seine Dateien "
    L"verwenden:\r\n\r\n%1\r\n\r\nSpeichern Sie Ihre Arbeit darin. Zum Fortsetzen "
    L"schlie\u00dft die Deinstallation sie f\u00fcr Sie; oder schlie\u00dfen Sie sie selbst, und "
    L"versuchen Sie es erneut. Wenn Sie abbrechen, wird nichts entfernt, und Quillane bleibt "
    L"installiert.";
static const wchar_t GermanPathQuestion[] =
    L"Quillane wird noch ausgef\u00fchrt, oder ein anderes Programm verwendet eine seiner Dateien "
    L"oder einen seiner Ordner, daher kann es noch nicht deinstalliert werden.\r\n\r\n"
    L"Schlie\u00dfen Sie Quillane und versuchen Sie es dann erneut. Wenn Sie abbrechen, wird "
    L"nichts entfernt, und Quillane bleibt installiert.\r\n\r\nIn Verwendung: %1";
static const wchar_t GermanExplorer[] = L"Windows-Explorer";

// How many programs the question names; more stand as one line "...".
#define NAMED 5

static const wchar_t Usage[] = L"usage: FilesInUse.exe [/silent] [/close] [/language=ID] "
                               L"[/text=TEXT] [/pathtext=TEXT] [/skip=PATH]... FOLDER";

#define QUESTION_SIZE 8192

// The value of /name=value, or NULL if the argument is another.
static const wchar_t *OptionValue(const wchar_t *argument, const wchar_t *name)
{
    size_t length = wcslen(name);
    if (wcslen(argument) <= length || argument[length] != L'=' ||
        CompareStringOrdinal(argument, (int)length, name, (int)length, TRUE) != CSTR_EQUAL)
        return NULL;
    return argument + length + 1;
}

// A language identifier, in decimal or in hexadecimal after 0x or $.
static BOOL ReadLanguage(const wchar_t *text, LANGID *language)
{
    int base = 10;
    if (text[0] == L'$')
        base = 16, text += 1;
    else if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
        base = 16, text += 2;
    if (!*text || wcslen(text) > 5)
        return FALSE;
    wchar_t *end;
    unsigned long value = wcstoul(text, &end, base);
    if (*end || value > 0xFFFF || !iswxdigit(text[0]))
        return FALSE;
    *language = (LANGID)value;
    return TRUE;
}

// Appends at most count characters of text to out, which holds size
// characters; cut short where it is full.
static void Append(wchar_t *out, size_t size, const wchar_t *text, size_t count = (size_t)-1)
{
    size_t length = wcslen(out), available = size - 1 - length;
    for (size_t i = 0; i < count && text[i] && i < available; ++i)
        out[length++] = text[i];
    out[length] = L'\0';
}

// Says why, into error: what is wrong, and the argument.
static BOOL Refuse(wchar_t *error, size_t errorSize, const wchar_t *what, const wchar_t *argument)
{
    error[0] = L'\0';
    Append(error, errorSize, what);
    Append(error, errorSize, argument);
    return FALSE;
}

BOOL ReadCheckOptions(int argc, wchar_t **argv, CheckOptions *options, wchar_t *error,
                      size_t errorSize)
{
    CheckOptions none = {};
    *options = none;
    for (int i = 1; i < argc; ++i)
    {
        const wchar_t *argument = argv[i], *value;
        if (CompareStringOrdinal(argument, -1, L"/silent", -1, TRUE) == CSTR_EQUAL)
            options->silent = TRUE;
        else if (CompareStringOrdinal(argument, -1, L"/close", -1, TRUE) == CSTR_EQUAL)
            options->close = TRUE;
        else if ((value = OptionValue(argument, L"/language")))
        {
            if (!ReadLanguage(value, &options->language))
                return Refuse(error, errorSize,
                              L"/language takes a language identifier such as "
                              L"1031 or 0x0407, not: ",
                              value);
        }
        // An empty text (a language string that the script left out) is
        // none: ours is better than a box without words.
        else if ((value = OptionValue(argument, L"/text")))
            options->text = *value ? value : NULL;
        else if ((value = OptionValue(argument, L"/pathtext")))
            options->pathText = *value ? value : NULL;
        else if ((value = OptionValue(argument, L"/skip")))
        {
            if (options->skipCount == CHECK_MAX_SKIPS)
                return Refuse(error, errorSize, L"at most 16 /skip, not also: ", value);
            options->skips[options->skipCount++] = value;
        }
        else if (argument[0] == L'/')
            return Refuse(error, errorSize, L"no such argument: ", argument);
        else if (options->folder)
            return Refuse(error, errorSize, L"one folder only, not also: ", argument);
        else
            options->folder = argument;
    }
    if (!options->folder || !options->folder[0])
        return Refuse(error, errorSize, Usage, L"");
    DWORD attributes = GetFileAttributesW(options->folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Refuse(error, errorSize, L"no folder at ", options->folder);
    return TRUE;
}

// The question's text, with what is in use where %1 stands, or after it.
static void FormatQuestion(const wchar_t *text, const wchar_t *inUse, wchar_t *out, size_t size)
{
    const wchar_t *mark = wcsstr(text, L"%1");
    out[0] = L'\0';
    Append(out, size, text, mark ? (size_t)(mark - text) : (size_t)-1);
    if (!mark)
        Append(out, size, L"\r\n\r\n");
    Append(out, size, inUse);
    if (mark)
        Append(out, size, mark + 2);
}

// Asks the user, naming the holders, or else what is in use; the answer
// (IDCONTINUE: close them; IDTRYAGAIN or IDRETRY: look again).
static int AskToClose(const CheckOptions *options, const InUseList *found, const Holder *holders,
                      int count)
{
    static wchar_t question[QUESTION_SIZE], names[QUESTION_SIZE];
    BOOL german = PRIMARYLANGID(options->language) == LANG_GERMAN;
    const wchar_t *caption = german ? GermanCaption : EnglishCaption;
    const wchar_t *explorer = german ? GermanExplorer : EnglishExplorer;

    // Each name once, the first few.
    names[0] = L'\0';
    int named = 0;
    for (int i = 0; i < count; ++i)
    {
        const wchar_t *name = holders[i].explorer ? explorer : holders[i].name;
        BOOL again = FALSE;
        for (int j = 0; j < i && !again; ++j)
            again = !wcscmp(holders[j].explorer ? explorer : holders[j].name, name);
        if (again)
            continue;
        if (named)
            Append(names, QUESTION_SIZE, L"\r\n");
        Append(names, QUESTION_SIZE, named++ < NAMED ? name : L"\u2026");
        if (named > NAMED)
            break;
    }
    UINT style = MB_ICONEXCLAMATION | (count ? MB_CANCELTRYCONTINUE : MB_RETRYCANCEL);
    if (count)
        FormatQuestion(options->text ? options->text
                       : german      ? GermanQuestion
                                     : EnglishQuestion,
                       names, question, QUESTION_SIZE);
    else
        FormatQuestion(options->pathText ? options->pathText
                       : german          ? GermanPathQuestion
                                         : EnglishPathQuestion,
                       found->paths[0], question, QUESTION_SIZE);

    HWND owner = FindUninstallWindow();
    int answer = MessageBoxW(owner, question, caption, style);
    // As the notice: an owner gone meanwhile leaves the box unshown.
    if (answer <= 0 && owner)
        answer = MessageBoxW(NULL, question, caption, style);
    return answer;
}

// One line on the standard error, where there is one (a GUI program has
// none unless its caller gave it one).
static void Say(const wchar_t *line)
{
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    char bytes[4096];
    int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes - 2, NULL, NULL);
    if (!out || out == INVALID_HANDLE_VALUE || length <= 0)
        return;
    bytes[length - 1] = '\n';
    DWORD written;
    WriteFile(out, "FilesInUse: ", 12, &written, NULL);
    WriteFile(out, bytes, (DWORD)length, &written, NULL);
}

int CheckFilesInUse(int argc, wchar_t **argv)
{
    static InUseList found;
    static Holder holders[CHECK_MAX_HOLDERS];
    wchar_t error[1024];
    CheckOptions options;

    NarrowDllSearch();
    if (!ReadCheckOptions(argc, argv, &options, error, sizeof error / sizeof error[0]))
    {
        Say(error);
        return CHECK_UNUSABLE;
    }
    // Started from the install folder, this process would hold it as its
    // current directory itself.
    wchar_t system[MAX_PATH];
    if (GetSystemDirectoryW(system, MAX_PATH))
        SetCurrentDirectoryW(system);

    BOOL closed = FALSE;
    while (FindInUse(&options, &found))
    {
        int count = FindHolders(&found, holders, CHECK_MAX_HOLDERS);
        // Nobody answers a silent uninstall, or one on a window station
        // that no one sees: it must not wait. Asked to, it closes what holds
        // the folder once, and looks again.
        if (options.silent || NoOneCanSee())
        {
            if (!options.close || closed || !CloseHolders(holders, count))
                return CHECK_HELD;
            closed = TRUE;
            continue;
        }
        int answer = AskToClose(&options, &found, holders, count);
        if (answer == IDCONTINUE)
            CloseHolders(holders, count);
        else if (answer != IDTRYAGAIN && answer != IDRETRY)
            return CHECK_CANCELLED;
    }
    return CHECK_FREE;
}
