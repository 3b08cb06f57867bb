#include "release/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>

namespace dvs {

static std::optional<std::string> Convert(const char *to, const char *from, const std::string &text)
{
    iconv_t converter = iconv_open(to, from);
    if (converter == (iconv_t)-1)
        return std::nullopt;
    std::string out(text.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(text.data());
    size_t inLeft = text.size();
    char *outPtr = out.data();
    size_t outLeft = out.size();
    size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    if (result == (size_t)-1 || inLeft != 0)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

std::optional<std::string> Utf8ToGbk(const std::string &utf8)
{
    return Convert("GBK", "UTF-8", utf8);
}

std::string GbkForDisplay(const std::string &gbk)
{
    std::optional<std::string> utf8 = Convert("UTF-8", "GBK", gbk);
    if (utf8)
        return *utf8;
    std::string shown;
    for (unsigned char c : gbk) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(escaped);
    }
    return shown;
}

static bool IsGbkLeadByte(unsigned char c)
{
    return c >= 0x81 && c <= 0xFE;
}

// Windows gives these names to devices in every folder, whatever the extension.
static bool IsDeviceName(const std::string &component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : kDevices)
        if (base == device)
            return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '0' && base[3] <= '9';
}

static std::string ComponentReason(const std::string &component)
{
    if (component.empty())
        return "has an empty path component";
    if (component.find_first_not_of(". ") == std::string::npos)
        return "has a component of dots only (\"" + component + "\")";
    if (IsDeviceName(component))
        return "names a Windows device (\"" + component + "\")";
    return {};
}

std::string UnsafeNameReason(const std::string &gbk)
{
    if (gbk.empty())
        return "is empty";
    if (gbk.size() > kMaxWireNameBytes)
        return "is " + std::to_string(gbk.size()) + " bytes in GBK, more than " +
               std::to_string(kMaxWireNameBytes);
    if (gbk[0] == '\\' || gbk[0] == '/')
        return "starts with a slash (absolute or UNC path)";
    std::string component;
    for (size_t i = 0; i < gbk.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(gbk[i]);
        if (IsGbkLeadByte(c) && i + 1 < gbk.size()) {
            component += gbk.substr(i, 2);
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F)
            return "holds a control character";
        if (c == ':')
            return "holds a colon (drive or stream name)";
        if (std::strchr("<>\"|?*", c) != nullptr)
            return std::string("holds the character '") + static_cast<char>(c) +
                   "' that Windows refuses in file names";
        if (c == '\\' || c == '/') {
            std::string reason = ComponentReason(component);
            if (!reason.empty())
                return reason;
            component.clear();
            continue;
        }
        component += static_cast<char>(c);
    }
    return ComponentReason(component);
}

}  // namespace dvs
