// The portable version-record reader, against real executables built by
// MinGW-w64 and against damaged copies of them.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "versions/VersionRecord.h"

namespace pellarion {
namespace {

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::string> VersionOf(const std::vector<char>& bytes, std::size_t size) {
  const auto version = ReadVersionRecord(MemoryByteSource(bytes.data(), size));
  if (!version) return std::nullopt;
  return version->Dotted();
}

std::string Fixture(const std::string& version) {
  return std::string(FIXTURE_DIR) + "/pe-" + version + ".exe";
}

TEST(VersionRecordTest, ReadsTheFileVersionOfWindowsExecutables) {
  for (const std::string version : {"1.0.0.1", "3.1.0.12", "2.0.1.0"}) {
    const std::vector<char> bytes = ReadAll(Fixture(version));
    EXPECT_EQ(VersionOf(bytes, bytes.size()), version);
  }
}

TEST(VersionRecordTest, ATruncatedExecutableHasNoVersionRatherThanAWrongOne) {
  const std::vector<char> bytes = ReadAll(Fixture("3.1.0.12"));
  ASSERT_GT(bytes.size(), 1000u);
  std::size_t firstComplete = bytes.size();
  for (std::size_t size = 0; size <= bytes.size(); ++size) {
    const auto version = VersionOf(bytes, size);
    if (version) {
      ASSERT_EQ(*version, "3.1.0.12") << "cut at " << size;
      firstComplete = std::min(firstComplete, size);
    } else {
      // Once the record is whole, a longer file cannot lose it.
      ASSERT_EQ(firstComplete, bytes.size()) << "lost again at " << size;
    }
  }
  // The resources come last in these files: a file cut anywhere before them
  // has no version.
  EXPECT_GT(firstComplete, bytes.size() / 2);
}

TEST(VersionRecordTest, DamagedHeadersAndNonExecutablesHaveNoVersion) {
  const std::vector<char> good = ReadAll(Fixture("1.0.0.1"));
  const std::vector<std::pair<std::string, std::vector<char>>> cases = {
      {"empty", {}},
      {"text", {'h', 'e', 'l', 'l', 'o'}},
      {"MZ alone", {'M', 'Z'}},
      {"HTML error page", [] {
         const std::string page = "<html><body>404 Not Found</body></html>";
         return std::vector<char>(page.begin(), page.end());
       }()},
  };
  for (const auto& [name, bytes] : cases) {
    EXPECT_EQ(VersionOf(bytes, bytes.size()), std::nullopt) << name;
  }

  // Every single corrupted byte of the headers either leaves the version
  // readable or makes it absent; it never yields another version.
  for (std::size_t at = 0; at < 1024 && at < good.size(); ++at) {
    for (const char value : {'\x00', '\xFF', '\x7F'}) {
      std::vector<char> bytes = good;
      bytes[at] = value;
      const auto version = VersionOf(bytes, bytes.size());
      if (version) {
        ASSERT_EQ(*version, "1.0.0.1") << "byte " << at;
      }
    }
  }
}

}  // namespace
}  // namespace pellarion
