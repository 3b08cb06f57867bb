// Names and the texts Setup shows, in one place. Narrow literals are compiled to GBK.
#pragma once

#define SETUP_CAPTION "DoreraRarede"
#define GAME_NAME "Veldra"
#define SHORTCUT_NAME GAME_NAME ".lnk"
#define SETUP_REGISTRY_PARENT "software"
#define SETUP_REGISTRY_KEY "software\\" GAME_NAME
#define INSTALL_PATH_VALUE "InstallPath"
#define LAUNCHER_EXE_NAME "Launcher.exe"
#define LAUNCHER_INI_FILE "Launcher.ini"
#define UNINSTALL_EXE_NAME "uninstall.exe"
#define UNINSTALL_MANIFEST_NAME "uninstall.dat"
#define SETUP_INI_NAME "Setup.ini"
#define LICENSE_FILE_NAME "license.txt"
#define LAUNCHER_FIRST_ARGUMENT "-first"
#define QUICK_LAUNCH_SUBFOLDER "Microsoft\\Internet Explorer\\Quick Launch\\"

// Entry and guards
#define MSG_NO_ADMIN "当前用户权限不足，请以管理员帐户运行！"
#define MSG_SETUP_RUNNING "安装程序正在运行！"
#define MSG_UNINSTALL_RUNNING "卸载程序正在运行，无法启动！"

// Main dialog
#define TEXT_WINDOW_TITLE GAME_NAME "微端安装程序"
#define TEXT_HEADER_READY "准备安装环境"
#define TEXT_HEADER_INSTALLING "正在安装"
#define TEXT_HEADER_FONT "微软雅黑"
#define TEXT_HINT_TAIL_START "之后点击 [安装(O)] 完成安装。提示：客户端运行过程中需要使用"
#define TEXT_HINT_TAIL_END "GB以上的磁盘空间，请尽量选择剩余空间充足的分区。"
#define TEXT_NO_FOLDER_FORMAT "无法找到合适的磁盘位置作为游戏运行目录，请单击 [浏览(B)] 并选择一个有效的文件夹，%s%d%s"
#define TEXT_FAILED_FORMAT "安装失败！请单击 [浏览(B)] 并选择一个有效的文件夹，%s%d%s"
#define TEXT_PROGRESS "安装正在进行"
#define MSG_CONFIRM_QUIT "安装尚未完成，确定现在退出吗？"
#define MSG_NO_INSTALL_FOLDER "请选择或输入一个有效的安装目录！"
#define TEXT_BROWSE_TITLE "提示：客户端运行过程中需要占用3GB以上的磁盘空间，请尽量选择剩余空间充足的分区。"

// Install sequence
#define MSG_CREATE_FOLDER_FAILED "创建安装目录失败！"
#define MSG_INSTALL_FAILED "安装失败！"
#define MSG_SAVE_SETTINGS_FAILED "保存配置失败！"
#define MSG_GROUP_SHORTCUT_FAILED "创建程序组快捷方式失败！"
#define MSG_START_CLIENT_FAILED "启动客户端失败"
#define MSG_PATH_TOO_LONG "您选择的安装路径过长，请选择一个路径较短的文件夹！"

// Install location
#define MSG_NETWORK_PATH "您选择的文件夹为网络路径，请选择有效的本地文件夹！"
#define MSG_REMOVABLE_DRIVE "您选择的安装路径所在驱动器类型为可移动磁盘，程序性能可能会受到影响，确定要安装在此分区吗？"
#define MSG_BAD_DRIVE_TYPE "无效的驱动器类型，请选择其它分区！"
#define MSG_NOT_A_FOLDER "您选择的安装路径不是有效的文件夹，请重新选择！"
#define MSG_NOT_LOCAL "您选择的文件夹不是有效的本地路径，请重新选择！"
#define MSG_ENCRYPTED "您选择的文件夹为带有加密属性，可能会影响游戏性能，请去掉加密属性或重新选择！"
#define MSG_LOW_SPACE_QUESTION "您选择的文件夹所在分区剩余空间仅满足现阶段的安装需求，建议您释放部分磁盘空间或重新选择一个更大的分区以适应游戏更新时的空间要求。确定使用此分区吗？"
#define MSG_NO_SPACE "您选择的文件夹所在分区没有足够的磁盘空间，请重新选择！"
#define MSG_NO_DRIVE "所有磁盘均无法满足安装需求，请释放足够的空间后手动选择安装目录！"

// Licence
#define TEXT_LICENSE_CAPTION "《Dorerararede》用户许可协议"
#define MSG_LICENSE_READ_FAILED "读取许可协议文件失败！"

// Setup log lines
#define LOG_OPEN_PARENT_FAILED "Open parent process fail, error %d."
#define LOG_PARENT_NAME_FAILED "Get parent process file name fail, error %d."
#define LOG_WRITE_PARENT_FAILED "Reg delete parent process fail, error %d."
