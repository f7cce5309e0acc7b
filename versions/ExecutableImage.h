// Whether a file is a whole executable program: the check every package
// passes before it may replace a program on the machine. A download that
// stopped early, a library, an HTML error page or any other file is refused,
// even when its version record survived.
//
// Windows executables (PE, 32 and 64 bit): the headers say executable image
// and not DLL, and the file reaches the end of every section's raw data and of
// its certificate table (only its length: the certificate is not examined).
// The Linux build's stand-ins (ELF, 32 and 64 bit, either byte order): a
// program (ET_EXEC, or ET_DYN with a program interpreter; a shared library
// without one is refused like a DLL), and the file reaches the end of every
// segment and of the section header table.
#pragma once

#include <string>

#include "versions/VersionRecord.h"

namespace pellarion {

struct ImageVerdict {
  bool accepted = false;
  // A short English reason for the log: what was found, or why it was refused.
  std::string reason;
};

ImageVerdict CheckWholeExecutable(const ByteSource& file);

}  // namespace pellarion
