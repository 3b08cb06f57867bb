// The `sign` command's work: signing a release folder with the operator's private key.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace dvs {

// Signs the release in folder with the private key in keyFile and writes
// signed-manifest.bin (whole under another name, then renamed). An unchanged manifest
// keeps the signatures of other keys (this key's own is replaced); a changed one starts
// anew. notes: what was done, one line each. False with problems when nothing was written.
bool SignRelease(const std::filesystem::path &folder, const std::filesystem::path &keyFile,
                 std::vector<std::string> &notes, std::vector<std::string> &problems);

}  // namespace dvs
