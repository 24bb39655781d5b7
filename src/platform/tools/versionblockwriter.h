#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Builds version blocks in the binary layout of a Windows version resource: a VS_VERSIONINFO
// root with a VS_FIXEDFILEINFO value, a StringFileInfo with its string tables and a VarFileInfo
// with one Translation array. Plain C++ so that the build-time generator needs nothing else.
namespace versionblock {

struct TFixedInfo {
    std::uint32_t FileVersionMS = 0;
    std::uint32_t FileVersionLS = 0;
    std::uint32_t ProductVersionMS = 0;
    std::uint32_t ProductVersionLS = 0;
    std::uint32_t FileFlagsMask = 0x3F;
    std::uint32_t FileFlags = 0;
    std::uint32_t FileOS = 0x00040004; // VOS_NT_WINDOWS32
    std::uint32_t FileType = 1;        // VFT_APP
    std::uint32_t FileSubtype = 0;
};

struct TStringTable {
    std::u16string Key; // "040904E4"
    std::vector<std::pair<std::u16string, std::u16string>> Strings;
};

struct TBlock {
    TFixedInfo Fixed;
    std::vector<TStringTable> Tables;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> Translations; // language, code page
};

// The block's bytes, little-endian; its first word is its length.
std::vector<std::uint8_t> Build(const TBlock& block);

// Parses "a.b.c.d" (missing parts are 0) into the two words of a fixed version; false when the
// text is not such a version.
bool ParseVersion(const std::string& text, std::uint32_t& ms, std::uint32_t& ls);

std::u16string Utf8ToUtf16(const std::string& text);

} // namespace versionblock
