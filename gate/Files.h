// What the run reads out of files, through the platform: version records of
// executables and numbered lines of its small text files.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace pellarion {

// Dotted file version of an executable's version record ("2.0.0.55"); fails
// (PlatformError) when the file is missing or carries no version record.
std::string FileVersionOf(Platform& platform, const std::string& path);

// "2.0.0.55" -> "20055" for the executable at `path`; fails as FileVersionOf.
std::string VersionDigitsOf(Platform& platform, const std::string& path);

// The SHA-256 of the file's bytes (32 bytes), read in pieces through the
// platform and hashed by the system's cryptography; fails when the file
// cannot be read.
std::string FileSha256(Platform& platform, const std::string& path);
// The same of a file opened already, read at offsets from its first byte.
std::string FileSha256(Platform& platform, InputFile& file);

// The whole of a small file; fails when it cannot be read or is longer than
// `maxBytes`.
std::string ReadSmallFile(Platform& platform, const std::string& path, std::size_t maxBytes);

// Line `n` of the text file at `path`, read in pieces (see LineFinder); fails
// when the file cannot be read or has more than 32,767 lines.
std::string ReadFileLine(Platform& platform, const std::string& path, std::int16_t n);

}  // namespace pellarion
