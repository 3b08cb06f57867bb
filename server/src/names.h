// What the release may put on the wire as text: file names (GBK, safe for the Launcher
// to write below its folder) and server addresses (dotted IPv4 and port).
#pragma once
#include <optional>
#include <string>

namespace dvs {

// Largest name the Launcher keeps: it reads names back from its settings file with a
// 63-byte buffer, and the header's field is 64 bytes with its NUL.
constexpr size_t kMaxWireNameBytes = 62;
// The Launcher's host buffer: an address text longer than this is never connected to.
constexpr size_t kMaxAddressChars = 23;

// UTF-8 text converted to GBK (code page 936); nothing when the text is not valid UTF-8
// or holds a character GBK lacks.
std::optional<std::string> Utf8ToGbk(const std::string &utf8);

// Why a GBK file name would be unsafe to hand to the Launcher, or empty when it is safe:
// it must be a relative path below the Launcher's folder that Windows opens as named.
// Separators are found the way the Launcher finds them (the trail byte of a double-byte
// character is never one).
std::string UnsafeNameReason(const std::string &gbk);

// Whether text is "a.b.c.d:port" with four decimal numbers up to 255, a port 1 to 65535,
// and at most kMaxAddressChars characters.
bool IsServerAddress(const std::string &text);

}  // namespace dvs
