// The file operations of the publisher's tool that differ between systems:
// new files written whole and flushed, replacing renames, new folders. One
// realisation per system, chosen by the build. Each fails with PublishError
// naming the path and the system's reason.
#pragma once

#include <string>

namespace pellarion::publish {

// Who may read a file the tool creates.
enum class Readers { Everyone, OwnerOnly };

// Creates `path`, which must not exist yet, with `bytes`, flushed to disk.
// OwnerOnly files are never readable by others, not even for a moment.
void WriteNewFile(const std::string& path, const std::string& bytes, Readers readers = Readers::Everyone);
// Copies the file `from` to the new file `to`, flushed to disk.
void CopyToNewFile(const std::string& from, const std::string& to);
// Creates a new folder `prefix` followed by a random suffix; returns its
// path. `readers`: Everyone gives it the modes of any folder the user makes.
std::string MakeUniqueFolder(const std::string& prefix, Readers readers);
// A new folder of the tool's own under the system's temporary folder, named
// after `name`; OwnerOnly.
std::string MakeTemporaryFolder(const std::string& name);
// Flushes a folder's entries to disk, so that a rename in it survives a
// power cut (where the system can).
void FlushFolder(const std::string& path);
// Puts `from` in place of `to`: one step, replacing a file `to`.
void MoveIntoPlace(const std::string& from, const std::string& to);
// Removes a file; a file that is not there is no failure.
void RemoveIfThere(const std::string& path);

}  // namespace pellarion::publish
