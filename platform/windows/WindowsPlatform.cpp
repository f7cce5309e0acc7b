// The Windows realisation of the platform, with Win32 and COM.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "platform/Digits.h"
#include "platform/Platform.h"
#include "platform/TemporaryFiles.h"
#include "platform/windows/CngSignature.h"
#include "platform/windows/DynamicFunctions.h"
#include "platform/windows/Firewall.h"
#include "platform/windows/PumpingWait.h"
#include "platform/windows/ScopedWin.h"
#include "platform/windows/StatusWindow.h"
#include "platform/windows/SystemDll.h"
#include "platform/windows/WinHttpDownload.h"
#include "platform/windows/WinText.h"

namespace pellarion {

namespace {

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) FailWithLastError("cannot read the executable's path", "");
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// Errors that mean "the drive or share is not there", as opposed to "no such
// file": the existence test fails on them instead of answering.
bool IsUnavailable(DWORD error) {
  switch (error) {
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NETNAME_DELETED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_DRIVE:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
      return true;
    default:
      return false;
  }
}

// Removes a folder and what it holds, going on past what cannot be removed
// and keeping the first error. A reparse point (junction, symbolic link) is
// removed itself and never entered: a junction in the cache must not lead the
// deletion into the folder it points at.
void RemoveTree(const std::wstring& folder, DWORD attributes, DWORD& firstError) {
  const auto failed = [&firstError] {
    if (firstError == ERROR_SUCCESS) firstError = GetLastError();
  };
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
      failed();
    } else {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L'\\' + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          RemoveTree(path, entry.dwFileAttributes, firstError);
          continue;
        }
        // Cached files are often read-only; that does not keep them.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
          SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        }
        if (!DeleteFileW(path.c_str())) failed();
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(folder.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!RemoveDirectoryW(folder.c_str())) failed();
}

bool DriveMissing(const std::wstring& path) {
  if (path.size() < 2 || path[1] != L':') return false;
  const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
  return GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR;
}

// Attributes the run never wants on a file it replaces, deletes or puts in
// place: Windows refuses to replace or delete a read-only file, and a share
// marks its files read-only, hidden or system as it likes.
constexpr DWORD kNotPlain = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Clears those attributes of a file (never of a folder or a reparse point,
// whose target SetFileAttributesW could reach); returns its attributes as
// they were, INVALID_FILE_ATTRIBUTES when there is none.
DWORD MakePlain(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotPlain) != 0 &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  return attributes;
}

// Refuses a handle that is not a plain file of its own: a reparse point (a
// symbolic link, a junction) opened as itself, a folder, a file with other
// names (hard links).
BY_HANDLE_FILE_INFORMATION PlainFileInformation(HANDLE file, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) FailWithLastError("cannot read the state of", path);
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    throw PlatformError("not a plain file of its own (a link, a folder or a hard link): " + path);
  }
  return info;
}

void WriteAll(HANDLE file, const char* data, std::size_t size, const std::string& path) {
  DWORD written = 0;
  if (!WriteFile(file, data, static_cast<DWORD>(size), &written, /*lpOverlapped=*/nullptr) || written != size) {
    FailWithLastError("cannot write", path);
  }
}

// Opens a file to read, refusing at once what is not a file on a disk (a
// pipe, a device; CreateFileW refuses a folder). `share`: what others may do
// with the file meanwhile; never write.
ScopedHandle OpenForReading(const std::string& path, DWORD share) {
  ScopedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, share, /*lpSecurityAttributes=*/nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, /*hTemplateFile=*/nullptr));
  if (!file.valid()) FailWithLastError("cannot open", path);
  if (GetFileType(file.get()) != FILE_TYPE_DISK) throw PlatformError("not a regular file: " + path);
  return file;
}

// The program starts in its own folder, where it expects its files.
void StartProcess(const std::string& path, WindowState state) {
  const std::wstring program = Wide(path);
  std::wstring commandLine = L"\"" + program + L"\"";
  const auto slash = program.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"" : program.substr(0, slash);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = state == WindowState::Minimised ? SW_SHOWMINIMIZED : SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), /*lpProcessAttributes=*/nullptr,
                      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE,
                      /*dwCreationFlags=*/0, /*lpEnvironment=*/nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    FailWithLastError("cannot start", path);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Writes a download in large pieces, in order.
class HandleOutput : public OutputFile {
 public:
  HandleOutput(ScopedHandle file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  // Setting aside the whole size up front keeps the file in few pieces and
  // finds a full disk before the transfer rather than at its end; where the
  // file system declines, only the hint is lost.
  void Reserve(std::int64_t totalBytes) override {
    FILE_ALLOCATION_INFO reserve{};
    reserve.AllocationSize.QuadPart = totalBytes;
    if (!SetFileInformationByHandle(file_.get(), FileAllocationInfo, &reserve, sizeof reserve) &&
        GetLastError() == ERROR_DISK_FULL) {
      FailWithLastError("no room on the volume for", path_);
    }
  }
  // Pieces of a few MiB at most: one call writes each whole.
  void Write(const char* data, std::size_t size) override { WriteAll(file_.get(), data, size, path_); }
  void Flush() override {
    if (!FlushFileBuffers(file_.get())) FailWithLastError("cannot flush", path_);
  }

 private:
  ScopedHandle file_;
  std::string path_;
};

// The folder part of a path, with its trailing backslash.
std::wstring FolderOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
}

using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);

// A file read through its handle. One class for plain and program files
// (OpenInput's callers see only an InputFile): one copy of the code.
class HandleFile : public ProgramFile {
 public:
  HandleFile(ScopedHandle file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    DWORD read = 0;
    const DWORD want = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!ReadFile(file_.get(), buffer, want, &read, /*lpOverlapped=*/nullptr)) {
      FailWithLastError("cannot read", path_);
    }
    return read;
  }
  std::uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) FailWithLastError("cannot read the length of", path_);
    return static_cast<std::uint64_t>(size.QuadPart);
  }
  // A synchronous handle reads at the offset an OVERLAPPED names.
  std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      OVERLAPPED at{};
      const std::uint64_t position = offset + done;
      at.Offset = static_cast<DWORD>(position);
      at.OffsetHigh = static_cast<DWORD>(position >> 32);
      const std::size_t left = size - done;
      DWORD read = 0;
      if (!ReadFile(file_.get(), buffer + done, left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left),
                    &read, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        FailWithLastError("cannot read", path_);
      }
      if (read == 0) break;
      done += read;
    }
    return done;
  }

  // The name is opened as itself (a reparse point is not followed) and the
  // two compared by the file index, which names a file on its volume. The
  // volumes are not compared: what opens under a name of the folder the
  // held file was made in (never a folder, so never a mount point) lies on
  // that folder's volume, and Wine reports the volume of a file renamed
  // since it was opened as 0.
  bool IsFileAt(const std::string& path) override {
    ScopedHandle named(CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                   /*hTemplateFile=*/nullptr));
    BY_HANDLE_FILE_INFORMATION mine{}, theirs{};
    return named.valid() && GetFileInformationByHandle(file_.get(), &mine) &&
           GetFileInformationByHandle(named.get(), &theirs) && mine.nFileIndexHigh == theirs.nFileIndexHigh &&
           mine.nFileIndexLow == theirs.nFileIndexLow;
  }

  // Held without write or delete sharing (OpenProgram), the file cannot be
  // changed, renamed or replaced while it is read and while CreateProcessW
  // opens it by its path (the loader's own open shares reading, so it is
  // let in).
  void Start(WindowState state) override { StartProcess(path_, state); }

 private:
  ScopedHandle file_;
  std::string path_;
};

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4];
  const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
  return n > 0 && n < std::size(full) ? std::wstring(full, n) : path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// EnumWindows' callback for RequestClose: WM_CLOSE to each top-level window
// of the process `pid`. A named CALLBACK function, because a lambda converts
// only to the default calling convention, which is not stdcall on 32-bit
// Windows.
struct CloseSearch {
  DWORD pid;
  int asked = 0;
};

BOOL CALLBACK AskToClose(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<CloseSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->pid && GetWindow(window, GW_OWNER) == nullptr &&
      PostMessageW(window, WM_CLOSE, 0, 0)) {
    ++search->asked;
  }
  return TRUE;
}

class WindowsPlatform : public Platform {
 public:
  WindowsPlatform() : exePath_(ModulePath()) {}

  std::string AppDir() override {
    return Utf8(exePath_.substr(0, exePath_.find_last_of(L"\\/")));
  }

  std::string ExeName() override {
    std::wstring name = exePath_.substr(exePath_.find_last_of(L"\\/") + 1);
    const auto dot = name.rfind(L'.');
    return Utf8(dot == std::wstring::npos ? name : name.substr(0, dot));
  }

  // A lock file beside the updater rather than a named mutex, which any
  // user of the machine could create first: only a user who may write the
  // folder can create the file, and while a run holds it (no sharing) no one
  // else can open it. Windows deletes it when the process ends, however it
  // ends. A reparse point in its place is opened as itself, so that it is
  // the link that goes at the end, never a file it leads to.
  bool PreviousInstance() override {
    if (instance_.valid()) return false;
    const std::wstring lock = exePath_.substr(0, exePath_.find_last_of(L"\\/")) + L"\\update.lock";
    ScopedHandle file(CreateFileW(lock.c_str(), GENERIC_READ | DELETE, /*dwShareMode=*/0,
                                  /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                                  /*hTemplateFile=*/nullptr));
    if (!file.valid()) {
      // Held, or there and not this user's to open (another user's run, or
      // one that is just ending): another run's.
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION ||
          (error == ERROR_ACCESS_DENIED && GetFileAttributesW(lock.c_str()) != INVALID_FILE_ATTRIBUTES)) {
        return true;
      }
      SetLastError(error);
      FailWithLastError("cannot open the instance lock", Utf8(lock));
    }
    instance_ = std::move(file);  // held until the process ends
    return false;
  }

  [[noreturn]] void EndRun(int exitCode) override { ExitProcess(static_cast<UINT>(exitCode)); }

  // The run waits, but the window keeps painting: a text set just before a
  // pause (the success text stays for three seconds) is seen during it.
  void Pause(int milliseconds) override {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(milliseconds > 0 ? milliseconds : 0);
    for (;;) {
      Pump();
      const ULONGLONG now = GetTickCount64();
      if (now >= end) return;
      MsgWaitForMultipleObjects(0, /*pHandles=*/nullptr, /*fWaitAll=*/FALSE, static_cast<DWORD>(end - now),
                                QS_ALLINPUT);
    }
  }

  // GetTickCount64 rather than std::chrono's clock, which would link a POSIX
  // clock emulation into the program.
  std::int64_t MonotonicMs() override { return static_cast<std::int64_t>(GetTickCount64()); }

  std::int64_t UtcSeconds() override {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    // 100-nanosecond ticks since 1601-01-01; 1970 is 11,644,473,600 s later.
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000u) - 11644473600LL;
  }

  std::string LocalTime() override {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    TIME_ZONE_INFORMATION zone{};
    LONG bias = 0;  // minutes to add to local time to get UTC
    switch (GetTimeZoneInformation(&zone)) {
      case TIME_ZONE_ID_DAYLIGHT: bias = zone.Bias + zone.DaylightBias; break;
      case TIME_ZONE_ID_STANDARD: bias = zone.Bias + zone.StandardBias; break;
      case TIME_ZONE_ID_UNKNOWN: bias = zone.Bias; break;
      default: FailWithLastError("cannot read the time zone", "");
    }
    const LONG offset = -bias;
    const unsigned long away = static_cast<unsigned long>(offset < 0 ? -offset : offset);
    // One string grown field by field: a chain of + would make a temporary
    // per field.
    const struct {
      unsigned long value;
      int digits;
      char after;
    } fields[] = {{local.wYear, 4, '-'},  {local.wMonth, 2, '-'},  {local.wDay, 2, 'T'},
                  {local.wHour, 2, ':'},  {local.wMinute, 2, ':'}, {local.wSecond, 2, offset < 0 ? '-' : '+'},
                  {away / 60, 2, ':'},    {away % 60, 2, '\0'}};
    std::string text;
    for (const auto& field : fields) {
      text += DecimalDigits(field.value, field.digits);
      if (field.after != '\0') text += field.after;
    }
    return text;
  }

  std::string UserName() override {
    wchar_t name[257];
    DWORD size = 257;
    if (!GetUserNameW(name, &size)) FailWithLastError("cannot read the user name", "");
    return Utf8(name);
  }

  std::string RandomBytes(std::size_t count) override {
    std::string bytes(count, '\0');
    const NTSTATUS status =
        Bcrypt().BCryptGenRandom(/*hAlgorithm=*/nullptr, reinterpret_cast<unsigned char*>(bytes.data()),
                                 static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) throw PlatformError("no random bytes from the system");
    return bytes;
  }

  // The 64-bit view (KEY_WOW64_64KEY): a 32-bit updater on 64-bit Windows
  // would otherwise read WOW6432Node, where administrators' policies are
  // not. RegGetValueW ends a text with its zero, and refuses other types and
  // values longer than the room given; RRF_NOEXPAND makes it refuse a
  // REG_EXPAND_SZ too, which it would fill in from the environment of
  // whoever started the updater.
  std::string PolicyValue(const std::string& name) override {
    ScopedRegistryKey key;
    wchar_t data[1024];
    DWORD type = 0, size = sizeof data;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Osmerin\\Pellarion Updater",
                                   /*ulOptions=*/0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    if (status == ERROR_SUCCESS) {
      status = RegGetValueW(key.get(), /*lpSubKey=*/nullptr, Wide(name).c_str(),
                            RRF_RT_REG_SZ | RRF_RT_REG_DWORD | RRF_NOEXPAND, &type, data, &size);
    }
    if (status != ERROR_SUCCESS) {
      SetLastError(static_cast<DWORD>(status));
      FailWithLastError("cannot read the policy value", name);
    }
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    return type == REG_DWORD ? std::to_string(number) : Utf8(data);
  }

  bool FileExists(const std::string& path) override {
    const std::wstring wide = Wide(path);
    if (DriveMissing(wide)) throw PlatformError("drive unavailable: " + path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (IsUnavailable(GetLastError())) FailWithLastError("unavailable:", path);
      return false;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  // The bytes are copied by hand rather than by CopyFileW, which would carry
  // the source's attributes (read-only, hidden, system) over to the copy.
  void CopyFileTo(const std::string& from, const std::string& to) override {
    ReplaceThroughNewFile(to, OpenInput(from).get(), "");
  }

  void RemoveFile(const std::string& path) override {
    const std::wstring file = Wide(path);
    const DWORD attributes = MakePlain(file);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      throw PlatformError("cannot delete a folder as a file: " + path);
    }
    if (!DeleteFileW(file.c_str())) FailWithLastError("cannot delete", path, /*deniedMeansInUse=*/true);
  }

  // MoveFileExW replaces in one step. A running executable cannot be
  // replaced, but it can be renamed: then the old file is moved aside, the
  // new one moved in, and on failure the old one moved back. What another
  // process holds open without delete sharing cannot be renamed either:
  // that is FileInUseError, for the caller to try again.
  void MoveReplacing(const std::string& from, const std::string& to) override {
    const std::wstring source = Wide(from), target = Wide(to);
    const DWORD attributes = MakePlain(source);
    if (attributes == INVALID_FILE_ATTRIBUTES) FailWithLastError("cannot move", from);
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      throw PlatformError("not a plain file: " + from);
    }
    MakePlain(target);
    constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(source.c_str(), target.c_str(), kFlags)) return;
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
      SetLastError(error);
      FailWithLastError("cannot move " + from + " onto", to);
    }
    const std::wstring aside = target + Wide(kAsideSuffix);
    // Left by an earlier swap (made writable, as it may be read-only);
    // harmless when absent.
    MakePlain(aside);
    DeleteFileW(aside.c_str());
    if (!MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
      FailWithLastError("cannot move aside", to, /*deniedMeansInUse=*/true);
    }
    if (!MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      const DWORD moveError = GetLastError();
      MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
      SetLastError(moveError);
      FailWithLastError("cannot move " + from + " onto", to, /*deniedMeansInUse=*/true);
    }
    DeleteFileW(aside.c_str());  // fails while the old image still runs
  }

  void WriteRecord(const std::string& path, const std::string& text) override {
    ReplaceThroughNewFile(path, /*source=*/nullptr, text);
  }

  std::int64_t FileLength(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      FailWithLastError("cannot read the length of", path);
    }
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  void AppendToFile(const std::string& path, const std::string& text) override { AppendToLog(path, text, -1); }

  // A reparse point (a symbolic link, a junction) is opened as itself and
  // refused, never followed; so is a file with other names (hard links).
  void AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) override {
    const std::wstring file = Wide(path);
    for (bool movedAside = false;;) {
      ScopedHandle handle(CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      /*hTemplateFile=*/nullptr));
      if (!handle.valid()) FailWithLastError("cannot open for appending", path);
      const BY_HANDLE_FILE_INFORMATION info = PlainFileInformation(handle.get(), path);
      const std::int64_t size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
      if (moveAsideAt >= 0 && size >= moveAsideAt && !movedAside) {
        // MoveFileExW follows no link on either side (the open handle lets
        // the file be renamed). When it cannot be done the log grows on
        // rather than stops.
        movedAside = true;
        if (MoveFileExW(file.c_str(), (file + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) continue;
      }
      WriteAll(handle.get(), text.data(), text.size(), path);
      return;
    }
  }

  std::string NativePath(const std::string& path) override { return path; }

  std::vector<std::string> ListFiles(const std::string& folder) override {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((Wide(folder) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) FailWithLastError("cannot list", folder);
    std::vector<std::string> names;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(Utf8(found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

  std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
    return std::make_unique<HandleFile>(OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_DELETE), path);
  }

  void DeleteFolder(const std::string& path) override {
    const std::wstring folder = Wide(path);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      throw NotThereError("no such folder: " + path);
    }
    DWORD error = ERROR_SUCCESS;
    RemoveTree(folder, attributes, error);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      FailWithLastError("cannot delete all of", path);
    }
  }

  std::unique_ptr<Sha256> StartSha256() override { return StartCngSha256(); }

  bool VerifySignature(const std::string& sha256Digest, const std::string& derSignature,
                       const std::string& spkiDer) override {
    return VerifyDigestSignature(sha256Digest, derSignature, spkiDer);
  }

  // A new file replaces what bore the name by deleting it (a reparse point
  // as itself), so nothing that was there is ever written; CREATE_NEW then
  // makes sure the file written is the one just created. A kept file is
  // opened as itself and refused when it is a reparse point.
  std::unique_ptr<OutputFile> OpenOutput(const std::string& path, std::int64_t keepBytes) override {
    const std::wstring name = Wide(path);
    if (keepBytes == 0) {
      MakePlain(name);
      if (!DeleteFileW(name.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        FailWithLastError("cannot replace", path, /*deniedMeansInUse=*/true);
      }
    }
    ScopedHandle file(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, /*lpSecurityAttributes=*/nullptr,
                                  keepBytes > 0 ? OPEN_EXISTING : CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr));
    if (!file.valid()) FailWithLastError("cannot create", path);
    const BY_HANDLE_FILE_INFORMATION info = PlainFileInformation(file.get(), path);
    if (keepBytes > 0) {
      LARGE_INTEGER at{};
      at.QuadPart = keepBytes;
      if ((static_cast<std::int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) < keepBytes) {
        throw PlatformError("fewer bytes than kept in " + path);
      }
      if (!SetFilePointerEx(file.get(), at, /*lpNewFilePointer=*/nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) {
        FailWithLastError("cannot cut", path);
      }
    }
    return std::make_unique<HandleOutput>(std::move(file), path);
  }

  VolumeSpace SpaceOf(const std::string& path) override {
    ULARGE_INTEGER available{}, total{};
    if (!GetDiskFreeSpaceExW(FolderOf(Wide(path)).c_str(), &available, &total, /*lpTotalNumberOfFreeBytes=*/nullptr)) {
      FailWithLastError("cannot read the free space of", path);
    }
    return {static_cast<std::int64_t>(available.QuadPart), static_cast<std::int64_t>(total.QuadPart)};
  }

  // The transfer runs on a worker thread while this one keeps the window
  // answering, so that Windows never marks it "Not Responding"; the run
  // itself still waits here until the transfer has ended.
  void Transfer(const TransferRequest& request, TransferSink& sink) override {
    RunWhilePumping([&] { WinHttpTransfer(request, sink); }, [this] { Pump(); });
  }

  // The version as the kernel gives it (RtlGetVersion is not subject to the
  // compatibility shims that make GetVersionEx lie to programs without a
  // manifest naming the newest Windows), and the machine's own processor,
  // also for a 32-bit updater running on a 64-bit or ARM system.
  SystemDescription DescribeSystem() override {
    SystemDescription description{"Windows", "unknown"};
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (rtlGetVersion != nullptr && rtlGetVersion(&version) == 0) {
      for (const DWORD part : {version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber}) {
        description.system += description.system.size() == 7 ? ' ' : '.';
        description.system += std::to_string(part);
      }
    }
    USHORT process = 0, machine = 0;
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &process, &machine)) {
      SYSTEM_INFO info{};
      GetNativeSystemInfo(&info);
      machine = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? IMAGE_FILE_MACHINE_AMD64
                : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? IMAGE_FILE_MACHINE_ARM64
                : info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? IMAGE_FILE_MACHINE_I386
                                                                              : 0;
    }
    switch (machine) {
      case IMAGE_FILE_MACHINE_I386: description.architecture = "x86"; break;
      case IMAGE_FILE_MACHINE_AMD64: description.architecture = "x64"; break;
      case IMAGE_FILE_MACHINE_ARM64: description.architecture = "arm64"; break;
      default: break;
    }
    return description;
  }

  void StartProgram(const std::string& path, WindowState state) override { StartProcess(path, state); }

  std::unique_ptr<ProgramFile> OpenProgram(const std::string& path) override {
    return std::make_unique<HandleFile>(OpenForReading(path, FILE_SHARE_READ), path);
  }

  // Toolhelp lists every process with its image name; under Wine it is also
  // the route that works (WMI's Terminate method is not implemented there).
  // A process of that name is one of ours only when its executable's full
  // path is the wanted file, compared without regard to case as Windows
  // compares paths. One that cannot be opened to ask (another user's) could
  // not be stopped either, and is left out.
  std::vector<ProcessEntry> ProcessQuery(const std::string& executablePath) override {
    const std::wstring wanted = FullPath(Wide(executablePath));
    const std::wstring wantedName = wanted.substr(wanted.find_last_of(L"\\/") + 1);
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) FailWithLastError("cannot list processes", "");
    const DWORD self = GetCurrentProcessId();
    std::vector<ProcessEntry> found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == self || !SamePath(entry.szExeFile, wantedName)) continue;
      ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*bInheritHandle=*/FALSE,
                                       entry.th32ProcessID));
      if (!process.valid()) continue;
      wchar_t image[MAX_PATH * 4];
      DWORD size = static_cast<DWORD>(std::size(image));
      if (!QueryFullProcessImageNameW(process.get(), /*dwFlags=*/0, image, &size)) continue;
      if (SamePath(FullPath(std::wstring(image, size)), wanted)) {
        found.push_back({static_cast<std::int64_t>(entry.th32ProcessID), Utf8(entry.szExeFile)});
      }
    }
    return found;
  }

  // WM_CLOSE to each of the process's top-level windows, as the close button
  // sends it: the application may save its work or ask the user first.
  void RequestClose(std::int64_t id) override {
    CloseSearch search{static_cast<DWORD>(id)};
    EnumWindows(AskToClose, reinterpret_cast<LPARAM>(&search));
    if (search.asked == 0) throw PlatformError("no window to close in process " + std::to_string(id));
  }

  void TerminateProcessById(std::int64_t id) override {
    ScopedHandle process(OpenProcess(PROCESS_TERMINATE, /*bInheritHandle=*/FALSE, static_cast<DWORD>(id)));
    if (!process.valid()) FailWithLastError("cannot open process", std::to_string(id));
    if (!TerminateProcess(process.get(), /*uExitCode=*/1)) {
      FailWithLastError("cannot stop process", std::to_string(id));
    }
  }

  bool WaitForProcessesToEnd(const std::vector<std::int64_t>& ids, int milliseconds) override {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds > 0 ? milliseconds : 0);
    bool all = true;
    for (const std::int64_t id : ids) {
      ScopedHandle process(OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, static_cast<DWORD>(id)));
      if (!process.valid()) continue;  // already gone
      const ULONGLONG now = GetTickCount64();
      if (WaitForSingleObject(process.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0) !=
          WAIT_OBJECT_0) {
        all = false;
      }
    }
    return all;
  }

  void FirewallAddApplication(FirewallProfile profile, const FirewallRule& rule) override {
    AddFirewallApplication(profile, rule);
  }

  void ShowStatusWindow(const WindowDesign& design, const StatusLine& line) override {
    window_.Show(design, line);
  }
  void UpdateStatus(const StatusLine& line) override { window_.Update(line); }

  void Pump() override {
    MSG msg;
    while (PeekMessageW(&msg, /*hWnd=*/nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  // The messages are Arabic: read right to left and aligned to the right.
  void ShowMessage(const std::string& text, const std::string& title) override {
    if (MessageBoxW(window_.Handle(), Wide(text).c_str(), Wide(title).c_str(),
                    MB_OK | MB_ICONINFORMATION | MB_RTLREADING | MB_RIGHT) == 0) {
      FailWithLastError("cannot show the message", title);
    }
  }

  void ResetMousePointer() override { SetCursor(LoadCursorW(nullptr, IDC_ARROW)); }

  void WaitForWindowClose() override { window_.RunUntilClosed(); }

 private:
  // A new file beside `to` under a temporary name of it (kCopySuffix and six
  // random letters or digits), created new and shared with no one, filled
  // with the bytes of `source` or else with `text`, put on the disk and
  // moved over `to` (a read-only `to` made writable first; a reparse point
  // there is replaced, never followed). The file has plain attributes and
  // the access the folder passes on. Nothing stays beside `to` when it fails.
  void ReplaceThroughNewFile(const std::string& to, InputFile* source, const std::string& text) {
    const std::wstring target = Wide(to);
    std::wstring temp = target + Wide(kCopySuffix);
    for (const char byte : RandomBytes(6)) {
      temp.push_back(L"0123456789abcdefghijklmnopqrstuvwxyz"[static_cast<unsigned char>(byte) % 36]);
    }
    ScopedHandle out(CreateFileW(temp.c_str(), GENERIC_WRITE, /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!out.valid()) FailWithLastError("cannot create a file beside", to);
    try {
      if (source != nullptr) {
        std::string buffer(1 << 16, '\0');
        while (const std::size_t read = source->Read(buffer.data(), buffer.size())) {
          WriteAll(out.get(), buffer.data(), read, to);
        }
      } else {
        WriteAll(out.get(), text.data(), text.size(), to);
      }
      if (!FlushFileBuffers(out.get())) FailWithLastError("cannot flush a file beside", to);
      out = ScopedHandle();
      MakePlain(target);
      if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        FailWithLastError("cannot replace", to, /*deniedMeansInUse=*/true);
      }
    } catch (...) {
      out = ScopedHandle();
      DeleteFileW(temp.c_str());
      throw;
    }
  }

  ScopedCom com_;
  std::wstring exePath_;
  ScopedHandle instance_;
  StatusWindow window_;
};

}  // namespace

// The DLL search is restricted before the platform starts COM or anything
// else that could load a DLL.
std::unique_ptr<Platform> CreateSystemPlatform() {
  RestrictDllSearch();
  return std::make_unique<WindowsPlatform>();
}

}  // namespace pellarion
