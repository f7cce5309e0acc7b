#include "tools/publish/TreeWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/publish/PublisherKeys.h"

namespace pellarion::publish {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw PublishError("cannot " + what + " " + path + ": " + std::strerror(errno));
}

// Flushes a file or folder to disk, so a rename that follows never makes an
// empty or half-written file visible after a power cut.
void Sync(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open", path);
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!synced) Fail("flush", path);
}

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) Fail("write", path);
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

void Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) Fail("move into place", to);
}

std::string Normalised(const std::string& path) {
  fs::path p = fs::absolute(path).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  return p.string();
}

}  // namespace

StagingTree::StagingTree(const std::string& destination) : destination_(Normalised(destination)) {
  const fs::path target(destination_);
  if (fs::exists(target) && !fs::is_directory(target)) {
    throw PublishError(destination_ + " is not a folder");
  }
  std::error_code error;
  fs::create_directories(target.parent_path(), error);
  if (error) throw PublishError("cannot create " + target.parent_path().string() + ": " + error.message());
  std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".staging-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) Fail("create a folder beside", destination_);
  root_ = pattern;
  // mkdtemp makes the folder private; the tree is for a web server or a
  // share to read, so it gets the modes of any folder the user creates.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::chmod(root_.c_str(), 0777 & ~mask) != 0) Fail("set the mode of", root_);
}

StagingTree::~StagingTree() {
  if (root_.empty()) return;
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string StagingTree::PathOf(const std::string& relative) const { return root_ + "/" + relative; }

void StagingTree::MakeSubfolder(const std::string& relative) {
  const std::string sub = relative.substr(0, relative.find('/'));
  if (subfolder_.empty()) {
    subfolder_ = sub;
    if (::mkdir(PathOf(sub).c_str(), 0777) != 0) Fail("create", PathOf(sub));
  } else if (sub != subfolder_) {
    throw PublishError("one staged tree has one subfolder, not " + sub + " beside " + subfolder_);
  }
}

void StagingTree::WriteIn(const std::string& relative, const std::string& bytes) {
  MakeSubfolder(relative);
  const std::string path = PathOf(relative);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) Fail("create", path);
  try {
    WriteAll(fd, bytes.data(), bytes.size(), path);
    if (::fsync(fd) != 0) Fail("flush", path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) Fail("write", path);
}

void StagingTree::CopyIn(const std::string& from, const std::string& relative) {
  MakeSubfolder(relative);
  const std::string path = PathOf(relative);
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail("read", from);
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    ::close(in);
    Fail("create", path);
  }
  try {
    std::string buffer(1 << 20, '\0');
    for (;;) {
      const ssize_t got = ::read(in, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) Fail("read", from);
      if (got == 0) break;
      WriteAll(out, buffer.data(), static_cast<std::size_t>(got), path);
    }
    if (::fsync(out) != 0) Fail("flush", path);
  } catch (...) {
    ::close(in);
    ::close(out);
    throw;
  }
  ::close(in);
  if (::close(out) != 0) Fail("write", path);
}

void StagingTree::MoveIntoPlace(const std::vector<std::string>& order, const std::vector<std::string>& stale) {
  if (subfolder_.empty()) throw PublishError("nothing was staged");
  const std::string parent = fs::path(destination_).parent_path().string();
  const std::string sub = destination_ + "/" + subfolder_;
  Sync(PathOf(subfolder_));
  Sync(root_);
  if (!fs::exists(destination_)) {
    Rename(root_, destination_);
    root_.clear();
    Sync(parent);
    return;
  }
  if (!fs::exists(sub)) {
    Rename(PathOf(subfolder_), sub);
    Sync(destination_);
    return;
  }
  for (const auto& relative : order) Rename(PathOf(relative), destination_ + "/" + relative);
  for (const auto& relative : stale) {
    const std::string path = destination_ + "/" + relative;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail("remove the stale", path);
  }
  Sync(sub);
}

}  // namespace pellarion::publish
