// A following server takes a release from the fleet's PostgreSQL: the rows of its files,
// the manifest it writes from them, and each file's zlib stream put together from stored
// pieces. All of it is read as from outside. No database here: the rows are libpq results
// made in memory from the input, and zlib's one-call inflate is the reference the stream
// check must agree with.
#include "tests/fuzz/require.h"
#include "fleet/release_follower.h"
#include "release/wire.h"
#include "base/toml_text.h"
#include "common/md5.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <libpq-fe.h>
#include <toml.hpp>
#include <zlib.h>

#include <cstdlib>
#include <sstream>

using namespace dvs;

namespace {

// A tuples result of text columns; nullptr values are NULL.
pg::Result MakeResult(int columns, const std::vector<std::vector<std::optional<std::string>>> &rows)
{
    PGresult *result = PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK);
    std::vector<PGresAttDesc> descriptions(static_cast<size_t>(columns));
    std::vector<std::string> names;
    for (int column = 0; column < columns; ++column)
        names.push_back("c" + std::to_string(column));
    for (int column = 0; column < columns; ++column) {
        descriptions[static_cast<size_t>(column)] = PGresAttDesc{names[static_cast<size_t>(column)].data(), 0, 0, 0, 25, -1, 0};
    }
    Require(result && PQsetResultAttrs(result, columns, descriptions.data()));
    for (size_t row = 0; row < rows.size(); ++row)
        for (int column = 0; column < columns; ++column) {
            const std::optional<std::string> &value = rows[row][static_cast<size_t>(column)];
            Require(PQsetvalue(result, static_cast<int>(row), column, value ? const_cast<char *>(value->data()) : nullptr,
                               value ? static_cast<int>(value->size()) : -1));
        }
    return pg::Result(result);
}

std::string HexOf(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes)
        text += {digits[b >> 4], digits[b & 15]};
    return text;
}

// A field as a publishing server writes it, or whatever the input says instead.
std::string Field(FuzzedDataProvider &input, const std::string &wellFormed)
{
    return input.ConsumeBool() ? wellFormed : input.ConsumeRandomLengthString(40);
}

bool ValidUtf8(const std::string &text)
{
    return Utf8ErrorAt(text) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);

    // The rows of release_files, and the release's own row.
    std::vector<std::vector<std::optional<std::string>>> rows(input.ConsumeIntegralInRange<size_t>(0, 36));
    for (auto &row : rows) {
        std::vector<uint8_t> md5 = input.ConsumeBytes<uint8_t>(16);
        row = {Field(input, input.ConsumeBool() ? "launch" : "solo"),
               Field(input, std::to_string(input.ConsumeIntegralInRange<int>(0, 140))),
               input.ConsumeRandomLengthString(70), Field(input, HexOf(md5)),
               Field(input, std::to_string(input.ConsumeIntegral<uint32_t>()))};
        if (input.ConsumeIntegralInRange<int>(0, 15) == 0)
            row[input.ConsumeIntegralInRange<size_t>(0, 4)].reset();
    }
    pg::Result listed = MakeResult(5, rows);
    std::string error;
    std::optional<std::vector<FetchedFile>> files = ReadReleaseFiles(listed, error);
    Require(files.has_value() == error.empty());
    if (files) {
        Require(files->size() == rows.size());
        for (const FetchedFile &file : *files)
            Require((file.kind == "launch" || file.kind == "solo") && file.slot >= 0 && file.slot <= 0xFFFF &&
                    file.size <= 0xFFFFFFFFull);
        // The manifest written from them reads back as the very texts and numbers.
        std::vector<std::optional<std::string>> release{input.ConsumeRandomLengthString(40), "4"};
        for (int i = 0; i < 4; ++i)
            release.push_back(input.ConsumeRandomLengthString(30));
        const int64_t number = input.ConsumeIntegralInRange<int64_t>(0, 0xFFFFFFFFll);
        FetchedRelease fetched{*release[0], {*release[2], *release[3], *release[4], *release[5]}, number, {}, *files};
        const std::string text = FollowedManifestText(fetched);
        bool utf8 = true;
        for (const auto &value : release)
            utf8 = utf8 && ValidUtf8(*value);
        for (const FetchedFile &file : *files)
            utf8 = utf8 && ValidUtf8(file.name);
        if (utf8) {
            toml::value root = ParseTomlText(text, "manifest.toml");
            Require(toml::find<std::string>(root, "id") == *release[0]);
            auto addresses = toml::find<std::vector<std::string>>(root, "addresses");
            Require(addresses.size() == 4);
            for (int i = 0; i < 4; ++i)
                Require(addresses[static_cast<size_t>(i)] == *release[static_cast<size_t>(2 + i)]);
            Require(number > 0 ? toml::find<int64_t>(root, "number") == number : !root.contains("number"));
            size_t launch = 0, solo = 0;
            for (const FetchedFile &file : *files) {
                bool isLaunch = file.kind == "launch";
                const toml::value &entry = toml::find(root, isLaunch ? "launch" : "solo").as_array().at(isLaunch ? launch++ : solo++);
                Require(toml::find<int64_t>(entry, isLaunch ? "slot" : "id") == file.slot);
                Require(toml::find<std::string>(entry, "name") == file.name);
            }
        }
    }

    // A stream put together from its pieces, checked against what a publishing server
    // recorded: the size and MD5 the input claims, or (the first choice) those of what
    // zlib makes of it, so that good streams are reached too.
    const bool derived = input.ConsumeBool();
    const uint64_t claimedSize = input.ConsumeIntegralInRange<uint64_t>(0, 1 << 22);
    Checksum md5{};
    std::vector<uint8_t> claimedMd5 = input.ConsumeBytes<uint8_t>(16);
    std::copy(claimedMd5.begin(), claimedMd5.end(), md5.begin());
    std::string stream;
    while (input.remaining_bytes() > 0)
        stream += input.ConsumeRandomLengthString(256);
    std::vector<uint8_t> reference(claimedSize + 1);
    uLongf made = static_cast<uLongf>(reference.size());
    uLong taken = static_cast<uLong>(stream.size());
    int status = uncompress2(reference.data(), &made, reinterpret_cast<const Bytef *>(stream.data()), &taken);
    if (derived && status == Z_OK)
        Md5Digest(reference.data(), made, md5.data());
    Checksum madeMd5{};
    Md5Digest(reference.data(), status == Z_OK ? made : 0, madeMd5.data());
    const bool expected = status == Z_OK && taken == stream.size() && made == claimedSize && madeMd5 == md5;
    std::istringstream in(stream);
    std::string out;
    const bool inflated = InflateStream(
        in, [&out](std::span<const uint8_t> piece) { out.append(piece.begin(), piece.end()); return true; }, md5,
        claimedSize);
    Require(inflated == expected);
    Require(!inflated || out.size() == claimedSize);
    return 0;
}
