// The notice over the stand-in desktop: which window owns the box, what the
// box says, and how a run ends.
#include "notice.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const std::string Title = "Quillane Uninstall";

// Runs the program as the start-up code would and returns its exit code.
int RunNotice(const char *commandLine = "")
{
    return WinMain(nullptr, nullptr, const_cast<LPSTR>(commandLine), 1);
}

// The one box of the last run.
const StandInBox &OnlyBox()
{
    EXPECT_EQ(StandInBoxes().size(), 1u);
    static const StandInBox none{};
    return StandInBoxes().empty() ? none : StandInBoxes().front();
}

TEST(Notice, TextCaptionAndStyleAreExact)
{
    StandInReset();
    ASSERT_EQ(RunNotice(), 0);

    const std::string text = "Before continuing to uninstall Quillane please close any open "
                             "instances of the program. \r\n\r\nYou should also close any open "
                             "Explorer windows.";
    const StandInBox &box = OnlyBox();
    EXPECT_EQ(box.text.size(), 140u);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, Title);
    EXPECT_EQ(box.style, MB_OK);
}

struct TitleCase
{
    const char *name;
    std::string title;
    bool owns;
};

void PrintTo(const TitleCase &c, std::ostream *os)
{
    *os << c.name;
}

class TitleMatch : public testing::TestWithParam<TitleCase>
{
};

// Each title stands alone on the desktop, after one window that never matches.
TEST_P(TitleMatch, OwnsTheBoxOnlyOnAnExactMatchIgnoringCase)
{
    StandInReset();
    StandInAddWindow("Explorer");
    HWND window = StandInAddWindow(GetParam().title);

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, GetParam().owns ? window : nullptr);
    EXPECT_EQ(StandInEnumCalls(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Titles, TitleMatch,
    testing::Values(TitleCase{"Exact", Title, true},
                    TitleCase{"LowerCase", "quillane uninstall", true},
                    TitleCase{"UpperCase", "QUILLANE UNINSTALL", true},
                    TitleCase{"MixedCase", "qUILLANE uNINSTALL", true},
                    TitleCase{"LeadingSpace", " Quillane Uninstall", false},
                    TitleCase{"TrailingSpace", "Quillane Uninstall ", false},
                    TitleCase{"TwoSpaces", "Quillane  Uninstall", false},
                    TitleCase{"TextAfter", "Quillane Uninstall - 2", false},
                    TitleCase{"TextBefore", "Setup Quillane Uninstall", false},
                    TitleCase{"Prefix", "Quillane Uninstal", false}, TitleCase{"Empty", "", false},
                    TitleCase{"ExactThenPaddedTo300", Title + std::string(300 - Title.size(), ' '),
                              false},
                    TitleCase{"ExactThenLongTail", Title + std::string(1000, 'x'), false}),
    [](const testing::TestParamInfo<TitleCase> &info) { return info.param.name; });

TEST(Search, NoWindowsLeaveTheBoxWithoutOwner)
{
    StandInReset();
    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, nullptr);
    EXPECT_EQ(StandInEnumCalls(), 0);
}

TEST(Search, UnreadableTitleNeverMatchesAndTheSearchGoesOn)
{
    StandInReset();
    StandInAddUnreadableWindow();
    HWND window = StandInAddWindow(Title);

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, window);
}

TEST(Search, FirstMatchWinsAndStopsTheEnumeration)
{
    StandInReset();
    StandInAddWindow("Quillane");
    HWND first = StandInAddWindow("quillane uninstall");
    StandInAddWindow(Title);
    StandInAddWindow("Explorer");

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, first);
    EXPECT_EQ(StandInEnumCalls(), 2);
}

TEST(Search, EveryWindowIsLookedAtWhenNoneMatches)
{
    StandInReset();
    for (int i = 0; i < 50; ++i)
        StandInAddWindow("Window " + std::to_string(i));

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, nullptr);
    EXPECT_EQ(StandInEnumCalls(), 50);
}

// A title of up to 254 bytes is read whole; a longer one arrives cut short.
// AddressSanitizer guards the title buffer while the long ones are read.
TEST(Search, TitlesAreReadIntoTheBufferAndNoFurther)
{
    for (size_t length : {254u, 255u, 256u, 4096u})
    {
        StandInReset();
        StandInAddWindow(std::string(length, 'q'));
        HWND window = StandInAddWindow(Title);
        ASSERT_EQ(RunNotice(), 0) << length;
        EXPECT_EQ(OnlyBox().owner, window) << length;
    }
}

// An owner must answer before the box can disable it; one that does not
// would hang both the notice and the uninstaller that waits for it.
TEST(Owner, OnlyAnAnsweringWindowOwnsTheBox)
{
    StandInReset();
    HWND window = StandInAddWindow(Title);
    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, window);
    EXPECT_EQ(StandInSentMessages(), 1);

    StandInReset();
    StandInSetNotAnswering(StandInAddWindow(Title));
    StandInAddWindow(Title);
    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, nullptr) << "no second search after the first match";
    EXPECT_EQ(StandInEnumCalls(), 1);
}

TEST(Owner, NoMatchMeansNoMessageSent)
{
    StandInReset();
    StandInSetNotAnswering(StandInAddWindow("Quillane"));
    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, nullptr);
    EXPECT_EQ(StandInSentMessages(), 0);
}

// A DLL planted beside the program must never be loaded into it. Showing a
// box loads DLLs, so the search is narrowed before the first window is looked
// at, by the best call that the system has; a system that can narrow nothing
// still gets its notice.
struct DllSearchCase
{
    const char *name;
    StandInCall setDefaultDllDirectories;
    bool setDllDirectoryFails;
    std::vector<std::string> calls;
};

void PrintTo(const DllSearchCase &c, std::ostream *os)
{
    *os << c.name;
}

class DllSearch : public testing::TestWithParam<DllSearchCase>
{
};

TEST_P(DllSearch, IsNarrowedBeforeTheSearchAndNeverCostsTheNotice)
{
    StandInReset();
    StandInSetDefaultDllDirectories(GetParam().setDefaultDllDirectories);
    if (GetParam().setDllDirectoryFails)
        StandInSetDllDirectoryFails();
    HWND window = StandInAddWindow(Title);

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(StandInCalls(), GetParam().calls);
    EXPECT_EQ(OnlyBox().owner, window);
}

const std::string SystemFolderOnly = "SetDefaultDllDirectories(0x800)";
const std::string NoCurrentFolder = "SetDllDirectoryA(\"\")";

INSTANTIATE_TEST_SUITE_P(
    Narrowing, DllSearch,
    testing::Values(
        DllSearchCase{"SystemFolderOnly",
                      StandInWorks,
                      false,
                      {SystemFolderOnly, "EnumWindows", "SendMessageTimeoutA", "MessageBoxA"}},
        DllSearchCase{"OlderSystemFallsBack",
                      StandInMissing,
                      false,
                      {NoCurrentFolder, "EnumWindows", "SendMessageTimeoutA", "MessageBoxA"}},
        DllSearchCase{"NothingNarrowsYetTheNoticeShows",
                      StandInFails,
                      true,
                      {SystemFolderOnly, NoCurrentFolder, "EnumWindows", "SendMessageTimeoutA",
                       "MessageBoxA"}}),
    [](const testing::TestParamInfo<DllSearchCase> &info) { return info.param.name; });

// The run ends the same way whatever the box returns, and whatever the
// command line says.
TEST(Run, EndsWithZeroWhateverTheBoxOrCommandLine)
{
    const char *commandLines[] = {"", "/S", "--help", "\"C:\\Program Files\\Quillane\" /quiet",
                                  "Quillane Uninstall"};
    for (int boxResult : {IDOK, 0})
        for (const char *commandLine : commandLines)
        {
            StandInReset(boxResult);
            HWND window = StandInAddWindow(Title);
            EXPECT_EQ(RunNotice(commandLine), 0) << commandLine;
            EXPECT_EQ(OnlyBox().owner, window) << commandLine;
            EXPECT_EQ(OnlyBox().caption, Title) << commandLine;
        }
}

} // namespace
