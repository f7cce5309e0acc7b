// The Linux test applications built beside the tests, each carrying a
// version record as the Windows application's executable does.
#pragma once

#include <string>

namespace pellarion {

inline const std::string kApp1 = std::string(FIXTURE_DIR) + "/linux-app-1.0.0.1";
inline const std::string kApp3 = std::string(FIXTURE_DIR) + "/linux-app-3.1.0.12";
// The build before kApp3: a delta's base.
inline const std::string kApp3Before = std::string(FIXTURE_DIR) + "/linux-app-3.1.0.11";

// The first two lines the Linux update.exe prints in an application folder.
inline const std::string kShown = "status #0000FF الرجاء الانتظار قليلا .. جاري التحديث\n";
inline const std::string kSearching = "status #0000FF يتم البحث عن تحديث متوفر.\n";

}  // namespace pellarion
