#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"

namespace pellarion::publish {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error = errno) {
  throw PublishError("cannot " + what + " " + path + ": " + std::strerror(error));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes it; false when the last writes failed.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) Fail("write", path);
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

int CreateNew(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) Fail("create", path);
  return fd;
}

// Flushes and closes a new file; removes it when that fails.
void Finish(Descriptor& out, const std::string& path) {
  const bool flushed = ::fsync(out.get()) == 0;
  const int error = errno;
  if (!out.Close() || !flushed) {
    ::unlink(path.c_str());
    Fail("write", path, flushed ? errno : error);
  }
}

}  // namespace

void WriteNewFile(const std::string& path, const std::string& bytes, Readers readers) {
  Descriptor out(CreateNew(path, readers == Readers::OwnerOnly ? 0600 : 0666));
  try {
    WriteAll(out.get(), bytes.data(), bytes.size(), path);
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
  Finish(out, path);
}

void CopyToNewFile(const std::string& from, const std::string& to) {
  const Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) Fail("read", from);
  Descriptor out(CreateNew(to, 0666));
  try {
    std::string buffer(1 << 20, '\0');
    for (;;) {
      const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) Fail("read", from);
      if (got == 0) break;
      WriteAll(out.get(), buffer.data(), static_cast<std::size_t>(got), to);
    }
  } catch (...) {
    ::unlink(to.c_str());
    throw;
  }
  Finish(out, to);
}

std::string MakeUniqueFolder(const std::string& prefix, Readers readers) {
  std::string pattern = prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("create a folder", prefix + "...");
  if (readers == Readers::Everyone) {
    // mkdtemp makes the folder private; a staged tree is for a web server
    // or a share to read, so it gets the modes of any folder the user makes.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(pattern.c_str(), 0777 & ~mask) != 0) Fail("set the mode of", pattern);
  }
  return pattern;
}

std::string MakeTemporaryFolder(const std::string& name) {
  return MakeUniqueFolder((std::filesystem::temp_directory_path() / (name + "-")).string(), Readers::OwnerOnly);
}

void FlushFolder(const std::string& path) {
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) Fail("open", path);
  if (::fsync(fd.get()) != 0) Fail("flush", path);
}

void MoveIntoPlace(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) Fail("move into place", to);
}

void RemoveIfThere(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail("remove", path);
}

}  // namespace pellarion::publish
