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

// A window destroyed during the search reads no title at all: what the read
// leaves must be the empty title, never what the stack held before (here, a
// matching title), or a window that is gone would be taken for the owner.
TEST(Search, AVanishedWindowReadsAsTheEmptyTitle)
{
    StandInReset();
    StandInAddWindow("Explorer");
    StandInAddVanishedWindow(Title);
    HWND window = StandInAddWindow(Title);

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, window);
    EXPECT_EQ(StandInEnumCalls(), 3);
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
    EXPECT_EQ(StandInSentMessages().size(), 1u);

    StandInReset();
    StandInSetNotAnswering(StandInAddWindow(Title));
    StandInAddWindow(Title);
    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, nullptr) << "no second search after the first match";
    EXPECT_EQ(StandInEnumCalls(), 1);
}

// The probe must only ask: any other message acts on the user's uninstaller
// (WM_CLOSE would close it), and a long wait holds the notice back behind a
// hung window; a wait of 0 would never let a busy window own the box.
TEST(Owner, TheProbeOnlyAsksAndWaitsAtMostOneSecond)
{
    StandInReset();
    HWND window = StandInAddWindow(Title);
    ASSERT_EQ(RunNotice(), 0);

    ASSERT_EQ(StandInSentMessages().size(), 1u);
    const StandInMessage &probe = StandInSentMessages()[0];
    EXPECT_EQ(probe.window, window);
    EXPECT_EQ(probe.message, WM_NULL);
    EXPECT_EQ(probe.flags, SMTO_ABORTIFHUNG | SMTO_BLOCK);
    EXPECT_GT(probe.timeout, 0u);
    EXPECT_LE(probe.timeout, 1000u);
}

TEST(Owner, NoMatchMeansNoMessageSent)
{
    StandInReset();
    StandInSetNotAnswering(StandInAddWindow("Quillane"));
    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(OnlyBox().owner, nullptr);
    EXPECT_EQ(StandInSentMessages().size(), 0u);
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
const std::string AskStation = "GetUserObjectInformationA";

INSTANTIATE_TEST_SUITE_P(Narrowing, DllSearch,
                         testing::Values(DllSearchCase{"SystemFolderOnly",
                                                       StandInWorks,
                                                       false,
                                                       {SystemFolderOnly, AskStation, "EnumWindows",
                                                        "SendMessageTimeoutA", "MessageBoxA"}},
                                         DllSearchCase{"OlderSystemFallsBack",
                                                       StandInMissing,
                                                       false,
                                                       {NoCurrentFolder, AskStation, "EnumWindows",
                                                        "SendMessageTimeoutA", "MessageBoxA"}},
                                         DllSearchCase{"NothingNarrowsYetTheNoticeShows",
                                                       StandInFails,
                                                       true,
                                                       {SystemFolderOnly, NoCurrentFolder,
                                                        AskStation, "EnumWindows",
                                                        "SendMessageTimeoutA", "MessageBoxA"}}),
                         [](const testing::TestParamInfo<DllSearchCase> &info)
                         { return info.param.name; });

// The run ends the same way whatever the box returns, and whatever the
// command line says.
TEST(Run, EndsWithZeroWhateverTheBoxOrCommandLine)
{
    const char *commandLines[] = {"", "/S", "--help", "\"C:\\Program Files\\Quillane\" /quiet",
                                  "Quillane Uninstall"};
    for (const char *commandLine : commandLines)
    {
        StandInReset();
        HWND window = StandInAddWindow(Title);
        EXPECT_EQ(RunNotice(commandLine), 0) << commandLine;
        EXPECT_EQ(OnlyBox().owner, window) << commandLine;
        EXPECT_EQ(OnlyBox().caption, Title) << commandLine;
    }
}

// A box that was not shown must not pass for a notice that the user read.
// When the owned box cannot be shown (its owner went away after answering,
// or the platform failed: 0 on Windows, -1 under Wine), the same box is shown
// once more on its own; a box that cannot be shown at all ends the run with 0,
// without a loop.
struct UnshownCase
{
    const char *name;
    int boxResult;
    bool ownerGoesAway;
    bool uninstallWindow;
    std::vector<bool> ownedBoxes; // per box, in order: whether it had the owner
};

void PrintTo(const UnshownCase &c, std::ostream *os)
{
    *os << c.name;
}

class UnshownBox : public testing::TestWithParam<UnshownCase>
{
};

TEST_P(UnshownBox, IsShownOnceMoreOnItsOwn)
{
    const UnshownCase &c = GetParam();
    StandInReset(c.boxResult);
    HWND window = c.uninstallWindow ? StandInAddWindow(Title) : nullptr;
    if (c.ownerGoesAway)
        StandInSetCannotOwn(window);

    ASSERT_EQ(RunNotice(), 0);
    std::vector<bool> owned;
    for (const StandInBox &box : StandInBoxes())
    {
        owned.push_back(box.owner == window && window);
        EXPECT_EQ(box.owner == window || !box.owner, true);
        EXPECT_EQ(box.text, NoticeText);
        EXPECT_EQ(box.caption, Title);
        EXPECT_EQ(box.style, MB_OK);
    }
    EXPECT_EQ(owned, c.ownedBoxes);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, UnshownBox,
    testing::Values(UnshownCase{"OwnerGoneBeforeTheBox", IDOK, true, true, {true, false}},
                    UnshownCase{"OwnedBoxFailsOnWindows", 0, false, true, {true, false}},
                    UnshownCase{"OwnedBoxFailsUnderWine", -1, false, true, {true, false}},
                    UnshownCase{"NoBoxAtAll", 0, false, false, {false}}),
    [](const testing::TestParamInfo<UnshownCase> &info) { return info.param.name; });

// Where no one sees the window station (an unattended uninstall, run as a
// service), a box could never be dismissed and the uninstall would wait for
// ever: show nothing and end with 0. Only a station known to be unseen does
// that; where the question fails, the notice is shown as always.
struct StationCase
{
    const char *name;
    StandInStation station;
    size_t boxes;
};

void PrintTo(const StationCase &c, std::ostream *os)
{
    *os << c.name;
}

class Station : public testing::TestWithParam<StationCase>
{
};

TEST_P(Station, ShowsTheNoticeUnlessNoOneCouldSeeIt)
{
    StandInReset();
    StandInSetStation(GetParam().station);
    StandInAddWindow(Title);

    ASSERT_EQ(RunNotice(), 0);
    EXPECT_EQ(StandInBoxes().size(), GetParam().boxes);
    EXPECT_EQ(StandInEnumCalls(), static_cast<int>(GetParam().boxes))
        << "an unseen station needs no search";
}

INSTANTIATE_TEST_SUITE_P(Stations, Station,
                         testing::Values(StationCase{"Visible", StandInVisibleStation, 1},
                                         StationCase{"Unseen", StandInUnseenStation, 0},
                                         StationCase{"QuestionFails", StandInUnknownStation, 1}),
                         [](const testing::TestParamInfo<StationCase> &info)
                         { return info.param.name; });

} // namespace
