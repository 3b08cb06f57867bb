// The drive scan's order of preference and the checks a folder must pass, with drives laid
// out through the seam table.
#include "setup/install_location.h"
#include "setup/setup_state.h"
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
        {{{'D', Bytes(5242880000ull)}, {'E', Bytes(5242880000ull + 1)}}, "E:\\Veldra\\"},
        {{{'C', Bytes(3145728000ull)}, {'D', Bytes(3145728000ull)}}, ""},
        {{{'D', Bytes(3145728000ull + 1)}}, "D:\\Veldra\\"},
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
            EXPECT_EQ("所有磁盘均无法满足安装需求，请释放足够的空间后手动选择安装目录！", g_boxes[0].text);
            EXPECT_EQ("DoreraRarede", g_boxes[0].caption);
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
        {Bytes(5242880000ull), dir, {}, 1, {}, false},
        {Bytes(3145728000ull), dir, {}, 0, {{"您选择的文件夹所在分区没有足够的磁盘空间，请重新选择！", ok}}, false},
        {Fixed(4), dir, {IDYES}, 1, {{"您选择的文件夹所在分区剩余空间仅满足现阶段的安装需求，建议您释放部分磁盘空间或重新选择一个更大的分区以适应游戏更新时的空间要求。确定使用此分区吗？", yesNo}}, false},
        {Fixed(4), dir, {IDNO}, 0, {{"您选择的文件夹所在分区剩余空间仅满足现阶段的安装需求，建议您释放部分磁盘空间或重新选择一个更大的分区以适应游戏更新时的空间要求。确定使用此分区吗？", yesNo}}, false},
        {{DRIVE_FIXED, GiB(50), true}, dir, {}, 0, {{"您选择的文件夹所在分区没有足够的磁盘空间，请重新选择！", ok}}, false},
        {{DRIVE_REMOTE, GiB(50), false}, dir, {}, 0, {{"无效的驱动器类型，请选择其它分区！", ok}}, true},  // mapped drive
        {{DRIVE_CDROM, GiB(50), false}, dir, {}, 0, {{"无效的驱动器类型，请选择其它分区！", ok}}, true},
        {Removable(50), dir, {IDCANCEL}, 0, {{"您选择的安装路径所在驱动器类型为可移动磁盘，程序性能可能会受到影响，确定要安装在此分区吗？", okCancel}}, true},
        {Removable(50), dir, {IDOK}, 1, {{"您选择的安装路径所在驱动器类型为可移动磁盘，程序性能可能会受到影响，确定要安装在此分区吗？", okCancel}}, true},
        {Removable(4), dir, {IDOK, IDYES}, 1, {{"您选择的安装路径所在驱动器类型为可移动磁盘，程序性能可能会受到影响，确定要安装在此分区吗？", okCancel}, {"您选择的文件夹所在分区剩余空间仅满足现阶段的安装需求，建议您释放部分磁盘空间或重新选择一个更大的分区以适应游戏更新时的空间要求。确定使用此分区吗？", yesNo}}, false},
        {Fixed(10), FILE_ATTRIBUTE_ARCHIVE, {}, 0, {{"您选择的安装路径不是有效的文件夹，请重新选择！", ok}}, true},
        {Fixed(10), INVALID_FILE_ATTRIBUTES, {}, 0, {{"您选择的文件夹不是有效的本地路径，请重新选择！", ok}}, true},
        {Fixed(10), dir | FILE_ATTRIBUTE_VIRTUAL, {}, 0, {{"您选择的文件夹不是有效的本地路径，请重新选择！", ok}}, true},
        {Fixed(10), dir | FILE_ATTRIBUTE_ENCRYPTED, {}, 0, {{"您选择的文件夹为带有加密属性，可能会影响游戏性能，请去掉加密属性或重新选择！", ok}}, true},
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
            EXPECT_EQ("DoreraRarede", g_boxes[i].caption);
        }
        if (!g_boxes.empty()) {
            EXPECT_EQ(c.ownedByDialog ? g_mainDialog : NULL, g_boxes.back().owner);
        }
    }
}

static UINT WINAPI NoDriveQuery(LPCSTR) { ADD_FAILURE() << "drive asked"; return DRIVE_FIXED; }

// A network path, and an empty one, are refused with their message before any drive query.
TEST(CheckInstallPath, RefusedBeforeAnyDriveQuery)
{
    const struct { const char *path, *text; } cases[] = {
        {"\\\\server\\share\\games", "您选择的文件夹为网络路径，请选择有效的本地文件夹！"},
        {"", "请选择或输入一个有效的安装目录！"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        FakeScope fakes;
        g_setupPlatform.GetDriveTypeA = NoDriveQuery;
        g_mainDialog = (HWND)(ULONG_PTR)0x1234;
        EXPECT_EQ(0, CheckInstallPath(c.path));
        ASSERT_EQ(1u, g_boxes.size());
        EXPECT_EQ(c.text, g_boxes[0].text);
        EXPECT_EQ("DoreraRarede", g_boxes[0].caption);
        EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), g_boxes[0].style);
        EXPECT_EQ(g_mainDialog, g_boxes[0].owner);
    }
}
