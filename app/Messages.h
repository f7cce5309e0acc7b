// Every text the updater shows, in the order the window's messages are
// numbered, and the title of its window and message box.
#pragma once

namespace pellarion::messages {

inline constexpr const char* kTitle = "Osmerin Pellarion Updater";

inline constexpr const char* kSearching = "يتم البحث عن تحديث متوفر.";                         // 1
inline constexpr const char* kNewVersion = "يتوفر اصدار جديد";                                  // 2
inline constexpr const char* kNoNewVersion = "لا يتوفر اصدار جديد";                              // 3
inline constexpr const char* kLoadingUpdater = "يتم تحميل اصدار جديد لبرنامج التحديث";           // 4
inline constexpr const char* kNoNewUpdater = "لا يتوفر اصدار برنامج تحديث جديد";                 // 5
inline constexpr const char* kDownloading =
    "يتوفر تحديث جديد، جاري التحميل الآن.. الرجاء الانتظار.";                                   // 6
inline constexpr const char* kUpdated = "تمت عملية التحديث بنجاح";                                // 7
inline constexpr const char* kCheckFailed =
    "خطأ في الاتصال، فشل عملية التحقق من التحديث عبر الانترنت.";                                // 8
inline constexpr const char* kUpToDate =
    "النظام محدث، لا يستوجب أي تحديث ، تمتلك اخر اصدار للمنظومة.";                             // 9
inline constexpr const char* kDownloadingUpdater = "يتوفر برنامج تحديث جديد، جاري التحميل الآن...";  // 10
inline constexpr const char* kUpdateFailed = "خطأ في الاتصال، فشل عملية التحديث.";                 // 11

}  // namespace pellarion::messages
