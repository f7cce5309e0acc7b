// The Linux realisation of the platform: the layer that stands in for Windows
// so the same run can be built, run and tested natively.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <pwd.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"
#include "platform/linux/CurlDownload.h"
#include "platform/linux/OpenSslSignature.h"
#include "platform/linux/PathMapping.h"
#include "platform/linux/TerminalWindow.h"

extern char** environ;

namespace pellarion {

namespace {

// `path` is the file as this system names it (a mapped path), so that the
// log names the file the run really used.
[[noreturn]] void Fail(const std::string& what, const std::string& path, int error = errno) {
  const std::string message = what + " " + path + ": " + std::strerror(error);
  if (error == ENOENT || error == ENOTDIR) throw NotThereError(message);
  // A program that runs cannot be written: in use, for a moment or a while.
  if (error == ETXTBSY) throw FileInUseError(message);
  throw PlatformError(message);
}

// The single-instance lock beside the updater; see Platform::PreviousInstance.
constexpr const char* kLockName = "/update.lock";

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot write", path);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Opens `path` without waiting on what bears the name (O_NONBLOCK: a FIFO
// without a writer would hold the run for ever) and keeps it only when it is
// a regular file; reads and writes then wait as usual. `state` receives
// what fstat says of it.
Fd OpenRegular(const std::string& path, int flags, struct stat& state, mode_t mode = 0) {
  Fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
  if (fd.get() < 0) Fail("cannot open", path);
  if (::fstat(fd.get(), &state) != 0) Fail("cannot read the state of", path);
  if (S_ISDIR(state.st_mode)) Fail("cannot open", path, EISDIR);
  if (!S_ISREG(state.st_mode)) throw PlatformError("not a regular file (a FIFO, socket or device): " + path);
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) Fail("cannot set the mode of", path);
  return fd;
}

// Modes of the files the updater puts in place: a program (.exe or .bin)
// may be run by anyone, nothing may be written by others or be set-id.
mode_t ModeLimit(const std::string& path) {
  const std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : "";
  return EqualIgnoringCase(tail, ".exe") || EqualIgnoringCase(tail, ".bin") ? 0755 : 0644;
}

// The file put in place of `target` keeps what the replaced regular file
// allowed (an application that could be started still can; one kept from
// others stays so), within the limit.
mode_t PlacedMode(const std::string& target) {
  struct stat old;
  const mode_t limit = ModeLimit(target);
  return ::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? old.st_mode & limit : limit;
}

// A new file beside `target` under a temporary name of it, filled by
// `fill(fd, name)`, given `mode`, put on the disk and renamed over `target`
// (a link there is replaced, never followed). mkostemp creates it 0600 and
// new (O_EXCL): nobody else can write it at any time. Nothing stays beside
// `target` when it fails.
template <typename Fill>
void ReplaceThroughNewFile(const std::string& target, mode_t mode, Fill fill) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Fail("cannot replace a folder", target, EISDIR);
  std::string temp = target + kCopySuffix + "XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) Fail("cannot create", temp);
  try {
    fill(out.get(), temp);
    if (::fchmod(out.get(), mode) != 0) Fail("cannot set permissions of", temp);
    if (::fsync(out.get()) != 0) Fail("cannot flush", temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) Fail("cannot replace", target);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

// Reading a file through its descriptor, for plain files and program files.
template <typename Base>
class FdReader : public Base {
 public:
  FdReader(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) Fail("cannot read", path_);
    }
  }
  std::uint64_t Size() override {
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) Fail("cannot read the length of", path_);
    return static_cast<std::uint64_t>(st.st_size);
  }
  std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail("cannot read", path_);
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }
  bool IsFileAt(const std::string& path) override {
    struct stat mine, named;
    return ::fstat(fd_.get(), &mine) == 0 && ::lstat(MapWindowsPath(path).path.c_str(), &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
  }

 protected:
  Fd fd_;
  std::string path_;
};

// posix_spawn, no shell. The program gets a session of its own and no share
// of our terminal or pipes, so it outlives the updater and never holds a
// reader of our output open. `file` is what is executed, `shown` its argv[0].
void Spawn(const std::string& file, const std::string& shown) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  char* argv[] = {const_cast<char*>(shown.c_str()), nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, file.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) Fail("cannot start", shown, error);
}

// A program started from its open descriptor: /proc/self/fd/N names the
// open file itself in the starting process, whatever its path names by then,
// and the started program's /proc/self/exe is still the file's own path.
class FdProgramFile : public FdReader<ProgramFile> {
 public:
  using FdReader::FdReader;
  void Start(WindowState) override { Spawn("/proc/self/fd/" + std::to_string(fd_.get()), path_); }
};

// Writes a download: large pieces in order, with writeback started every few
// MiB so that the flush at the end finds little left to write and the disk
// works while the network does.
class FdOutputFile : public OutputFile {
 public:
  FdOutputFile(Fd fd, std::string path, std::int64_t at) : fd_(std::move(fd)), path_(std::move(path)), at_(at), flushedTo_(at) {}

  // Reserving the whole size up front keeps the file in few extents and
  // finds a full disk before the transfer rather than at its end. The file's
  // length stays what has been written, so a cut transfer still shows.
  void Reserve(std::int64_t totalBytes) override {
    if (totalBytes > at_ && ::fallocate(fd_.get(), FALLOC_FL_KEEP_SIZE, 0, totalBytes) != 0 && errno == ENOSPC) {
      Fail("no room on the volume for", path_);
    }
  }

  void Write(const char* data, std::size_t size) override {
    WriteAll(fd_.get(), data, size, path_);
    at_ += static_cast<std::int64_t>(size);
    if (at_ - flushedTo_ >= kWritebackChunk) {
      ::sync_file_range(fd_.get(), flushedTo_, at_ - flushedTo_, SYNC_FILE_RANGE_WRITE);
      flushedTo_ = at_;
    }
  }

  void Flush() override {
    if (::fsync(fd_.get()) != 0) Fail("cannot flush", path_);
  }

 private:
  static constexpr std::int64_t kWritebackChunk = 4 << 20;
  Fd fd_;
  std::string path_;
  std::int64_t at_, flushedTo_;
};

// Through syscall(2): the C library's declarations of these are not usable
// from C++ on every system we build on.
int PidfdOpen(std::int64_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)); }
int PidfdSignal(int fd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0));
}

// A zombie has ended already: only its parent's reaping is left.
bool HasEnded(const std::string& pid) {
  char stat[512] = {};
  Fd fd(::open(("/proc/" + pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  const ssize_t n = fd.get() >= 0 ? ::read(fd.get(), stat, sizeof stat - 1) : -1;
  if (n <= 0) return true;  // gone while we looked
  const char* close = std::strrchr(stat, ')');  // the command name may hold anything
  return close != nullptr && (close[2] == 'Z' || close[2] == 'X');
}

// The full path of a process's executable; empty where it cannot be read (a
// process of another user, which this updater could not stop anyway). A file
// replaced while the process runs still names the path it was started from.
std::string ExecutablePath(const std::string& pid) {
  std::error_code ec;
  std::string exe = std::filesystem::read_symlink("/proc/" + pid + "/exe", ec).string();
  if (ec) return "";
  static const std::string kDeleted = " (deleted)";
  if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    exe.resize(exe.size() - kDeleted.size());
  }
  return exe;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class LinuxPlatform : public Platform {
 public:
  LinuxPlatform()
      : window_(stdout, ::isatty(STDOUT_FILENO) == 1, stdin, ::isatty(STDIN_FILENO) == 1) {
    std::error_code ec;
    exePath_ = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  }

  std::string AppDir() override {
    const auto slash = exePath_.rfind('/');
    if (exePath_.empty() || slash == std::string::npos) throw PlatformError("no executable path");
    return slash == 0 ? "" : exePath_.substr(0, slash);
  }

  std::string ExeName() override {
    std::string name = exePath_.substr(exePath_.rfind('/') + 1);
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  }

  // flock rather than a name in a namespace every user shares: only a user
  // who may write the folder can create the lock file, and only one who can
  // open it can lock it; the kernel releases the lock when the process dies,
  // however it dies.
  bool PreviousInstance() override {
    if (lock_.get() >= 0) return false;
    const std::string lock = AppDir() + kLockName;
    Fd fd(::open(lock.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st;
    if (fd.get() < 0) {
      // Another user's lock, which this user may not open: theirs to hold.
      if (errno == EACCES && ::lstat(lock.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
      Fail("cannot open the instance lock", lock);
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) Fail("not a plain file:", lock, EINVAL);
    // Whoever can open the file can lock it: it stays this user's alone.
    if (st.st_uid == ::geteuid() && (st.st_mode & 0077) != 0 && ::fchmod(fd.get(), 0600) != 0) {
      Fail("cannot set permissions of", lock);
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      lock_ = std::move(fd);  // held until the process ends
      return false;
    }
    if (errno == EWOULDBLOCK) return true;
    Fail("cannot lock", lock);
  }

  [[noreturn]] void EndRun(int exitCode) override {
    window_.Flush();
    std::fflush(stderr);
    ::_exit(exitCode);
  }

  void Pause(int milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

  std::int64_t MonotonicMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
  }

  std::int64_t UtcSeconds() override { return static_cast<std::int64_t>(std::time(nullptr)); }

  std::string LocalTime() override {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) Fail("cannot read the local time", "");
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);  // ...+0200
    std::string stamp = text;
    if (stamp.size() >= 5) stamp.insert(stamp.size() - 2, ":");  // +02:00
    return stamp;
  }

  std::string UserName() override {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr) {
      return pw->pw_name;
    }
    throw PlatformError("no log-on name for this user");
  }

  std::string RandomBytes(std::size_t count) override {
    std::string bytes(count, '\0');
    for (std::size_t done = 0; done < count;) {
      const ssize_t n = ::getrandom(bytes.data() + done, count - done, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail("no random bytes from the system", "");
      done += static_cast<std::size_t>(n);
    }
    return bytes;
  }

  std::string PolicyValue(const std::string& name) override {
    throw NotThereError("no policy settings on this system: " + name);
  }

  bool FileExists(const std::string& path) override {
    const MappedPath mapped = MapWindowsPath(path);
    if (!mapped.driveRoot.empty() && !IsDirectory(mapped.driveRoot)) {
      throw PlatformError("drive unavailable: " + path);
    }
    struct stat st;
    return ::stat(mapped.path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  // The source is read in whole into a new file of the updater's own, so
  // nothing of its mode or owner comes along.
  void CopyFileTo(const std::string& from, const std::string& to) override {
    const std::string source = MapWindowsPath(from).path;
    const std::string target = MapWindowsPath(to).path;
    struct stat st;
    const Fd in = OpenRegular(source, O_RDONLY, st);
    ReplaceThroughNewFile(target, ModeLimit(target), [&](int out, const std::string& temp) {
      char buffer[1 << 16];
      for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("cannot read", source);
        if (n == 0) break;
        WriteAll(out, buffer, static_cast<std::size_t>(n), temp);
      }
    });
  }

  void RemoveFile(const std::string& path) override {
    const std::string target = MapWindowsPath(path).path;
    if (IsDirectory(target)) Fail("cannot delete a folder as a file", target, EISDIR);
    if (::unlink(target.c_str()) != 0) Fail("cannot delete", target);
  }

  // rename(2) replaces the target atomically, even a running executable,
  // and follows no link on either side. The mode is set on the moved file
  // through its own descriptor (never through a link), then that file is
  // renamed.
  void MoveReplacing(const std::string& from, const std::string& to) override {
    const std::string source = MapWindowsPath(from).path;
    const std::string target = MapWindowsPath(to).path;
    if (IsDirectory(target)) Fail("cannot replace a folder", target, EISDIR);
    struct stat st;
    const Fd moved = OpenRegular(source, O_RDONLY | O_NOFOLLOW, st);
    if (st.st_uid != ::geteuid()) throw PlatformError("not a file of this user: " + source);
    const mode_t mode = PlacedMode(target);
    if ((st.st_mode & 07777) != mode && ::fchmod(moved.get(), mode) != 0) Fail("cannot set permissions of", source);
    if (::rename(source.c_str(), target.c_str()) != 0) Fail("cannot move " + source + " onto", target);
  }

  void WriteRecord(const std::string& path, const std::string& text) override {
    const std::string target = MapWindowsPath(path).path;
    ReplaceThroughNewFile(target, 0644, [&](int out, const std::string& temp) {
      WriteAll(out, text.data(), text.size(), temp);
    });
    // The rename is on the disk only once the folder is.
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) Fail("cannot flush the folder of", target);
  }

  std::int64_t FileLength(const std::string& path) override {
    struct stat st;
    const std::string mapped = MapWindowsPath(path).path;
    if (::stat(mapped.c_str(), &st) != 0) Fail("cannot read the length of", mapped);
    if (S_ISDIR(st.st_mode)) Fail("not a file:", mapped, EISDIR);
    return static_cast<std::int64_t>(st.st_size);
  }

  void AppendToFile(const std::string& path, const std::string& text) override { AppendToLog(path, text, -1); }

  // The file is opened without following a link and checked on its
  // descriptor, so nothing outside the folder is ever written or changed.
  void AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) override {
    const std::string file = MapWindowsPath(path).path;
    for (bool movedAside = false;;) {
      struct stat st;
      const Fd fd = OpenRegular(file, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, st, 0644);
      if (st.st_nlink != 1) Fail("a file with other names (hard links):", file, EMLINK);
      // Never a file that others could write or that could be run.
      constexpr mode_t kUnwanted = S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH | S_IXUSR | S_IXGRP | S_IXOTH;
      if ((st.st_mode & kUnwanted) != 0 && ::fchmod(fd.get(), st.st_mode & 0644) != 0) {
        Fail("cannot set permissions of", file);
      }
      if (moveAsideAt >= 0 && st.st_size >= moveAsideAt && !movedAside) {
        // rename(2) follows no link on either side. When it cannot be done
        // the log grows on rather than stops.
        movedAside = true;
        if (::rename(file.c_str(), (file + ".1").c_str()) == 0) continue;
      }
      WriteAll(fd.get(), text.data(), text.size(), file);
      return;
    }
  }

  std::string NativePath(const std::string& path) override { return MapWindowsPath(path).path; }

  std::vector<std::string> ListFiles(const std::string& folder) override {
    const std::string mapped = MapWindowsPath(folder).path;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(mapped.c_str()), ::closedir);
    if (!dir) Fail("cannot list", mapped);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir.get())) {
      struct stat st;
      if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        names.push_back(e->d_name);
      }
    }
    return names;
  }

  std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
    const std::string mapped = MapWindowsPath(path).path;
    struct stat st;
    return std::make_unique<FdReader<InputFile>>(OpenRegular(mapped, O_RDONLY, st), mapped);
  }

  void DeleteFolder(const std::string& path) override {
    const std::string mapped = MapWindowsPath(path).path;
    if (!IsDirectory(mapped)) Fail("no such folder", mapped, ENOENT);
    std::error_code ec;
    std::filesystem::remove_all(mapped, ec);
    if (ec) throw PlatformError("cannot delete " + mapped + ": " + ec.message());
  }

  std::unique_ptr<Sha256> StartSha256() override { return StartOpenSslSha256(); }

  bool VerifySignature(const std::string& sha256Digest, const std::string& derSignature,
                       const std::string& spkiDer) override {
    return VerifyDigestSignature(sha256Digest, derSignature, spkiDer);
  }

  std::unique_ptr<OutputFile> OpenOutput(const std::string& path, std::int64_t keepBytes) override {
    const std::string mapped = MapWindowsPath(path).path;
    if (IsDirectory(mapped)) Fail("cannot write a folder", mapped, EISDIR);
    // A new file replaces what bore the name by deleting it (a link as the
    // link), so nothing that was there is ever written; O_EXCL then makes
    // sure the file written is the one just created.
    if (keepBytes == 0 && ::unlink(mapped.c_str()) != 0 && errno != ENOENT) Fail("cannot replace", mapped);
    struct stat st;
    Fd fd = OpenRegular(mapped, O_WRONLY | O_NOFOLLOW | (keepBytes > 0 ? 0 : O_CREAT | O_EXCL), st, 0600);
    if (st.st_uid != ::geteuid() || st.st_nlink != 1) {
      throw PlatformError("not a file of this user alone (another's, or one with other names): " + mapped);
    }
    if ((st.st_mode & 07777 & ~0600) != 0 && ::fchmod(fd.get(), st.st_mode & 0600) != 0) {
      Fail("cannot set permissions of", mapped);
    }
    if (keepBytes > 0) {
      if (st.st_size < keepBytes) Fail("fewer bytes than kept in", mapped, ENODATA);
      if (::ftruncate(fd.get(), keepBytes) != 0 || ::lseek(fd.get(), keepBytes, SEEK_SET) != keepBytes) {
        Fail("cannot cut", mapped);
      }
    }
    return std::make_unique<FdOutputFile>(std::move(fd), mapped, keepBytes);
  }

  VolumeSpace SpaceOf(const std::string& path) override {
    std::string folder = MapWindowsPath(path).path;
    if (!IsDirectory(folder)) folder = folder.substr(0, folder.rfind('/') == 0 ? 1 : folder.rfind('/'));
    struct statvfs vfs;
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &vfs) != 0) Fail("cannot read the free space of", path);
    return {static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize),
            static_cast<std::int64_t>(vfs.f_blocks) * static_cast<std::int64_t>(vfs.f_frsize)};
  }

  void Transfer(const TransferRequest& request, TransferSink& sink) override { CurlTransfer(request, sink); }

  // "Linux 6.1.0" from the kernel's release ("6.1.0-18-amd64"), and its
  // machine name ("x86_64").
  SystemDescription DescribeSystem() override {
    utsname names{};
    if (::uname(&names) != 0) Fail("cannot name the system", "");
    std::string release = names.release;
    release.resize(release.find_first_not_of("0123456789.") == std::string::npos
                       ? release.size()
                       : release.find_first_not_of("0123456789."));
    return {std::string(names.sysname) + " " + release, names.machine};
  }

  void StartProgram(const std::string& path, WindowState) override {
    const std::string program = MapWindowsPath(path).path;
    if (::access(program.c_str(), X_OK) != 0) Fail("cannot start", program);
    Spawn(program, program);
  }

  std::unique_ptr<ProgramFile> OpenProgram(const std::string& path) override {
    const std::string mapped = MapWindowsPath(path).path;
    struct stat st;
    return std::make_unique<FdProgramFile>(OpenRegular(mapped, O_RDONLY, st), mapped);
  }

  // The kernel names a process's executable by its real path; the wanted
  // file's folder is resolved the same way, and the names are compared
  // without regard to case, as every name here.
  std::vector<ProcessEntry> ProcessQuery(const std::string& executablePath) override {
    const std::string mapped = MapWindowsPath(executablePath).path;
    const auto slash = mapped.rfind('/');
    std::error_code ec;
    const std::string folder =
        std::filesystem::canonical(slash == 0 ? "/" : mapped.substr(0, slash), ec).string();
    if (ec) return {};  // no such folder: nothing runs from it
    const std::string name = mapped.substr(slash + 1);
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) Fail("cannot list processes in", "/proc");
    std::vector<ProcessEntry> found;
    const std::int64_t self = ::getpid();
    while (const dirent* e = ::readdir(proc.get())) {
      char* end = nullptr;
      const long long pid = std::strtoll(e->d_name, &end, 10);
      if (pid <= 0 || *end != '\0' || pid == self) continue;
      const std::string exe = ExecutablePath(e->d_name);
      const auto exeSlash = exe.rfind('/');
      if (exeSlash == std::string::npos || exe.substr(0, exeSlash == 0 ? 1 : exeSlash) != folder) continue;
      const std::string exeName = exe.substr(exeSlash + 1);
      if (EqualIgnoringCase(exeName, name) && !HasEnded(e->d_name)) found.push_back({pid, exeName});
    }
    return found;
  }

  void RequestClose(std::int64_t id) override {
    const int fd = PidfdOpen(id);
    if (fd < 0) Fail("cannot open process", std::to_string(id));
    const Fd owner(fd);
    if (PidfdSignal(fd, SIGTERM) != 0) Fail("cannot ask to close: process", std::to_string(id));
  }

  // SIGKILL through a pidfd, so a recycled process id is never hit.
  void TerminateProcessById(std::int64_t id) override {
    const int fd = PidfdOpen(id);
    if (fd < 0) Fail("cannot open process", std::to_string(id));
    const Fd owner(fd);
    if (PidfdSignal(fd, SIGKILL) != 0) Fail("cannot stop process", std::to_string(id));
  }

  bool WaitForProcessesToEnd(const std::vector<std::int64_t>& ids, int milliseconds) override {
    std::vector<Fd> owners;
    std::vector<pollfd> waiting;
    for (const std::int64_t id : ids) {
      const int fd = PidfdOpen(id);
      if (fd < 0) continue;  // already gone
      owners.emplace_back(fd);
      waiting.push_back({fd, POLLIN, 0});
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!waiting.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      if (::poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0 && errno != EINTR) {
        Fail("cannot wait for processes", "");
      }
      // A pidfd is readable once its process has ended (a zombie has ended).
      std::erase_if(waiting, [](const pollfd& p) { return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0; });
    }
    return true;
  }

  void FirewallAddApplication(FirewallProfile, const FirewallRule&) override {
    throw NotThereError("no Windows Firewall on this system");
  }

  void ShowStatusWindow(const WindowDesign&, const StatusLine& line) override { window_.Show(line); }
  void UpdateStatus(const StatusLine& line) override { window_.Update(line); }
  void Pump() override { window_.Flush(); }
  void ShowMessage(const std::string& text, const std::string& title) override {
    window_.Message(text, title);
  }
  void ResetMousePointer() override {}
  void WaitForWindowClose() override { window_.WaitForClose(); }

 private:
  std::string exePath_;
  Fd lock_;
  TerminalWindow window_;
};

}  // namespace

std::unique_ptr<Platform> CreateSystemPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace pellarion
