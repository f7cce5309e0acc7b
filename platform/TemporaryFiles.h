// Every temporary file the updater creates, one pattern per kind. Each sits
// beside the file it becomes (its target) and carries the target's name:
//
//   <target>.part          a download or a copy of a package in progress,
//                          not yet accepted (clsDownload, ShareMode); a
//                          package's stays after a cut transfer, to resume
//   <target>.resume        what resuming <target>.part needs: the server's
//                          name for that version of the file, its length,
//                          the bytes kept (clsDownload)
//   <target>.copy-XXXXXX   a copy or a record in progress (CopyFileTo,
//                          WriteRecord; X a letter or digit)
//   <target>.old           a replaced executable moved aside while it still
//                          ran (MoveReplacing on Windows)
//   <target>.delta         a delta that makes the package <target> out of
//                          the installed file, downloaded (a download's
//                          target of its own, so with its .part and .resume)
//   <target>.patched       the package made from the installed file and its
//                          delta, not yet accepted
//
// The patterns compose: a copy made into a download's name leaves
// <target>.part.copy-XXXXXX, which is a temporary file of <target> too.
// A run that is cut off (killed, the machine switched off) leaves them
// behind; the next run removes those of its own targets before it starts
// work (IsTemporaryOf), and never any other file. Only a package's .part
// (or its delta's, <target>.delta.part) with a .resume it still matches is
// kept, to be resumed.
#pragma once

#include <string>

namespace pellarion {

inline constexpr const char* kDownloadSuffix = ".part";
inline constexpr const char* kResumeSuffix = ".resume";
inline constexpr const char* kCopySuffix = ".copy-";
inline constexpr const char* kAsideSuffix = ".old";
inline constexpr const char* kDeltaSuffix = ".delta";
inline constexpr const char* kPatchedSuffix = ".patched";

// True when `fileName` is one of the temporary files of `target`, under one
// pattern or several composed (both plain file names, compared without
// regard to case).
bool IsTemporaryOf(const std::string& fileName, const std::string& target);

}  // namespace pellarion
