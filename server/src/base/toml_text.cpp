#include "base/toml_text.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace dvs {

size_t Utf8ErrorAt(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        const size_t more = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : 4;
        if (more == 4 || more >= text.size() - at)
            return at;
        uint32_t code = more == 0 ? lead : lead & (0x3F >> more);
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[at + k]);
            if ((next & 0xC0) != 0x80)
                return at;
            code = code << 6 | (next & 0x3F);
        }
        constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (code < kLeast[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return at;
        at += more + 1;
    }
    return std::string_view::npos;
}

toml::value ParseTomlText(const std::string &text, const std::string &name)
{
    if (size_t at = Utf8ErrorAt(text); at != std::string_view::npos)
        throw std::runtime_error(name + ": not UTF-8 (byte " + std::to_string(at + 1) + ")");
    std::istringstream in(text);
    return toml::parse(in, name);
}

toml::value ParseTomlFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error(file.string() + ": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error(file.string() + ": cannot be read");
    return ParseTomlText(text, file.string());
}

}  // namespace dvs
