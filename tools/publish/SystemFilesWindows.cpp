#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <memory>

#include "platform/windows/ScopedWin.h"
#include "platform/windows/WinText.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"

namespace pellarion::publish {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, DWORD error = GetLastError()) {
  throw PublishError("cannot " + what + " " + path + ": " + ErrorText(error));
}

struct LocalDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};

// A security descriptor whose protected access list lets only the user
// running the tool in (nothing inherited from the folder).
class OwnerOnlyAccess {
 public:
  OwnerOnlyAccess() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) Fail("read the user of", "this process");
    const ScopedHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    const auto buffer = std::make_unique<unsigned char[]>(size);
    if (!GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) Fail("read the user of", "this process");
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &sid)) {
      Fail("read the user of", "this process");
    }
    const std::unique_ptr<wchar_t, LocalDeleter> ownedSid(sid);
    const std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
      Fail("make the access list of", "a private file");
    }
    descriptor_.reset(descriptor);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
  }
  SECURITY_ATTRIBUTES* get() { return &attributes_; }

 private:
  std::unique_ptr<void, LocalDeleter> descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

HANDLE CreateNew(const std::string& path, Readers readers) {
  std::unique_ptr<OwnerOnlyAccess> access;
  if (readers == Readers::OwnerOnly) access = std::make_unique<OwnerOnlyAccess>();
  const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                  access ? access->get() : nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  /*hTemplateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail("create", path);
  return file;
}

void WriteAll(HANDLE file, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD wrote = 0;
    if (!WriteFile(file, data, piece, &wrote, /*lpOverlapped=*/nullptr) || wrote == 0) Fail("write", path);
    data += wrote;
    size -= wrote;
  }
}

// Writes a new file through `fill`, flushed; removes it when anything fails.
template <typename Fill>
void WriteFlushed(const std::string& path, Readers readers, Fill fill) {
  ScopedHandle file(CreateNew(path, readers));
  try {
    fill(file.get());
    if (!FlushFileBuffers(file.get())) Fail("flush", path);
  } catch (...) {
    file = ScopedHandle();
    DeleteFileW(Wide(path).c_str());
    throw;
  }
}

}  // namespace

void WriteNewFile(const std::string& path, const std::string& bytes, Readers readers) {
  WriteFlushed(path, readers, [&](HANDLE file) { WriteAll(file, bytes.data(), bytes.size(), path); });
}

void CopyToNewFile(const std::string& from, const std::string& to) {
  const ScopedHandle in(CreateFileW(Wide(from).c_str(), GENERIC_READ, FILE_SHARE_READ, /*lpSecurityAttributes=*/nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, /*hTemplateFile=*/nullptr));
  if (!in.valid()) Fail("read", from);
  WriteFlushed(to, Readers::Everyone, [&](HANDLE out) {
    const auto buffer = std::make_unique<char[]>(1 << 20);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(in.get(), buffer.get(), 1 << 20, &got, /*lpOverlapped=*/nullptr)) Fail("read", from);
      if (got == 0) break;
      WriteAll(out, buffer.get(), got, to);
    }
  });
}

std::string MakeUniqueFolder(const std::string& prefix, Readers readers) {
  std::unique_ptr<OwnerOnlyAccess> access;
  if (readers == Readers::OwnerOnly) access = std::make_unique<OwnerOnlyAccess>();
  // A name nobody has taken: the clock and the process make it unlikely to
  // be, and CreateDirectoryW refuses one that is.
  unsigned long long seed = GetTickCount64() * 2654435761ull ^ GetCurrentProcessId();
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix += "abcdefghijklmnopqrstuvwxyz0123456789"[(seed >> (20 + 5 * i)) % 36];
    const std::string path = prefix + suffix;
    if (CreateDirectoryW(Wide(path).c_str(), access ? access->get() : nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) Fail("create the folder", path);
  }
  Fail("create a folder", prefix + "...", ERROR_ALREADY_EXISTS);
}

std::string MakeTemporaryFolder(const std::string& name) {
  return MakeUniqueFolder((std::filesystem::temp_directory_path() / (name + "-")).string(), Readers::OwnerOnly);
}

void FlushFolder(const std::string&) {
  // Windows flushes no folder on request; NTFS logs its renames itself.
}

void MoveIntoPlace(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Fail("move into place", to);
  }
}

void RemoveIfThere(const std::string& path) {
  if (!DeleteFileW(Wide(path).c_str())) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) Fail("remove", path, error);
  }
}

}  // namespace pellarion::publish
