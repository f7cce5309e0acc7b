// The Windows platform's contract, run under Wine: files, version records,
// stopping real processes, downloads and signature checks.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "gate/Files.h"
#include "app/Form1.h"
#include "app/Messages.h"
#include "app/ProcessTermination.h"
#include "download/clsDownload.h"
#include "download/FileSink.h"
#include "download/ResumeRecord.h"
#include "platform/Platform.h"
#include "platform/windows/CngSignature.h"
#include "platform/windows/WinText.h"
#include "tests/support/OwnVersion.h"

namespace pellarion {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Asks a window every 100 ms, as Windows' hung-window test does, until
// `done`; the tenth time it asks the window to close.
struct HungWindowProbe {
  HWND window;
  std::atomic<bool> done{false};
  int asked = 0, unanswered = 0;

  static DWORD WINAPI Run(void* self) {
    auto& probe = *static_cast<HungWindowProbe*>(self);
    while (!probe.done) {
      DWORD_PTR result = 0;
      const UINT message = probe.asked == 10 ? WM_CLOSE : WM_NULL;
      ++probe.asked;
      if (SendMessageTimeoutW(probe.window, message, 0, 0, SMTO_ABORTIFHUNG, 500, &result) == 0 && !probe.done) {
        ++probe.unanswered;
      }
      Sleep(100);
    }
    return 0;
  }
};

class WindowsPlatformTest : public ::testing::Test {
 protected:
  WindowsPlatformTest() {
    bin = platform->AppDir();
    dir = bin + "\\work-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~WindowsPlatformTest() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  std::unique_ptr<Platform> platform = CreateSystemPlatform();
  std::string bin, dir;
};

TEST_F(WindowsPlatformTest, ReadsVersionRecords) {
  EXPECT_EQ(FileVersionOf(*platform, bin + "\\fixture-3.1.0.12.exe"), "3.1.0.12");
  EXPECT_EQ(FileVersionOf(*platform, bin + "\\fixture-1.0.0.1.exe"), "1.0.0.1");
  EXPECT_EQ(FileVersionOf(*platform, bin + "\\update.exe"), testing::OwnVersion());
  Write(dir + "\\page.html", "<html>404</html>");
  EXPECT_THROW(FileVersionOf(*platform, dir + "\\page.html"), PlatformError);
  EXPECT_THROW(FileVersionOf(*platform, dir + "\\missing.exe"), PlatformError);
}

TEST_F(WindowsPlatformTest, FileOperationsFailAsTheRunExpects) {
  Write(dir + "\\a.txt", "12345");
  EXPECT_TRUE(platform->FileExists(dir + "\\A.TXT"));
  EXPECT_FALSE(platform->FileExists(dir + "\\b.txt"));
  EXPECT_FALSE(platform->FileExists(dir));  // a folder is not a file
  EXPECT_EQ(platform->FileLength(dir + "\\a.txt"), 5);

  platform->CopyFileTo(dir + "\\a.txt", dir + "\\b.txt");
  EXPECT_THROW(platform->CopyFileTo(dir + "\\missing.txt", dir + "\\c.txt"), PlatformError);
  platform->MoveReplacing(dir + "\\a.txt", dir + "\\c.txt");
  platform->RemoveFile(dir + "\\c.txt");
  // What is not there fails as such: the log does not call it a failure.
  EXPECT_THROW(platform->RemoveFile(dir + "\\c.txt"), NotThereError);
  EXPECT_THROW(platform->RemoveFile(dir + "\\no-folder\\c.txt"), NotThereError);
  EXPECT_THROW(platform->FileLength(dir + "\\c.txt"), NotThereError);
  EXPECT_THROW(platform->OpenInput(dir + "\\c.txt"), NotThereError);

  auto input = platform->OpenInput(dir + "\\b.txt");
  char buffer[16];
  EXPECT_EQ(std::string(buffer, input->Read(buffer, sizeof buffer)), "12345");

  fs::create_directories(dir + "\\cache\\IE\\sub");
  Write(dir + "\\cache\\IE\\sub\\x", "x");
  platform->DeleteFolder(dir + "\\cache\\IE");
  EXPECT_FALSE(fs::exists(dir + "\\cache\\IE"));
  EXPECT_THROW(platform->DeleteFolder(dir + "\\cache\\IE"), NotThereError);
  EXPECT_FALSE(platform->UserName().empty());
}

// The log writes into its own file only: never through a link or into a file
// with other names, and it moves aside by rename.
TEST_F(WindowsPlatformTest, TheLogTouchesNoFileOutsideItsFolder) {
  const std::string log = dir + "\\update.log", outside = dir + "\\outside.txt";
  platform->AppendToLog(log, "one\r\n", 8);
  platform->AppendToLog(log, "two\r\n", 8);
  platform->AppendToLog(log, "three\r\n", 8);  // "one two" has reached 8 bytes
  EXPECT_EQ(ReadAll(log + ".1"), "one\r\ntwo\r\n");
  EXPECT_EQ(ReadAll(log), "three\r\n");

  Write(outside, "someone else's");
  fs::remove(log);
  ASSERT_TRUE(CreateHardLinkW(Wide(log).c_str(), Wide(outside).c_str(), nullptr));
  EXPECT_THROW(platform->AppendToLog(log, "x\r\n", 1000), PlatformError);
  fs::remove(log);
  fs::create_directory(log);
  EXPECT_THROW(platform->AppendToLog(log, "x\r\n", 1000), PlatformError);
  fs::remove(log);
  // Windows makes a reparse point, which the log refuses; Wine 8 reports
  // success and makes nothing.
  const DWORD made = CreateSymbolicLinkW(Wide(log).c_str(), Wide(outside).c_str(), 0)
                         ? GetFileAttributesW(Wide(log).c_str()) : INVALID_FILE_ATTRIBUTES;
  const bool linked = made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (linked) {
    EXPECT_THROW(platform->AppendToLog(log, "x\r\n", 1000), PlatformError);
  } else {
    std::printf("no symbolic link could be made here: that case is not tried\n");
  }
  EXPECT_EQ(ReadAll(outside), "someone else's");
}

PROCESS_INFORMATION Start(const std::string& path, std::string commandLine = "") {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(CreateProcessA(path.c_str(), commandLine.empty() ? nullptr : commandLine.data(), nullptr, nullptr,
                             FALSE, 0, nullptr, nullptr, &startup, &process))
      << path;
  CloseHandle(process.hThread);
  return process;
}

// EnumWindows' callback: marks the search (process id, found) when a
// top-level window belongs to that process.
BOOL CALLBACK FindWindowOf(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<std::pair<DWORD, bool>*>(data);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->first) search->second = true;
  return !search->second;
}

TEST_F(WindowsPlatformTest, KillRunningAppClosesOnlyTheCopyOfItsFolder) {
  const std::string sleeper = bin + "\\windows_sleeper.exe";
  for (const char* name : {"\\a\\Pellarion.exe", "\\b\\Pellarion.exe"}) {
    fs::create_directories(fs::path(dir + name).parent_path());
    fs::copy_file(sleeper, dir + name);
  }
  const HANDLE ours = Start(dir + "\\a\\Pellarion.exe").hProcess;
  const HANDLE theirs = Start(dir + "\\b\\Pellarion.exe").hProcess;
  // Its window must exist before it can be asked to close: wait until the
  // process has a top-level window, however loaded the machine is.
  const auto hasWindow = [](HANDLE process) {
    std::pair<DWORD, bool> search{GetProcessId(process), false};
    EnumWindows(&FindWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.second;
  };
  for (int i = 0; i < 400 && !(hasWindow(ours) && hasWindow(theirs)); ++i) Sleep(50);
  EXPECT_EQ(platform->ProcessQuery(dir + "\\A\\PELLARION.EXE").size(), 1u);

  EXPECT_EQ(KillRunningApp(*platform, dir + "\\a\\Pellarion.exe"), 1);
  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(ours, 0), WAIT_OBJECT_0) << "still running";
  EXPECT_TRUE(GetExitCodeProcess(ours, &code));
  EXPECT_EQ(code, 7u) << "not closed through its window";
  EXPECT_EQ(WaitForSingleObject(theirs, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "another folder's copy was stopped";
  TerminateProcess(theirs, 0);
  WaitForSingleObject(theirs, 5000);
  CloseHandle(ours);
  CloseHandle(theirs);
}

TEST_F(WindowsPlatformTest, StartProgramRunsInTheProgramsFolder) {
  EXPECT_THROW(platform->StartProgram(dir + "\\missing.exe", WindowState::Minimised), PlatformError);
  fs::copy_file(bin + "\\windows_sleeper.exe", dir + "\\Pellarion.exe");
  platform->StartProgram(dir + "\\Pellarion.exe", WindowState::Normal);
  const auto running = platform->ProcessQuery(dir + "\\Pellarion.exe");
  ASSERT_EQ(running.size(), 1u);
  platform->TerminateProcessById(running[0].id);
  EXPECT_TRUE(platform->WaitForProcessesToEnd({running[0].id}, 5000));
}

constexpr DWORD kNotPlain = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

DWORD NotPlain(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) & kNotPlain; }

// Read-only, hidden and system on the share's file never reach the copy,
// and on the files the run replaces or deletes they stop nothing.
TEST_F(WindowsPlatformTest, TheSharesAttributesNeverComeAlongAndStopNothing) {
  for (const DWORD marked : {DWORD{FILE_ATTRIBUTE_READONLY}, DWORD{FILE_ATTRIBUTE_HIDDEN}, kNotPlain}) {
    SCOPED_TRACE("attributes " + std::to_string(marked));
    const std::string share = dir + "\\share.exe", staged = dir + "\\NewVersion.exe",
                      installed = dir + "\\Pellarion.exe", record = dir + "\\update.release";
    for (const std::string& file : {share, staged, installed, record}) {
      Write(file, "old");
      SetFileAttributesW(Wide(file).c_str(), marked);
    }
    platform->CopyFileTo(share, staged);
    EXPECT_EQ(NotPlain(staged), 0u);
    platform->MoveReplacing(staged, installed);
    EXPECT_EQ(NotPlain(installed), 0u);
    platform->WriteRecord(record, "7\r\n");
    EXPECT_EQ(NotPlain(record), 0u);
    platform->OpenOutput(staged, 0)->Write("refused", 7);
    SetFileAttributesW(Wide(staged).c_str(), marked);
    platform->RemoveFile(staged);  // a refused package
    for (const std::string& file : {share, installed, record}) platform->RemoveFile(file);
    EXPECT_TRUE(fs::is_empty(dir)) << "a file stayed";
  }
}

// A running application is replaced by moving it aside, also past a
// read-only .old that an earlier swap left.
TEST_F(WindowsPlatformTest, ARunningProgramIsReplacedPastAReadOnlyOldOne) {
  const std::string installed = dir + "\\Pellarion.exe", aside = installed + ".old";
  fs::copy_file(bin + "\\windows_sleeper.exe", installed);
  const HANDLE running = Start(installed).hProcess;
  Write(aside, "left by an earlier swap");
  SetFileAttributesW(Wide(aside).c_str(), FILE_ATTRIBUTE_READONLY);
  Write(dir + "\\NewVersion.exe", "new application");
  platform->MoveReplacing(dir + "\\NewVersion.exe", installed);
  EXPECT_EQ(ReadAll(installed), "new application");
  EXPECT_EQ(ReadAll(aside), ReadAll(bin + "\\windows_sleeper.exe"));  // still running, not yet deleted
  TerminateProcess(running, 0);
  WaitForSingleObject(running, 5000);
  CloseHandle(running);
}

// A file another process holds open (windows_holder, as a scanner does) is
// "in use", a failure of its own kind that changes nothing; once the file is
// let go the same move succeeds.
TEST_F(WindowsPlatformTest, AFileHeldOpenByAnotherProcessIsInUseUntilLetGo) {
  const std::string installed = dir + "\\Pellarion.exe", staged = dir + "\\NewVersion.exe";
  Write(installed, "old application");
  Write(staged, "new application");
  const HANDLE holder = Start(bin + "\\windows_holder.exe", "windows_holder " + installed + " 3000").hProcess;
  const auto held = [&] {  // once an open for deleting meets the holder's sharing
    const HANDLE probe = CreateFileW(Wide(installed).c_str(), DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
    return probe == INVALID_HANDLE_VALUE;
  };
  for (int i = 0; i < 100 && !held(); ++i) Sleep(50);
  ASSERT_TRUE(held());
  EXPECT_THROW(platform->MoveReplacing(staged, installed), FileInUseError);
  EXPECT_THROW(platform->RemoveFile(installed), FileInUseError);
  EXPECT_EQ(ReadAll(installed), "old application");
  EXPECT_FALSE(fs::exists(installed + ".old"));
  EXPECT_THROW(platform->MoveReplacing(dir + "\\missing.exe", installed), NotThereError);
  ASSERT_EQ(WaitForSingleObject(holder, 20000), WAIT_OBJECT_0);
  CloseHandle(holder);
  platform->MoveReplacing(staged, installed);
  EXPECT_EQ(ReadAll(installed), "new application");
}

// Swaps the files named `placed` and `spare` by three renames, again and
// again, until `done`.
struct Swapper {
  std::wstring placed, spare, between;
  std::atomic<bool> done{false};

  static DWORD WINAPI Run(void* self) {
    auto& s = *static_cast<Swapper*>(self);
    while (!s.done) {
      if (MoveFileExW(s.placed.c_str(), s.between.c_str(), 0)) {
        MoveFileExW(s.spare.c_str(), s.placed.c_str(), 0);
        MoveFileExW(s.between.c_str(), s.spare.c_str(), 0);
      }
    }
    return 0;
  }
};

// What is hashed is what starts: the placed copy is held from its hashing
// to its start, so a thread that keeps swapping another program under its
// name never gets that one started (it would leave other-ran.txt), nor the
// held file renamed away.
TEST_F(WindowsPlatformTest, AProgramStartsAsItWasReadWhateverBearsItsNameMeanwhile) {
  const std::string placed = dir + "\\update.exe", spare = dir + "\\spare.exe";
  fs::copy_file(bin + "\\fixture-1.0.0.1.exe", placed);
  fs::copy_file(bin + "\\windows_holder.exe", spare);
  const std::string good = FileSha256(*platform, placed);
  Swapper swapper{Wide(placed), Wide(spare), Wide(dir + "\\between.exe")};
  const HANDLE thread = CreateThread(nullptr, 0, &Swapper::Run, &swapper, 0, nullptr);
  int started = 0, refused = 0, lost = 0;
  for (const ULONGLONG end = GetTickCount64() + 30000; GetTickCount64() < end && (started < 20 || refused < 5);
       Sleep(1)) {  // the swapper's turn
    std::unique_ptr<ProgramFile> file;
    try {
      file = platform->OpenProgram(placed);
    } catch (const PlatformError&) {
      continue;  // between two renames
    }
    const std::unique_ptr<Sha256> hash = platform->StartSha256();
    char buffer[1 << 16];
    for (std::size_t n; (n = file->Read(buffer, sizeof buffer)) > 0;) hash->Add(buffer, n);
    if (hash->Finish() != good) {
      ++refused;
    } else if (started < 20) {
      Sleep(5);  // as the run compares and logs in between
      try {
        file->Start(WindowState::Minimised);
        ++started;
      } catch (const PlatformError&) {
        ++lost;
      }
    }
  }
  swapper.done = true;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_GE(started, 20);
  EXPECT_GE(refused, 5) << "the swapper never swapped";
  EXPECT_EQ(lost, 0) << "the held file was renamed away";
  Sleep(2000);  // for a wrongly started program to leave its mark
  EXPECT_FALSE(fs::exists(dir + "\\other-ran.txt")) << "the other program was started";
}

// Values test_windows_platform.sh wrote with "reg add" in the 64-bit
// registry: Server (REG_SZ), Hours (REG_DWORD 30), Expanded (REG_EXPAND_SZ).
TEST_F(WindowsPlatformTest, PolicyValuesAndRandomBytesComeFromTheSystem) {
  EXPECT_EQ(platform->PolicyValue("Server"), "https://updates.example/Pellarion");
  EXPECT_EQ(platform->PolicyValue("Hours"), "30");
  EXPECT_THROW(platform->PolicyValue("Missing"), NotThereError);
  try {
    platform->PolicyValue("Expanded");
    ADD_FAILURE() << "a REG_EXPAND_SZ was read";
  } catch (const NotThereError&) {
    ADD_FAILURE() << "a value of another type called missing";
  } catch (const PlatformError&) {
  }
  EXPECT_NE(platform->RandomBytes(32), platform->RandomBytes(32));
}

}  // namespace
}  // namespace pellarion

namespace pellarion {
namespace {

// The same download cases as on Linux, through WinHTTP, against the tests'
// server running beside Wine (its address in PELLARION_TEST_SERVER).
class WindowsDownloadTest : public WindowsPlatformTest {
 protected:
  std::string Url(const std::string& path) {
    const char* server = std::getenv("PELLARION_TEST_SERVER");
    return std::string("http://") + (server != nullptr ? server : "127.0.0.1:9") + path;
  }
  bool Download(const std::string& url) {
    return !clsDownload(*platform, url, target, {.connectSeconds = 2, .stallSeconds = 2}).Get_File();
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string target = dir + "\\Pellarion.bin";
};

TEST_F(WindowsDownloadTest, OnlyAWholeSuccessfulBodyReplacesTheTarget) {
  ASSERT_NE(std::getenv("PELLARION_TEST_SERVER"), nullptr);
  struct Case {
    std::string name, url;
    bool ok;
    std::string body;
  } cases[] = {
      {"200", Url("/ok"), true, "hello, updater"},
      {"redirects", Url("/redirect/3"), true, "hello, updater"},
      {"surrounding spaces", "  " + Url("/ok") + "  ", true, "hello, updater"},
      {"404 with an HTML page", Url("/status/404"), false, ""},
      {"500 with an HTML page", Url("/status/500"), false, ""},
      {"body shorter than its Content-Length", Url("/truncated"), false, ""},
      {"refused connection", "http://127.0.0.1:9/ok", false, ""},
      {"stall after the headers", Url("/stall"), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(target, "the installed package");
    EXPECT_EQ(Download(c.url), !c.ok);
    EXPECT_EQ(Read(target), c.ok ? c.body : "the installed package");
    EXPECT_FALSE(fs::exists(target + ".part"));
  }
}

// Through WinHTTP: a busy server's Retry-After, and a resume answered with a
// 206 for another range, which is never joined to the kept bytes.
TEST_F(WindowsDownloadTest, BusyAnswersAndRangesPassThroughTheTransport) {
  ASSERT_NE(std::getenv("PELLARION_TEST_SERVER"), nullptr);
  const auto start = std::chrono::steady_clock::now();
  clsDownload busyDownload(*platform, Url("/busy/2/1"), target);
  busyDownload.Get_File();
  const DownloadOutcome& busy = busyDownload.Outcome();
  EXPECT_TRUE(busy.fetched) << busy.error;
  EXPECT_EQ(Read(target), "hello, updater");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_NE(busy.history.find("503, the server is busy; again in 1 s. HTTP status 503"), std::string::npos)
      << busy.history;

  const std::string url = Url("/wrong-range");
  Write(target + ".part", std::string(60, 'k'));
  Write(target + ".resume", ResumeRecordText({url, "", {60, "\"w\"", 100}}));
  clsDownload resumedDownload(*platform, url, target, {.resumable = true});
  resumedDownload.Get_File();
  const DownloadOutcome& resumed = resumedDownload.Outcome();
  EXPECT_TRUE(resumed.fetched) << resumed.error;
  EXPECT_EQ(Read(target).substr(0, 12), "012345678901");
  EXPECT_NE(resumed.history.find("a 206 for another range"), std::string::npos) << resumed.history;
  EXPECT_FALSE(fs::exists(target + ".part"));
}

}  // namespace
}  // namespace pellarion

namespace pellarion {
namespace {


// What the tests' server sends for /big/<bytes>: a repeating 1 MiB pattern.
std::string BigBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i % (1 << 20) * 131 % 251);
  return body;
}

// The transport and the transfer's rules alone, with limits set per case.
class WindowsTransferTest : public WindowsDownloadTest {
 protected:
  // Seconds the download took; `ok` tells whether it succeeded.
  double Fetch(const std::string& url, const DownloadLimits& limits, bool& ok) {
    const auto start = std::chrono::steady_clock::now();
    FileSink sink(*platform, target, RulesOf(limits), nullptr, nullptr);
    try {
      platform->Transfer({.url = url, .connectSeconds = limits.connectSeconds, .maxRedirects = limits.maxRedirects},
                         sink);
      ok = true;
    } catch (const std::exception& e) {
      ok = false;
      error = e.what();
      sink.Keep();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::string error;  // of the last failed Fetch
};

TEST_F(WindowsTransferTest, LimitsAndIncompleteAnswersFailTheDownload) {
  ASSERT_NE(std::getenv("PELLARION_TEST_SERVER"), nullptr);
  const DownloadLimits fast{.connectSeconds = 2, .stallSeconds = 2};
  const DownloadLimits cap1000{.connectSeconds = 2, .stallSeconds = 2, .maxBytes = 1000};
  struct Case {
    std::string name, path;
    DownloadLimits limits;
    bool ok;
    std::string body;  // the file after a success
  } cases[] = {
      {"announced above the cap", "/big/5000", cap1000, false, ""},
      {"announced at the cap", "/big/1000", cap1000, true, BigBody(1000)},
      {"no length, past the cap", "/unsized/3000", cap1000, false, ""},
      {"no length, within the cap", "/unsized/3000", fast, true, std::string(3000, 'u')},
      {"several 1 MiB pieces", "/big/3000000", fast, true, BigBody(3000000)},
      {"206 Partial Content", "/partial", fast, false, ""},
      {"401 offering no log-on the user has", "/status/401", fast, false, ""},
      // /redirect/<n> takes n + 1 hops to /ok.
      {"redirects within the limit", "/redirect/1", {.connectSeconds = 2, .maxRedirects = 2}, true,
       "hello, updater"},
      {"redirects past the limit", "/redirect/2", {.connectSeconds = 2, .maxRedirects = 2}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(target);
    bool ok = false;
    Fetch(Url(c.path), c.limits, ok);
    EXPECT_EQ(ok, c.ok) << error;
    if (c.ok) {
      EXPECT_TRUE(ReadAll(target) == c.body) << "file of " << fs::file_size(target) << " bytes";
    }
    // Refused on the headers: the file is not even created.
    if (c.path == "/big/5000" || c.path == "/partial") {
      EXPECT_FALSE(fs::exists(target));
    }
  }
}

TEST_F(WindowsTransferTest, ATrickleIsAbandonedAfterTheStallTime) {
  ASSERT_NE(std::getenv("PELLARION_TEST_SERVER"), nullptr);
  // 10 bytes a second for 10 s: too slow for 100 bytes a second, enough for 5.
  bool ok = true;
  const double seconds = Fetch(Url("/trickle/100/100"), {.connectSeconds = 2, .stallSeconds = 2,
                                                         .minBytesPerSecond = 100}, ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(seconds, 5.0);
  const double whole = Fetch(Url("/trickle/20/100"), {.connectSeconds = 2, .stallSeconds = 1,
                                                      .minBytesPerSecond = 5}, ok);
  EXPECT_TRUE(ok);
  EXPECT_GT(whole, 1.5);
}

// The user's Internet settings as Internet Options stores them: a version, a
// counter, the flags (1 direct, 2 a fixed proxy, 4 a configuration script,
// 8 automatic discovery), then the proxy, the bypass list and the script's
// address, each with its length.
struct UsersProxy {
  std::string proxy = "", bypass = "", script = "";
  bool discover = false;
};

void SetUsersProxy(const UsersProxy& settings) {
  std::string blob;
  const auto dword = [&](std::uint32_t value) { blob.append(reinterpret_cast<const char*>(&value), 4); };
  dword(0x46);
  dword(1);
  dword(1 | (settings.proxy.empty() ? 0 : 2) | (settings.script.empty() ? 0 : 4) | (settings.discover ? 8 : 0));
  for (const std::string& text : {settings.proxy, settings.bypass, settings.script}) {
    dword(static_cast<std::uint32_t>(text.size()));
    blob += text;
  }
  blob.append(32, '\0');
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                            L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
                            nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(WindowsTransferTest, GoesThroughTheProxyOfTheUsersSettings) {
  const char* server = std::getenv("PELLARION_TEST_SERVER");
  ASSERT_NE(server, nullptr);
  // A host that no resolver knows: only a proxy (the tests' server, which
  // serves requests in absolute form) can fetch it. /proxy.pac names that
  // proxy; /nowhere.pac sends everything direct.
  const std::string url = "http://updates.pellarion.invalid/ok";
  struct Case {
    std::string name;
    UsersProxy settings;
    bool ok;
  } cases[] = {
      {"fixed proxy", {.proxy = server}, true},
      {"bypass list naming the host", {.proxy = server, .bypass = "*.invalid"}, false},
      {"no proxy set", {}, false},
      {"configuration script", {.script = Url("/proxy.pac")}, true},
      {"script says direct, fixed proxy ignored", {.proxy = server, .script = Url("/nowhere.pac")}, false},
      {"script missing: the fixed proxy", {.proxy = server, .script = Url("/status/404")}, true},
      {"nothing discovered: the fixed proxy", {.proxy = server, .discover = true}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUsersProxy(c.settings);
    fs::remove(target);
    bool ok = false;
    Fetch(url, {.connectSeconds = 2, .stallSeconds = 2}, ok);
    EXPECT_EQ(ok, c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(ReadAll(target), "hello, updater");
    }
  }
  SetUsersProxy({});
}

// The user's log-on goes to the update server's own host (its 401) and to
// the proxy the user's settings name (its 407), never to a host a redirect
// leads to or to a server that asks without a proxy configured. Seen at the
// server: a request answered with the log-on comes again; under Wine it
// comes without an Authorization header, as Wine's NTLM has no default
// credentials to send.
TEST_F(WindowsTransferTest, LogsOnOnlyToTheServersOwnHostAndTheConfiguredProxy) {
  const char* server = std::getenv("PELLARION_TEST_SERVER");
  ASSERT_NE(server, nullptr);
  const std::string port = std::string(server).substr(std::string(server).find(':'));
  const std::string own = "http://localhost" + port, other = "http://127.0.0.1" + port;
  // How many requests for /auth/ the server has seen.
  const auto asked = [&] {
    bool ok = false;
    const std::string saved = target;
    target = dir + "\\requests.txt";
    Fetch(other + "/requests", {.connectSeconds = 2}, ok);
    target = saved;
    const std::string list = ReadAll(dir + "\\requests.txt");
    int n = 0;
    for (std::size_t at = 0, end; at < list.size(); at = end + 1) {
      end = list.find('\n', at);
      std::string path = list.substr(at, end - at);
      if (path.rfind("http://", 0) == 0) path = path.substr(path.find('/', 7));  // as a proxy is asked
      n += path.rfind("/auth/", 0) == 0 ? 1 : 0;
    }
    return n;
  };
  struct Case {
    std::string name, url;
    UsersProxy settings;
    bool answered;  // the request came again, with the user's log-on
  } cases[] = {
      {"the update server's own host", own + "/auth/server", {}, true},
      {"a redirect to another host", own + "/to/" + other + "/auth/server", {}, false},
      {"a 407 without a proxy configured", own + "/auth/proxy", {}, false},
      {"the configured proxy", "http://updates.pellarion.invalid/auth/proxy", {.proxy = server}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUsersProxy(c.settings);
    const int before = asked();
    bool ok = false;
    Fetch(c.url, {.connectSeconds = 2, .stallSeconds = 2}, ok);
    SetUsersProxy({});
    EXPECT_EQ(asked() - before, c.answered ? 2 : 1);
  }
}

TEST_F(WindowsTransferTest, TheWindowAnswersAndStaysOpenDuringADownload) {
  ASSERT_NE(std::getenv("PELLARION_TEST_SERVER"), nullptr);
  WindowDesign design;
  design.caption = "download probe";
  design.clientWidth = 4000;
  design.clientHeight = 600;
  platform->ShowStatusWindow(design, {"...", 0});
  const HWND window = FindWindowW(L"OsmerinPellarionUpdaterStatus", L"download probe");
  ASSERT_NE(window, nullptr);
  // A thread that has not looked at its messages for 5 s counts as hung at
  // once: the earlier tests of this process did not pump, the run does.
  platform->Pump();

  // A probe as Windows' hung-window test makes it, every 100 ms while the
  // download runs; halfway it also asks the window to close.
  // Once the download is over the test stops pumping: a probe unanswered
  // then does not count.
  HungWindowProbe probe{window};
  const HANDLE thread = CreateThread(/*lpThreadAttributes=*/nullptr, 0, &HungWindowProbe::Run, &probe, 0,
                                     /*lpThreadId=*/nullptr);
  ASSERT_NE(thread, nullptr);
  bool ok = false;
  Fetch(Url("/trickle/25/100"), {.connectSeconds = 2, .stallSeconds = 2, .minBytesPerSecond = 1}, ok);
  probe.done = true;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_TRUE(ok);
  EXPECT_GE(probe.asked, 10);
  EXPECT_EQ(probe.unanswered, 0);
  EXPECT_TRUE(IsWindow(window)) << "closed while the run worked";
}

// HTTPS against a TLS server (its port in PELLARION_TLS_PORT) whose
// certificate for "localhost" nobody signed: it answers every request with a
// page, but the download must fail before taking it.
TEST_F(WindowsTransferTest, HttpsRefusesACertificateTheSystemDoesNotTrust) {
  const char* port = std::getenv("PELLARION_TLS_PORT");
  ASSERT_NE(port, nullptr);
  fs::remove(target);
  bool ok = true;
  Fetch(std::string("https://localhost:") + port + "/", {.connectSeconds = 5, .stallSeconds = 5}, ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(fs::exists(target));
}

// A DER signature around two INTEGERs given as their content bytes.
std::string Der(const std::string& r, const std::string& s) {
  const std::string body = std::string("\x02", 1) + static_cast<char>(r.size()) + r + "\x02" +
                           static_cast<char>(s.size()) + s;
  return std::string("\x30", 1) + static_cast<char>(body.size()) + body;
}

TEST(SignatureNumbersTest, TakesStrictDerOnlyAndRightAlignsTheNumbers) {
  const std::string r32(32, '\x11'), high = "\x00\x80" + std::string(31, '\x22');
  struct Case {
    std::string name, der;
    bool ok;
    std::string r, s;  // expected 32-byte numbers
  } cases[] = {
      {"two 32-byte numbers", Der(r32, r32), true, r32, r32},
      {"a high bit behind its zero byte", Der(std::string(1, '\x00') + "\x80" + std::string(31, '\x22'), r32), true,
       "\x80" + std::string(31, '\x22'), r32},
      {"short numbers", Der("\x01", "\x7f\x01"), true, std::string(31, '\0') + "\x01",
       std::string(30, '\0') + "\x7f\x01"},
      {"negative number", Der("\x80", r32), false, "", ""},
      {"zero byte not needed", Der(std::string("\x00\x01", 2), r32), false, "", ""},
      {"33 bytes without a zero", Der(std::string(33, '\x11'), r32), false, "", ""},
      {"trailing byte", Der(r32, r32) + "x", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto numbers = SignatureNumbers(c.der);
    ASSERT_EQ(numbers.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(std::string(numbers->begin(), numbers->begin() + 32), c.r);
    EXPECT_EQ(std::string(numbers->begin() + 32, numbers->end()), c.s);
  }
}

// Key and signatures made by the openssl command line before the suite runs:
// publisher.spki (DER), signed.bin (several MiB) with signed.sig, other.bin
// with other.sig.
// CNG's SHA-256 of a file of several MiB, read in pieces, against sha256sum's.
TEST_F(WindowsPlatformTest, Sha256IsTheDigestOfTheWholeFile) {
  std::string hex;
  for (const unsigned char byte : FileSha256(*platform, bin + "\\signed.bin")) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  EXPECT_EQ(hex + "\n", ReadAll(bin + "\\signed.sha256"));
}

TEST_F(WindowsPlatformTest, VerifySignatureAcceptsOnlyThePublishersSignatureOfThatFile) {
  const std::string key = ReadAll(bin + "\\publisher.spki");
  const std::string good = ReadAll(bin + "\\signed.sig"), other = ReadAll(bin + "\\other.sig");
  ASSERT_EQ(key.size(), 91u);
  ASSERT_FALSE(good.empty());
  std::string tampered = ReadAll(bin + "\\signed.bin");
  tampered[tampered.size() / 2] ^= 1;
  Write(dir + "\\tampered.bin", tampered);

  struct Case {
    std::string name, file, signature;
    bool valid;
  } cases[] = {
      {"good signature", bin + "\\signed.bin", good, true},
      {"one byte changed", dir + "\\tampered.bin", good, false},
      {"signature of another file", bin + "\\signed.bin", other, false},
      {"other file, its own signature", bin + "\\other.bin", other, true},
      {"signature cut short", bin + "\\signed.bin", good.substr(0, good.size() - 1), false},
      {"no signature", bin + "\\signed.bin", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform->VerifySignature(FileSha256(*platform, c.file), c.signature, key), c.valid);
  }

  // Cannot check: no file, a digest that is not SHA-256's, or a key that is
  // not an uncompressed P-256 key.
  EXPECT_THROW(FileSha256(*platform, dir + "\\missing.bin"), PlatformError);
  const std::string digest = FileSha256(*platform, bin + "\\signed.bin");
  EXPECT_THROW(platform->VerifySignature(digest.substr(1), good, key), PlatformError);
  std::string compressed = key;
  compressed[26] = 0x02;
  for (const std::string& bad : {key.substr(0, 90), compressed, std::string()}) {
    EXPECT_THROW(platform->VerifySignature(digest, good, bad), PlatformError);
  }
}

}  // namespace
}  // namespace pellarion
