#include "platform/linux/PathMapping.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace pellarion {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The entry of `dir` whose name equals `name` without regard to case.
std::string FindIgnoringCase(const std::string& dir, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.empty() ? "." : dir.c_str()), ::closedir);
  if (!d) return {};
  while (const dirent* e = ::readdir(d.get())) {
    if (EqualIgnoringCase(name, e->d_name)) return e->d_name;
  }
  return {};
}

}  // namespace

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

MappedPath MapWindowsPath(const std::string& windowsPath) {
  std::string p = windowsPath;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  MappedPath out;
  std::string current;
  std::size_t pos = 0;
  const bool hasDrive = p.size() >= 2 && p[1] == ':' &&
                        ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
  if (hasDrive) {
    const char letter = static_cast<char>(p[0] & ~0x20);
    const std::string variable = std::string("PELLARION_DRIVE_") + letter;
    const char* mapped = std::getenv(variable.c_str());
    out.driveRoot = (mapped != nullptr && *mapped != '\0')
                        ? std::string(mapped)
                        : std::string("/mnt/") + Lower(letter);
    current = out.driveRoot;
    pos = 2;
  } else if (!p.empty() && p[0] == '/') {
    current = "/";
  }

  bool resolving = true;  // false once a component matched nothing
  while (pos <= p.size()) {
    const std::size_t slash = p.find('/', pos);
    const std::string name = p.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    pos = slash == std::string::npos ? p.size() + 1 : slash + 1;
    if (name.empty() || name == ".") continue;
    std::string next = Join(current, name);
    if (resolving && name != ".." && !Exists(next)) {
      const std::string match = FindIgnoringCase(current, name);
      if (!match.empty()) {
        next = Join(current, match);
      } else {
        resolving = false;
      }
    }
    current = next;
  }
  out.path = current.empty() ? "." : current;
  return out;
}

}  // namespace pellarion
