// Prints the file version of each executable named on the command line, as
// the updater reads it (for the demo and for people).
#include <iostream>

#include "gate/Files.h"

int main(int argc, char** argv) {
  const auto platform = pellarion::CreateSystemPlatform();
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    try {
      std::cout << argv[i] << ": " << pellarion::FileVersionOf(*platform, argv[i]) << "\n";
    } catch (const pellarion::PlatformError& e) {
      std::cout << argv[i] << ": no version (" << e.what() << ")\n";
      status = 1;
    }
  }
  return status;
}
