// What the release may put on the wire as a file name: GBK, safe for the Launcher to
// write below its folder. Server addresses follow common/server_address.h.
#pragma once
#include <optional>
#include <string>

namespace dvs {

// Largest name the Launcher keeps: it reads names back from its settings file with a
// 63-byte buffer, and the header's field is 64 bytes with its NUL.
constexpr size_t kMaxWireNameBytes = 62;

// UTF-8 text converted to GBK (code page 936); nothing when the text is not valid UTF-8
// or holds a character GBK lacks.
std::optional<std::string> Utf8ToGbk(const std::string &utf8);

// GBK text in UTF-8 for messages; bytes that are no GBK text shown as \xHH.
std::string GbkForDisplay(const std::string &gbk);

// Why a GBK file name would be unsafe to hand to the Launcher, or empty when it is safe:
// it must be a relative path below the Launcher's folder that Windows opens as named.
// Separators are found the way the Launcher finds them (the trail byte of a double-byte
// character is never one).
std::string UnsafeNameReason(const std::string &gbk);


}  // namespace dvs
