#pragma once

#include <QString>
#include <QtGlobal>

#include <cerrno>

// Version blocks in the binary layout of a Windows version resource (VS_VERSIONINFO), read
// straight out of an executable file: from the ".velmora_version" section of an ELF file, or from
// the RT_VERSION resource of a PE file (PE32 and PE32+). Failures leave errno set, the way the
// Windows calls leave their last error behind.
namespace platform {

// The ELF section that carries our own version block.
inline constexpr const char* VersionSectionName = ".velmora_version";

// errno for a file that holds no version block (or a query path that does not exist).
inline constexpr int ErrNoVersionBlock = ENODATA;
// errno for a file or block whose headers are damaged.
inline constexpr int ErrDamagedVersionBlock = ENOEXEC;

// Size in bytes of the file's version block; 0 when it has none or can't be read (errno set).
quint32 GetFileVersionInfoSize(const QString& path);

// Copies the file's version block into data, at most size bytes. False on failure (errno set).
bool GetFileVersionInfo(const QString& path, quint32 size, void* data);

// Looks up a sub-block of a block that GetFileVersionInfo filled: "\" (the fixed file info),
// "\VarFileInfo\Translation" (an array of language/code-page word pairs, length in bytes) or
// "\StringFileInfo\<key>\<name>" (a null-terminated UTF-16 string, length in characters with the
// terminator). Names match regardless of letter case. Nothing outside block[0, blockSize) is
// ever read; on success *value points into the block (or at a static empty string). False with
// errno set when the path does not exist or the block is damaged.
bool VerQueryValue(const void* block, quint32 blockSize, const QString& subBlock,
                   const void** value, quint32* length);

// The fixed file version's most significant 32 bits (major << 16 | minor); all bits set when
// the file has no readable version information.
quint32 GetFileVersion(const QString& path);

} // namespace platform
