// The Linux test applications built beside the tests, each carrying a
// version record as the Windows application's executable does.
#pragma once

#include <string>

#include "tests/support/Subprocess.h"

namespace pellarion {

inline const std::string kApp1 = std::string(FIXTURE_DIR) + "/linux-app-1.0.0.1";
inline const std::string kApp3 = std::string(FIXTURE_DIR) + "/linux-app-3.1.0.12";
// The build before kApp3: a delta's base.
inline const std::string kApp3Before = std::string(FIXTURE_DIR) + "/linux-app-3.1.0.11";

// The application 3.1.0.12 made `bytes` longer (past its own headers, which
// the gate allows), with a pattern `seed` picks: packages of a realistic size.
inline std::string LargeApplication(std::size_t bytes, unsigned seed) {
  std::string image = testing::ReadFile(kApp3);
  for (std::size_t i = 0; i < bytes; ++i) image += static_cast<char>((i * 131 + seed * 7) % 251);
  return image;
}

// The first two lines the Linux update.exe prints in an application folder.
inline const std::string kShown = "status #0000FF الرجاء الانتظار قليلا .. جاري التحديث\n";
inline const std::string kSearching = "status #0000FF يتم البحث عن تحديث متوفر.\n";

}  // namespace pellarion
