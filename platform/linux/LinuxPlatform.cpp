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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
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
#include "platform/linux/InstanceLock.h"
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
  throw PlatformError(message);
}

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

class FdInputFile : public InputFile {
 public:
  FdInputFile(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
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

 private:
  Fd fd_;
  std::string path_;
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
    while (size > 0) {
      const ssize_t n = ::write(fd_.get(), data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail("cannot write", path_);
      data += n;
      size -= static_cast<std::size_t>(n);
      at_ += n;
    }
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

  // An abstract socket named after the executable's full path: the kernel
  // releases the name when the process dies, however it dies.
  bool PreviousInstance() override {
    if (instanceSocket_ >= 0) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("cannot create instance lock for", exePath_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = InstanceLockName(exePath_);
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
      instanceSocket_ = fd;  // held until the process ends
      return false;
    }
    const int error = errno;
    ::close(fd);
    if (error == EADDRINUSE) return true;
    Fail("cannot take instance lock for", exePath_, error);
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

  bool FileExists(const std::string& path) override {
    const MappedPath mapped = MapWindowsPath(path);
    if (!mapped.driveRoot.empty() && !IsDirectory(mapped.driveRoot)) {
      throw PlatformError("drive unavailable: " + path);
    }
    struct stat st;
    return ::stat(mapped.path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  // Copies into a temporary file beside the destination and renames it over
  // the destination, so the destination is never half written.
  void CopyFileTo(const std::string& from, const std::string& to) override {
    const std::string source = MapWindowsPath(from).path;
    const std::string target = MapWindowsPath(to).path;
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0) Fail("cannot open", source);
    if (S_ISDIR(st.st_mode)) Fail("cannot copy a folder", source, EISDIR);
    if (IsDirectory(target)) Fail("cannot replace a folder", target, EISDIR);
    std::string temp = target + kCopySuffix + "XXXXXX";
    Fd out(::mkstemp(temp.data()));
    if (out.get() < 0) Fail("cannot create", target);
    try {
      char buffer[1 << 16];
      for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("cannot read", source);
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
          const ssize_t w = ::write(out.get(), buffer + done, static_cast<std::size_t>(n - done));
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) Fail("cannot write", target);
          done += w;
        }
      }
      if (::fchmod(out.get(), st.st_mode & 07777) != 0) Fail("cannot set permissions of", target);
      if (::fsync(out.get()) != 0) Fail("cannot flush", target);
      if (::rename(temp.c_str(), target.c_str()) != 0) Fail("cannot replace", target);
    } catch (...) {
      ::unlink(temp.c_str());
      throw;
    }
  }

  void RemoveFile(const std::string& path) override {
    const std::string target = MapWindowsPath(path).path;
    if (IsDirectory(target)) Fail("cannot delete a folder as a file", target, EISDIR);
    if (::unlink(target.c_str()) != 0) Fail("cannot delete", target);
  }

  // rename(2) replaces the target atomically, even a running executable.
  // The new file takes the permission bits of the regular file it replaces,
  // so an application that could be started still can after its update.
  // Neither side is followed when it is a link: a link at `to` is replaced
  // and lends no mode, a link at `from` is moved as it is.
  void MoveReplacing(const std::string& from, const std::string& to) override {
    const std::string source = MapWindowsPath(from).path;
    const std::string target = MapWindowsPath(to).path;
    if (IsDirectory(source) || IsDirectory(target)) Fail("cannot replace with or onto a folder", target, EISDIR);
    struct stat old;
    if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
        ::fchmodat(AT_FDCWD, source.c_str(), old.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno != EOPNOTSUPP) {
      Fail("cannot set permissions of", source);
    }
    if (::rename(source.c_str(), target.c_str()) != 0) Fail("cannot move " + source + " onto", target);
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
      // O_NONBLOCK: a FIFO put in its place must not hold the run.
      Fd fd(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
      if (fd.get() < 0) Fail("cannot open for appending", file);
      struct stat st;
      if (::fstat(fd.get(), &st) != 0) Fail("cannot read the state of", file);
      if (!S_ISREG(st.st_mode)) Fail("not a plain file:", file, EINVAL);
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
      for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("cannot write", file);
        done += static_cast<std::size_t>(n);
      }
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
    if (IsDirectory(mapped)) Fail("cannot read a folder", mapped, EISDIR);
    Fd fd(::open(mapped.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) Fail("cannot open", mapped);
    return std::make_unique<FdInputFile>(std::move(fd), mapped);
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
    if (IsDirectory(mapped)) Fail("cannot write a folder", path, EISDIR);
    // A link put in the place of a download's file is not followed.
    Fd fd(::open(mapped.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (keepBytes > 0 ? 0 : O_TRUNC), 0644));
    if (fd.get() < 0) Fail("cannot create", path);
    if (keepBytes > 0) {
      struct stat st;
      if (::fstat(fd.get(), &st) != 0) Fail("cannot read the length of", path);
      if (st.st_size < keepBytes) Fail("fewer bytes than kept in", path, ENODATA);
      if (::ftruncate(fd.get(), keepBytes) != 0 || ::lseek(fd.get(), keepBytes, SEEK_SET) != keepBytes) {
        Fail("cannot cut", path);
      }
    }
    return std::make_unique<FdOutputFile>(std::move(fd), path, keepBytes);
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

  // posix_spawn, no shell. The program gets a session of its own and no share
  // of our terminal or pipes, so it outlives the updater and never holds a
  // reader of our output open.
  void StartProgram(const std::string& path, WindowState) override {
    const std::string program = MapWindowsPath(path).path;
    if (::access(program.c_str(), X_OK) != 0) Fail("cannot start", program);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd = 0; fd <= 2; ++fd) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) Fail("cannot start", program, error);
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
  int instanceSocket_ = -1;
  TerminalWindow window_;
};

}  // namespace

std::unique_ptr<Platform> CreateSystemPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace pellarion
