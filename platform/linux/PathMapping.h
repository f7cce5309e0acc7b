// How the Linux realisation reads the run's Windows-style paths.
//
// A backslash is a path separator. A leading drive "X:" stands for the folder
// named by the environment variable PELLARION_DRIVE_X (X upper case), or else
// /mnt/x. A path that starts with a separator is from the root. Windows
// compares names without regard to case, so each component that does not
// exist under its exact name is matched against the folder's entries without
// regard to (ASCII) case; a name that matches nothing is kept as written.
#pragma once

#include <string>

namespace pellarion {

struct MappedPath {
  std::string path;        // the resolved Linux path
  std::string driveRoot;   // the folder a drive letter stood for; empty without one
};

MappedPath MapWindowsPath(const std::string& windowsPath);

// Names compared as Windows compares them: without regard to ASCII case.
bool EqualIgnoringCase(const std::string& a, const std::string& b);

}  // namespace pellarion
