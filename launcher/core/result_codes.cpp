// Texts of the launcher result codes, as the player sees them.
#include "launcher/core/result_codes.h"

const char *ResultCodeName(unsigned int code)
{
    static const char *const kNames[] = {
        "成功",
        "读取配置文件失败",
        "检查操作系统版本失败",
        "下载VC运行库失败",
        "安装VC运行库失败",
        "配置环境失败",
        "下载更新配置文件失败",
        "保存更新配置文件失败",
        "校验更新配置文件失败",
        "更新失败",
        "安装更新失败",
        "注册组件失败",
        "连接服务器失败",
        "下载服务器地址信息失败",
        "保存服务器地址信息失败",
    };
    if (code < sizeof kNames / sizeof kNames[0])
        return kNames[code];
    return "未知错误";
}
