// The drive scan's order of preference and the checks a folder must pass, with drives laid
// out through the seam table.
#include "setup/install_location.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "tests/setup/setup_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using namespace setup_test;

namespace {

struct DriveLayoutCase {
    const char *name;
    std::map<char, Drive> drives;
    const char *expected;  // "" when no drive qualifies
};

const Drive Fixed(double gib) { return {DRIVE_FIXED, GiB(gib), false}; }
const Drive FixedBytes(ULONGLONG bytes) { return {DRIVE_FIXED, bytes, false}; }
const Drive Removable(double gib) { return {DRIVE_REMOVABLE, GiB(gib), false}; }

}  // namespace

TEST(ChooseInstallPath, FollowsTheOrderOfPreference)
{
    const DriveLayoutCase cases[] = {
        {"C above recommended, D only above minimum", {{'C', Fixed(10)}, {'D', Fixed(4)}}, "C:\\Veldra\\"},
        {"C 4.5 GiB, D 4 GiB: D comes before C", {{'C', Fixed(4.5)}, {'D', Fixed(4)}}, "D:\\Veldra\\"},
        {"E above recommended is taken at once", {{'C', Fixed(4)}, {'E', Fixed(10)}}, "E:\\Veldra\\"},
        {"equal D and E between thresholds: D", {{'C', Fixed(1)}, {'D', Fixed(4)}, {'E', Fixed(4)}}, "D:\\Veldra\\"},
        {"the fixed drive with most space wins", {{'C', Fixed(1)}, {'D', Fixed(3.5)}, {'F', Fixed(4.5)}}, "F:\\Veldra\\"},
        {"first fixed drive above recommended, not the largest", {{'C', Fixed(50)}, {'G', Fixed(6)}, {'H', Fixed(60)}}, "G:\\Veldra\\"},
        {"C above minimum when no other is", {{'C', Fixed(3.5)}, {'D', Fixed(2)}}, "C:\\Veldra\\"},
        {"only a removable drive qualifies", {{'C', Fixed(1)}, {'D', Fixed(2)}, {'F', Removable(4)}}, "F:\\Veldra\\"},
        {"a large removable drive is taken before a smaller one", {{'C', Fixed(1)}, {'E', Removable(4)}, {'F', Removable(8)}}, "F:\\Veldra\\"},
        {"a fixed drive above minimum beats a larger removable one", {{'C', Fixed(1)}, {'D', Fixed(3.5)}, {'E', Removable(20)}}, "D:\\Veldra\\"},
        {"a remote drive is never proposed", {{'C', Fixed(1)}, {'D', {DRIVE_REMOTE, GiB(100), false}}}, ""},
        {"A and B are never looked at", {{'A', Fixed(100)}, {'B', Removable(100)}, {'C', Fixed(1)}}, ""},
        {"exactly the recommended space is not taken at once", {{'C', Fixed(1)}, {'D', FixedBytes(kRecommendedFreeBytes)}, {'E', FixedBytes(kRecommendedFreeBytes + 1)}}, "E:\\Veldra\\"},
        {"exactly the minimum does not qualify", {{'C', FixedBytes(kMinimumFreeBytes)}, {'D', FixedBytes(kMinimumFreeBytes)}}, ""},
        {"one byte above the minimum qualifies", {{'C', Fixed(1)}, {'D', FixedBytes(kMinimumFreeBytes + 1)}}, "D:\\Veldra\\"},
        {"a failing free-space query counts as no space", {{'C', Fixed(1)}, {'D', {DRIVE_FIXED, GiB(50), true}}, {'E', Fixed(3.5)}}, "E:\\Veldra\\"},
        {"no drives at all", {}, ""},
    };
    for (const DriveLayoutCase &c : cases) {
        SCOPED_TRACE(c.name);
        FakeScope fakes;
        g_drives = c.drives;
        char buffer[260];
        memset(buffer, 'x', sizeof buffer);
        int chosen = ChooseInstallPath(buffer);
        EXPECT_STREQ(c.expected, buffer);
        EXPECT_EQ(c.expected[0] != '\0', chosen == 1);
        if (c.expected[0] == '\0') {
            ASSERT_EQ(1u, g_boxes.size());
            EXPECT_EQ(MSG_NO_DRIVE, g_boxes[0].text);
            EXPECT_EQ(SETUP_CAPTION, g_boxes[0].caption);
            EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), g_boxes[0].style);
        } else {
            EXPECT_TRUE(g_boxes.empty());
        }
    }
}

namespace {

struct CheckCase {
    const char *name;
    std::map<char, Drive> drives;
    DWORD attributes;            // INVALID_FILE_ATTRIBUTES: unreadable
    std::vector<int> answers;    // to the questions
    int expected;
    std::vector<std::pair<const char *, UINT>> boxes;  // text and buttons|icon, in order
    bool ownedByDialog;          // the last box's owner is the main dialog
};

}  // namespace

TEST(CheckInstallPath, RejectsWithTheRightMessageOrAsks)
{
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const UINT warnOk = MB_OK | MB_ICONWARNING;
    const CheckCase cases[] = {
        {"recommended space: accepted without a question", {{'E', Fixed(10)}}, folder, {}, 1, {}, true},
        {"exactly the recommended space: accepted without a question", {{'E', FixedBytes(kRecommendedFreeBytes)}}, folder, {}, 1, {}, true},
        {"exactly the minimum: rejected", {{'E', FixedBytes(kMinimumFreeBytes)}}, folder, {}, 0, {{MSG_NO_SPACE, warnOk}}, false},
        {"between the thresholds, answered yes", {{'E', Fixed(4)}}, folder, {IDYES}, 1, {{MSG_LOW_SPACE_QUESTION, MB_YESNO | MB_ICONWARNING}}, false},
        {"between the thresholds, answered no", {{'E', Fixed(4)}}, folder, {IDNO}, 0, {{MSG_LOW_SPACE_QUESTION, MB_YESNO | MB_ICONWARNING}}, false},
        {"free space unreadable: not enough space", {{'E', {DRIVE_FIXED, GiB(50), true}}}, folder, {}, 0, {{MSG_NO_SPACE, warnOk}}, false},
        {"mapped network drive", {{'E', {DRIVE_REMOTE, GiB(50), false}}}, folder, {}, 0, {{MSG_BAD_DRIVE_TYPE, warnOk}}, true},
        {"CD-ROM drive", {{'E', {DRIVE_CDROM, GiB(50), false}}}, folder, {}, 0, {{MSG_BAD_DRIVE_TYPE, warnOk}}, true},
        {"no such drive", {}, folder, {}, 0, {{MSG_BAD_DRIVE_TYPE, warnOk}}, true},
        {"removable drive, Cancel", {{'E', Removable(50)}}, folder, {IDCANCEL}, 0, {{MSG_REMOVABLE_DRIVE, MB_OKCANCEL | MB_ICONWARNING}}, true},
        {"removable drive, OK", {{'E', Removable(50)}}, folder, {IDOK}, 1, {{MSG_REMOVABLE_DRIVE, MB_OKCANCEL | MB_ICONWARNING}}, true},
        {"removable drive, OK, then the space question", {{'E', Removable(4)}}, folder, {IDOK, IDYES}, 1, {{MSG_REMOVABLE_DRIVE, MB_OKCANCEL | MB_ICONWARNING}, {MSG_LOW_SPACE_QUESTION, MB_YESNO | MB_ICONWARNING}}, false},
        {"a file, not a folder", {{'E', Fixed(10)}}, FILE_ATTRIBUTE_ARCHIVE, {}, 0, {{MSG_NOT_A_FOLDER, warnOk}}, true},
        {"attributes unreadable", {{'E', Fixed(10)}}, INVALID_FILE_ATTRIBUTES, {}, 0, {{MSG_NOT_LOCAL, warnOk}}, true},
        {"virtual folder", {{'E', Fixed(10)}}, folder | FILE_ATTRIBUTE_VIRTUAL, {}, 0, {{MSG_NOT_LOCAL, warnOk}}, true},
        {"encrypted folder", {{'E', Fixed(10)}}, folder | FILE_ATTRIBUTE_ENCRYPTED, {}, 0, {{MSG_ENCRYPTED, warnOk}}, true},
    };
    HWND dialog = (HWND)(ULONG_PTR)0x1234;
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        FakeScope fakes;
        g_drives = c.drives;
        g_attributes["E:\\Games\\Veldra\\"] = c.attributes;
        g_answers = c.answers;
        g_mainDialog = dialog;
        EXPECT_EQ(c.expected, CheckInstallPath("E:\\Games\\Veldra\\"));
        g_mainDialog = NULL;
        ASSERT_EQ(c.boxes.size(), g_boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            EXPECT_EQ(c.boxes[i].first, g_boxes[i].text);
            EXPECT_EQ(c.boxes[i].second, g_boxes[i].style);
            EXPECT_EQ(SETUP_CAPTION, g_boxes[i].caption);
        }
        if (!g_boxes.empty()) {
            EXPECT_EQ(c.ownedByDialog ? dialog : (HWND)NULL, g_boxes.back().owner);
        }
    }
}

TEST(CheckInstallPath, UncPathIsRejectedBeforeAnyDriveQuery)
{
    FakeScope fakes;
    int driveQueries = 0;
    static int *counter;
    counter = &driveQueries;
    g_setupPlatform.GetDriveTypeA = [](LPCSTR) -> UINT { ++*counter; return DRIVE_FIXED; };
    EXPECT_EQ(0, CheckInstallPath("\\\\server\\share\\games"));
    EXPECT_EQ(0, driveQueries);
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_NETWORK_PATH, g_boxes[0].text);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), g_boxes[0].style);
}

TEST(CheckInstallPath, LooksAtTheRealFileSystem)
{
    // Real folders and files under the test's scratch folder; only the drive is laid out.
    FakeScope fakes;
    std::string folder = dr_test::FreshFolder();
    g_drives[(char)toupper(folder[0])] = Fixed(10);
    EXPECT_EQ(1, CheckInstallPath(folder.c_str()));
    std::string file = folder + "not-a-folder.txt";
    ASSERT_TRUE(dr_test::WriteFileText(file, "x"));
    EXPECT_EQ(0, CheckInstallPath(file.c_str()));
    EXPECT_EQ(0, CheckInstallPath((folder + "missing\\").c_str()));
    ASSERT_EQ(2u, g_boxes.size());
    EXPECT_EQ(MSG_NOT_A_FOLDER, g_boxes[0].text);
    EXPECT_EQ(MSG_NOT_LOCAL, g_boxes[1].text);
}
