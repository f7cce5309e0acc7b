// The acceptance gate: the one check every package (the application's and
// the updater's, in both modes) passes before anything is stopped, swapped or
// staged. A package is accepted only when it is a whole executable, carries
// exactly the version the run was offered, is newer than the file it
// replaces and, in a build with a publisher key, is byte for byte the package
// the signed release describes for its role.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"
#include "versions/ReleaseDescription.h"

namespace pellarion {

struct GateVerdict {
  bool accepted = false;
  std::string reason;  // short English text for the log
};

// What the package must be.
struct PackageExpectation {
  // The version digits the run compared ("20055"); an empty or non-numeric
  // offer is never matched.
  std::string offeredDigits;
  // The installed file the package would replace (empty: none). Its version
  // must be lower, part by part, than the package's; a file without a
  // readable version does not hold the package back.
  std::string installed;
  // A build with a publisher key: the signed release's entry for the
  // package's role, whose length, SHA-256 and version the package must have.
  bool signatureRequired = false;
  const PackageEntry* signedEntry = nullptr;
};

// Every failure, including one of the platform, is a refusal with a reason;
// nothing throws. The package is opened once and every check reads it
// through that one open file; when `held` is given, an accepted package's
// file is handed over in it, so that the caller can keep what was checked
// open until it is put in place (see Platform::OpenInput and
// InputFile::IsFileAt).
GateVerdict CheckPackage(Platform& platform, const std::string& packagePath, const PackageExpectation& expected,
                         std::unique_ptr<InputFile>* held = nullptr);

}  // namespace pellarion
