// Every TOML text the server reads (its config, a release's manifest.toml) is parsed here.
// TOML must be UTF-8, and toml11 3.7 (Debian 12's) reads past the end of its buffer when a
// literal string ('...' or '''...''') holds bytes that are not: such a text is refused
// before it reaches the parser.
#pragma once
#include <toml.hpp>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace dvs {

// Where the first byte that breaks UTF-8 is (overlong forms, surrogates and code points
// beyond U+10FFFF break it too); npos when the text is UTF-8.
size_t Utf8ErrorAt(std::string_view text);

// The text parsed as TOML (name: the file, for messages). Throws std::runtime_error with
// the reason, as toml::parse does, and when the text is not UTF-8 or the file cannot be read.
toml::value ParseTomlText(const std::string &text, const std::string &name);
toml::value ParseTomlFile(const std::filesystem::path &file);

}  // namespace dvs
