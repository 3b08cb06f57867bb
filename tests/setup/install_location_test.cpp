// The drive scan's order of preference and the checks a folder must pass, with drives laid
// out through the seam table.
#include "setup/install_location.h"
#include "setup/setup_state.h"
#include "setup/setup_texts.h"
#include "tests/setup/setup_fakes.h"

#include <gtest/gtest.h>

using namespace setup_test;

static const Drive Removable(double gib) { return {DRIVE_REMOVABLE, GiB(gib), false}; }
static const Drive Bytes(ULONGLONG bytes) { return {DRIVE_FIXED, bytes, false}; }

TEST(ChooseInstallPath, FollowsTheOrderOfPreference)
{
    const struct { std::map<char, Drive> drives; const char *expected; } cases[] = {
        {{{'C', Fixed(10)}, {'D', Fixed(4)}}, "C:\\Veldra\\"},
        {{{'C', Fixed(4.5)}, {'D', Fixed(4)}}, "D:\\Veldra\\"},  // D: above minimum comes before C:
        {{{'C', Fixed(4)}, {'E', Fixed(10)}}, "E:\\Veldra\\"},
        {{{'C', Fixed(1)}, {'D', Fixed(4)}, {'E', Fixed(4)}}, "D:\\Veldra\\"},
        {{{'C', Fixed(1)}, {'D', Fixed(3.5)}, {'F', Fixed(4.5)}}, "F:\\Veldra\\"},
        {{{'C', Fixed(50)}, {'G', Fixed(6)}, {'H', Fixed(60)}}, "G:\\Veldra\\"},  // first above recommended
        {{{'C', Fixed(3.5)}, {'D', Fixed(2)}}, "C:\\Veldra\\"},
        {{{'C', Fixed(1)}, {'D', Fixed(2)}, {'F', Removable(4)}}, "F:\\Veldra\\"},
        {{{'C', Fixed(1)}, {'D', Fixed(3.5)}, {'E', Removable(20)}}, "D:\\Veldra\\"},
        {{{'C', Fixed(1)}, {'D', {DRIVE_REMOTE, GiB(100), false}}}, ""},
        {{{'A', Fixed(100)}, {'B', Removable(100)}}, ""},  // never looked at
        {{{'D', Bytes(kRecommendedFreeBytes)}, {'E', Bytes(kRecommendedFreeBytes + 1)}}, "E:\\Veldra\\"},
        {{{'C', Bytes(kMinimumFreeBytes)}, {'D', Bytes(kMinimumFreeBytes)}}, ""},
        {{{'D', Bytes(kMinimumFreeBytes + 1)}}, "D:\\Veldra\\"},
        {{{'D', {DRIVE_FIXED, GiB(50), true}}, {'E', Fixed(3.5)}}, "E:\\Veldra\\"},  // failed query: 0
        {{}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        FakeScope fakes;
        g_drives = c.drives;
        char buffer[260] = "junk";
        EXPECT_EQ(c.expected[0] != '\0', ChooseInstallPath(buffer) == 1);
        EXPECT_STREQ(c.expected, buffer);
        ASSERT_EQ(c.expected[0] == '\0' ? 1u : 0u, g_boxes.size());
        if (!g_boxes.empty()) {
            EXPECT_EQ(MSG_NO_DRIVE, g_boxes[0].text);
            EXPECT_EQ(SETUP_CAPTION, g_boxes[0].caption);
            EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), g_boxes[0].style);
        }
    }
}

TEST(CheckInstallPath, RejectsWithTheRightMessageOrAsks)
{
    const DWORD dir = FILE_ATTRIBUTE_DIRECTORY;
    const UINT ok = MB_OK | MB_ICONWARNING, okCancel = MB_OKCANCEL | MB_ICONWARNING, yesNo = MB_YESNO | MB_ICONWARNING;
    const struct {
        Drive drive; DWORD attributes; std::vector<int> answers; int expected;
        std::vector<std::pair<const char *, UINT>> boxes; bool ownedByDialog;
    } cases[] = {
        {Fixed(10), dir, {}, 1, {}, false},
        {Bytes(kRecommendedFreeBytes), dir, {}, 1, {}, false},
        {Bytes(kMinimumFreeBytes), dir, {}, 0, {{MSG_NO_SPACE, ok}}, false},
        {Fixed(4), dir, {IDYES}, 1, {{MSG_LOW_SPACE_QUESTION, yesNo}}, false},
        {Fixed(4), dir, {IDNO}, 0, {{MSG_LOW_SPACE_QUESTION, yesNo}}, false},
        {{DRIVE_FIXED, GiB(50), true}, dir, {}, 0, {{MSG_NO_SPACE, ok}}, false},
        {{DRIVE_REMOTE, GiB(50), false}, dir, {}, 0, {{MSG_BAD_DRIVE_TYPE, ok}}, true},  // mapped drive
        {{DRIVE_CDROM, GiB(50), false}, dir, {}, 0, {{MSG_BAD_DRIVE_TYPE, ok}}, true},
        {Removable(50), dir, {IDCANCEL}, 0, {{MSG_REMOVABLE_DRIVE, okCancel}}, true},
        {Removable(50), dir, {IDOK}, 1, {{MSG_REMOVABLE_DRIVE, okCancel}}, true},
        {Removable(4), dir, {IDOK, IDYES}, 1, {{MSG_REMOVABLE_DRIVE, okCancel}, {MSG_LOW_SPACE_QUESTION, yesNo}}, false},
        {Fixed(10), FILE_ATTRIBUTE_ARCHIVE, {}, 0, {{MSG_NOT_A_FOLDER, ok}}, true},
        {Fixed(10), INVALID_FILE_ATTRIBUTES, {}, 0, {{MSG_NOT_LOCAL, ok}}, true},
        {Fixed(10), dir | FILE_ATTRIBUTE_VIRTUAL, {}, 0, {{MSG_NOT_LOCAL, ok}}, true},
        {Fixed(10), dir | FILE_ATTRIBUTE_ENCRYPTED, {}, 0, {{MSG_ENCRYPTED, ok}}, true},
    };
    int index = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(index++);
        FakeScope fakes;
        g_drives['E'] = c.drive;
        g_attributes["E:\\Games\\Veldra\\"] = c.attributes;
        g_answers = c.answers;
        g_mainDialog = (HWND)(ULONG_PTR)0x1234;
        EXPECT_EQ(c.expected, CheckInstallPath("E:\\Games\\Veldra\\"));
        ASSERT_EQ(c.boxes.size(), g_boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            EXPECT_EQ(c.boxes[i].first, g_boxes[i].text);
            EXPECT_EQ(c.boxes[i].second, g_boxes[i].style);
            EXPECT_EQ(SETUP_CAPTION, g_boxes[i].caption);
        }
        if (!g_boxes.empty()) {
            EXPECT_EQ(c.ownedByDialog ? g_mainDialog : NULL, g_boxes.back().owner);
        }
    }
}

static UINT WINAPI NoDriveQuery(LPCSTR) { ADD_FAILURE() << "drive asked"; return DRIVE_FIXED; }

TEST(CheckInstallPath, UncPathIsRejectedBeforeAnyDriveQuery)
{
    FakeScope fakes;
    g_setupPlatform.GetDriveTypeA = NoDriveQuery;
    EXPECT_EQ(0, CheckInstallPath("\\\\server\\share\\games"));
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(MSG_NETWORK_PATH, g_boxes[0].text);
}
