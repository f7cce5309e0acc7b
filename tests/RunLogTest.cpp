// update.log: what it writes, and that it writes nothing anywhere else.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "app/RunLog.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

TEST(RunLogTest, WritesEventsAndRealFailuresOnOneEscapedLineEach) {
  testing::FakePlatform fake;
  RunLog log(fake);
  log.Open("C:\\Pellarion\\update.log");
  // An expected absence is no failure; anything else is one.
  Try([] { throw NotThereError("cannot delete C:\\Pellarion\\update.txt: No such file or directory"); });
  Try([] { throw PlatformError("cannot write C:\\Pellarion\\Pellarion.bin: No space left on device"); });
  // A manifest value that would clear the administrator's line and forge one.
  log.Write("the manifest offers no version (\"\x1b[2K\x1b[1G2026-12-08T10:35:13+02:00 end: ok\r\nx\")");
  EXPECT_EQ(fake.File("C:\\Pellarion\\update.log").contents,
            "2026-12-08T10:35:13+02:00 skipped after a failure: cannot write C:\\Pellarion\\Pellarion.bin: "
            "No space left on device\r\n"
            "2026-12-08T10:35:13+02:00 the manifest offers no version "
            "(\"\\x1b[2K\\x1b[1G2026-12-08T10:35:13+02:00 end: ok\\r\\nx\")\r\n");
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The log in a folder someone else could write to: whatever stands where the
// log goes, the log touches nothing outside the folder, and the run goes on.
TEST(RunLogTest, NeverWritesOrChangesAFileOutsideItsFolder) {
  struct Case {
    const char* name;
    std::function<void(const std::string& folder, const std::string& outside)> plant;
    bool written;  // the event reached update.log
  } cases[] = {
      {"update.log is a link to a file outside",
       [](const std::string& folder, const std::string& outside) { fs::create_symlink(outside, folder + "/update.log"); },
       false},
      {"update.log.1 is a link, and the log is due to move aside",
       [](const std::string& folder, const std::string& outside) {
         WriteFile(folder + "/update.log", std::string(kMaxLogBytes, 'x'));
         fs::create_symlink(outside, folder + "/update.log.1");
       },
       true},
      {"update.log is a hard link to a file outside",
       [](const std::string& folder, const std::string& outside) { fs::create_hard_link(outside, folder + "/update.log"); },
       false},
      {"update.log is a folder", [](const std::string& folder, const std::string&) { fs::create_directory(folder + "/update.log"); },
       false},
      {"update.log is a pipe nobody reads",
       [](const std::string& folder, const std::string&) { ASSERT_EQ(::mkfifo((folder + "/update.log").c_str(), 0644), 0); },
       false},
      {"update.log may be written and run by anyone",
       [](const std::string& folder, const std::string&) {
         WriteFile(folder + "/update.log", "old line\r\n");
         ::chmod((folder + "/update.log").c_str(), 04777);
       },
       true},
  };
  const auto platform = CreateSystemPlatform();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directories(dir / "app");
    const std::string outside = dir / "outside.exe";
    WriteFile(outside, "a program of someone else", 04755);
    c.plant(dir / "app", outside);
    {
      RunLog log(*platform);
      log.Open(dir / "app/update.log");
      log.Write("start: update.exe");
      log.Write("end (exit code 0): done");
    }
    EXPECT_EQ(ReadFile(outside), "a program of someone else");
    EXPECT_EQ(ModeOf(outside), 04755u);
    const std::string logged = fs::is_regular_file(fs::symlink_status(dir / "app/update.log"))
                                   ? ReadFile(dir / "app/update.log") : "";
    EXPECT_EQ(logged.find("end (exit code 0): done") != std::string::npos, c.written) << logged;
    if (c.written) {
      EXPECT_EQ(ModeOf(dir / "app/update.log") & 07133, 0u) << "writable by others, runnable or set-id";
    }
  }
}

TEST(RunLogTest, MovesAsideAtItsBoundByRenameOnly) {
  TempDir dir;
  const std::string older(kMaxLogBytes, 'x');
  WriteFile(dir / "update.log", older);
  WriteFile(dir / "update.log.1", "the oldest");
  const auto platform = CreateSystemPlatform();
  RunLog log(*platform);
  log.Open(dir / "update.log");
  log.Write("start: update.exe");
  EXPECT_EQ(ReadFile(dir / "update.log.1"), older);
  const std::string now = ReadFile(dir / "update.log");
  // One line only: the new log began empty.
  EXPECT_EQ(now.find("\r\n"), now.size() - 2);
  EXPECT_EQ(now.substr(now.size() - 19), "start: update.exe\r\n");
}

}  // namespace
}  // namespace pellarion
