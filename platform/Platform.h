// The operating-system seam of the updater. Every effect the update run has on
// the machine (files, processes, the window, the firewall, downloads) goes
// through one Platform. Windows and Linux each have a realisation chosen by the
// build; the tests use an in-memory fake and a fault-injecting wrapper.
//
// Every operation fails the same way: it throws PlatformError (or one of the
// classes below, which say more). The run's continue-on-error rule swallows
// that failure and goes on with its next step, so the caller's variables keep
// their previous values.
//
// Files the platform creates are the updater's own: on Linux owned by the
// user it runs as and writable by that user alone, never set-id; on Windows
// with plain attributes (no read-only, hidden or system) and the access the
// folder passes on. Nothing is taken over from the file copied or replaced.
// Files it opens are opened without waiting: a FIFO, socket, device or
// folder in a file's place is refused at once.
//
// Paths are the run's own Windows-style texts ("C:\Pellarion\update.txt",
// AppDir & "\format.dll"); a realisation maps them to its file system. Names
// are compared without regard to case. Method names avoid the macros of
// <windows.h> (CopyFile, DeleteFile, MessageBox...), which is also why this
// header does not include it.
#pragma once

#include <cstdint>
#include <memory>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "platform/Transfer.h"

namespace pellarion {

// The failure of a platform operation, with a short English text that says
// what failed and why. (A std::exception of its own rather than a
// std::runtime_error: the Windows program does without the library's
// exception classes, see platform/windows/LibraryThrows.cpp.)
class PlatformError : public std::exception {
 public:
  explicit PlatformError(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

// The failure of an operation on a file, folder or facility that is not
// there (a missing file or folder, or a folder on its way that is missing;
// on Linux also the Windows Firewall). Often expected: the run deletes what
// may be missing, so the log does not call it a failure.
class NotThereError : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

// The failure to replace or delete a file because another process holds it
// open (Windows: a sharing or lock violation, or access denied on a file that
// is there, as an antivirus scanner's handle makes them; Linux: a program
// file that runs, where writing it is refused). Often over in a moment, so
// the caller may try again; the file is as it was.
class FileInUseError : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

// A colour in &H00BBGGRR order: blue in the high byte, red in the low byte.
// This is also the layout of a Win32 COLORREF.
using Colour = std::uint32_t;

// Window states for StartProgram.
enum class WindowState { Normal = 1, Minimised = 2 };

// The two firewall profiles the updater registers itself in.
enum class FirewallProfile { Current, Standard };

// One authorized-application entry of the Windows Firewall.
struct FirewallRule {
  std::string name;
  int ipVersion = 2;               // any IP version
  std::string processImageFileName;
  std::string remoteAddresses = "*";
  int scope = 0;                   // all addresses
  bool enabled = true;
};

// Geometry of the status window, in twips from the client area's top-left
// corner (1440 twips to the inch; 15 to the pixel at 96 dots per inch).
struct TwipRect {
  int left, top, width, height;
};

struct FrameLine {
  int x1, y1, x2, y2;
  Colour colour;
  int widthPixels;
};

// Everything a realisation needs to draw the status window.
struct WindowDesign {
  std::string caption;
  int clientWidth = 0, clientHeight = 0;  // twips
  Colour background = 0;
  TwipRect label{};
  std::string fontFace;
  int fontPointsTimes100 = 0;  // 975 for 9.75 pt
  int fontWeight = 0;
  int fontCharset = 0;
  std::vector<FrameLine> lines;
};

// The line of status text as the user sees it.
struct StatusLine {
  std::string text;
  Colour colour = 0;
};

// A running process as the system lists it.
struct ProcessEntry {
  std::int64_t id = 0;
  std::string imageName;
};

// Reading a file's bytes, in order or at given offsets.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes into `buffer`; returns how many were read, 0 at
  // the end of the file. Throws PlatformError on a read error.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  // Length of the file in bytes.
  virtual std::uint64_t Size() = 0;
  // Reads up to `size` bytes from `offset`; returns how many were read, fewer
  // only at the end of the file. Throws PlatformError on a read error. Not
  // to be mixed with Read on the same file: it may move the read position.
  virtual std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t size) = 0;
  // True when `path`, a name in the folder this file was made in or moved
  // to, names the very file read here (Linux: the same device and inode;
  // Windows: the same file index), never through a link; false when it
  // names another file or none. Never fails.
  virtual bool IsFileAt(const std::string& path) = 0;
};

// A program file held open from the moment it is opened until the object
// goes: what is read through it and what Start starts are the same file, even
// when its name is given to another file in between (Linux starts the open
// file itself; on Windows no other process may write, rename or delete it
// while it is held).
class ProgramFile : public InputFile {
 public:
  // Starts the file held, in its own folder, and returns at once, as
  // Platform::StartProgram does; fails (PlatformError) when it cannot be
  // started (on Linux also when it is not executable).
  virtual void Start(WindowState state) = 0;
};

// SHA-256 of bytes given in pieces, by the system's cryptography.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  // Adds the next `size` bytes; fails (PlatformError) when the system cannot.
  virtual void Add(const void* data, std::size_t size) = 0;
  // The digest of everything added: 32 bytes. Nothing may be added after it.
  virtual std::string Finish() = 0;
};

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // --- The running program ---
  // Folder of the running executable, without a trailing backslash.
  virtual std::string AppDir() = 0;
  // File name of the running executable without folder and extension.
  virtual std::string ExeName() = 0;
  // The single-instance lock of the updater's folder: false when this run
  // has taken it (and holds it until the process ends, however it ends),
  // true when another run holds it, whatever executable of this folder
  // started that run. The lock is a file beside the executable,
  // update.lock, created when missing; only a user who may write the
  // folder can create or hold it. Linux: a file of this run's user (0600,
  // never through a link) locked with flock; one that this user cannot
  // open (another user's) counts as held. It stays when the run ends.
  // Windows: opened without sharing and deleted when its last handle
  // closes; one that is there but cannot be opened counts as held. Fails
  // (PlatformError) when the lock file cannot be created (a folder this
  // user cannot write) or is no plain file.
  virtual bool PreviousInstance() = 0;
  // Ends the process at once with `exitCode`; nothing after it runs.
  [[noreturn]] virtual void EndRun(int exitCode) = 0;
  // Blocks the run for the given time.
  virtual void Pause(int milliseconds) = 0;
  // A steady clock in milliseconds, for measuring how long something takes:
  // it never goes back, whatever happens to the time of day.
  virtual std::int64_t MonotonicMs() = 0;
  // Now, in seconds since 1970-01-01 00:00 UTC.
  virtual std::int64_t UtcSeconds() = 0;
  // Log-on name of the current user.
  virtual std::string UserName() = 0;
  // `count` bytes from the system's random number generator, fit for keys
  // and names no one may guess; fails when the system cannot give them.
  virtual std::string RandomBytes(std::size_t count) = 0;
  // A setting the machine's administrators made for the updater by policy:
  // on Windows the value `name` of the key "Osmerin\Pellarion Updater"
  // under HKEY_LOCAL_MACHINE\SOFTWARE\Policies (its 64-bit view, also for
  // the 32-bit program), a REG_SZ as its text and a REG_DWORD as its
  // decimal digits.
  // NotThereError when the key or the value is missing (on Linux, always);
  // PlatformError when it cannot be read or is of another type.
  virtual std::string PolicyValue(const std::string& name) = 0;
  // The local date and time with its offset from UTC, to the second:
  // "2026-12-08T10:35:13+02:00".
  virtual std::string LocalTime() = 0;

  // --- Files ---
  // True when a file of that name exists, false when it does not; fails when
  // the drive or share holding it is unavailable.
  virtual bool FileExists(const std::string& path) = 0;
  // Copies the bytes of `from` into a new file beside `to` (a temporary
  // name of `to`, see TemporaryFiles.h) and puts it in place of `to` in one
  // step. The copy gets the updater's own mode, never the source's: on
  // Linux 0755 for a program (a name ending in .exe or .bin), 0644 for
  // anything else; on Windows plain attributes and the folder's access.
  // Fails if the source is missing or no regular file (refused at once, never
  // waited on), or `to` cannot be replaced (a read-only `to` is made
  // writable first on Windows; FileInUseError when another process holds
  // it); nothing is then left beside `to`.
  virtual void CopyFileTo(const std::string& from, const std::string& to) = 0;
  // Deletes one file (on Windows a read-only one too). Fails if it is
  // missing (NotThereError) or a folder; FileInUseError when another process
  // holds it open.
  virtual void RemoveFile(const std::string& path) = 0;
  // Puts `from` in place of `to` in one step, replacing it: at every moment
  // `to` names a complete file, the old one or the new one. The file put in
  // place gets the updater's own mode: on Linux the mode of the regular file
  // it replaces, or else 0755 for a program (.exe, .bin) and 0644 for
  // anything else, at most 0755 or 0644 and never set-id; on Windows plain
  // attributes, and a read-only `to` is made writable first. On Windows an
  // executable that runs is renamed to `to` + ".old" first and that file
  // deleted when it can be (a read-only one left by an earlier run too).
  // `from` must be a regular file (never a link), on Linux one of this
  // user. Fails if `from` is missing or `to` cannot be replaced; on Windows
  // with FileInUseError when another process holds either open. Both are
  // then as they were.
  virtual void MoveReplacing(const std::string& from, const std::string& to) = 0;
  // Replaces `path` with a file holding exactly `text`, durably: the text is
  // written to a new temporary file beside it (a temporary name of `path`),
  // put on the disk, renamed over `path` (a link there is replaced, never
  // followed) and the folder's entry put on the disk too. A reader sees the
  // old record or the new one whole, never a part, also after a power cut.
  // The record is 0644 on Linux, plain on Windows. Fails when it cannot be
  // written or put on the disk; no temporary file stays, and a failure
  // before the rename leaves `path` as it was.
  virtual void WriteRecord(const std::string& path, const std::string& text) = 0;
  // Length in bytes; fails if the file is missing.
  virtual std::int64_t FileLength(const std::string& path) = 0;
  // Adds `text` at the end of a file, creating it when it is missing; fails
  // when it cannot be written. Never through a link: when `path` is a
  // symbolic link (a reparse point on Windows), a file with other names too
  // (hard links) or no regular file, it fails and no file elsewhere is
  // touched. On Linux a file that others could write or run, or set-id, is
  // made readable only.
  virtual void AppendToFile(const std::string& path, const std::string& text) = 0;
  // AppendToFile for a log kept short: when the file already holds
  // `moveAsideAt` bytes or more, it is first renamed to `path` + ".1",
  // replacing what bears that name (a link there is replaced, never
  // followed; no mode changes), and a new file is begun.
  virtual void AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) = 0;
  // The path as this system names the file, for people to read: on Linux the
  // file the run's Windows-style path stands for; on Windows the path itself.
  // Never fails.
  virtual std::string NativePath(const std::string& path) = 0;
  // Names of the files (not folders) in a folder; fails if it is missing.
  virtual std::vector<std::string> ListFiles(const std::string& folder) = 0;
  // Opens a regular file for reading; fails if it is missing (NotThereError)
  // or no regular file (a folder, FIFO, socket or device: refused at once,
  // never waited on). On Windows no other process may write it while it is
  // open (and the open fails while one does), so what is checked through it
  // stays what it is; it may still be renamed or deleted. On Linux the
  // file's mode decides who may write it.
  virtual std::unique_ptr<InputFile> OpenInput(const std::string& path) = 0;
  // Deletes a folder and everything in it; fails if it is missing.
  virtual void DeleteFolder(const std::string& path) = 0;

  // Opens a file for writing in order: a new one when `keepBytes` is 0
  // (what bore the name is deleted first, a link as the link itself, and
  // never written); otherwise the existing file cut to its first `keepBytes`
  // bytes, written on after them, failing when it holds fewer. Only a
  // regular file with no other names, never a link (on Windows a reparse
  // point), is written; on Linux only one of this user, created 0600 (a kept
  // one made so); on Windows with plain attributes, shared with readers only
  // while it is open. Fails otherwise, and with FileInUseError when another
  // process holds a kept file.
  virtual std::unique_ptr<OutputFile> OpenOutput(const std::string& path, std::int64_t keepBytes) = 0;
  // Free and total space of the volume that holds (or would hold) `path`;
  // fails when it cannot be read.
  virtual VolumeSpace SpaceOf(const std::string& path) = 0;

  // --- Downloads ---
  // One HTTP GET of an http:// or https:// URL, through the system's proxy
  // settings, following a few redirects (never from https to http), with
  // the certificate of an https server checked. The final response's head,
  // its body and idle ticks go to `sink` (see TransferSink), which judges
  // them and may end the transfer by throwing; that exception comes through
  // unchanged. Fails (PlatformError) when the request cannot be made or the
  // connection breaks; returns when the body has ended.
  virtual void Transfer(const TransferRequest& request, TransferSink& sink) = 0;
  // The operating system's name and version and the machine's architecture,
  // as the updater's requests name them.
  virtual SystemDescription DescribeSystem() = 0;

  // --- Cryptography: the system's own ---
  // A new SHA-256 computation.
  virtual std::unique_ptr<Sha256> StartSha256() = 0;
  // True when `derSignature` (an ECDSA signature, DER-encoded) is a valid
  // signature over the SHA-256 digest `sha256Digest` (32 bytes) by the P-256
  // key whose SubjectPublicKeyInfo (DER) is `spkiDer`; false when it is not,
  // also when the signature is not DER at all. Fails when the key cannot be
  // used or the system cannot check.
  virtual bool VerifySignature(const std::string& sha256Digest, const std::string& derSignature,
                               const std::string& spkiDer) = 0;

  // --- Processes ---
  // Starts a program and returns at once; fails if it cannot be started.
  virtual void StartProgram(const std::string& path, WindowState state) = 0;
  // Opens a program file to be read (hashed) and then started as it was read
  // (see ProgramFile). Fails as OpenInput does.
  virtual std::unique_ptr<ProgramFile> OpenProgram(const std::string& path) = 0;

  // Running processes whose executable is the file `executablePath`, its
  // folder and name compared as this platform compares paths (a copy of the
  // program started from another folder is not one of them), in the order
  // the system lists them; never this process.
  virtual std::vector<ProcessEntry> ProcessQuery(const std::string& executablePath) = 0;
  // Asks a process to end by itself, as closing its windows does; fails when
  // the process cannot be asked or is gone. It may take its time, or refuse.
  virtual void RequestClose(std::int64_t id) = 0;
  // Stops a process at once; fails when the process refuses or is gone.
  virtual void TerminateProcessById(std::int64_t id) = 0;
  // Waits until each process has ended, at most `milliseconds` in all; true
  // when all have ended.
  virtual bool WaitForProcessesToEnd(const std::vector<std::int64_t>& ids, int milliseconds) = 0;

  // --- Firewall ---
  // Adds an authorized-application entry to the given profile; fails when the
  // firewall cannot be reached or refuses the entry.
  virtual void FirewallAddApplication(FirewallProfile profile,
                                      const FirewallRule& rule) = 0;

  // --- The window ---
  // Shows the status window with its label as it stands, without waiting.
  virtual void ShowStatusWindow(const WindowDesign& design,
                                const StatusLine& line) = 0;
  // The label changed (text or colour); only called once the window is shown.
  virtual void UpdateStatus(const StatusLine& line) = 0;
  // Lets the window process pending paint and input messages, then returns.
  virtual void Pump() = 0;
  // Modal box with one OK button and the information icon.
  virtual void ShowMessage(const std::string& text, const std::string& title) = 0;
  // Sets the screen's mouse pointer to the default pointer.
  virtual void ResetMousePointer() = 0;
  // Keeps the window open until the user closes it, then returns.
  virtual void WaitForWindowClose() = 0;
};

// The realisation for the system this program was built for.
std::unique_ptr<Platform> CreateSystemPlatform();

}  // namespace pellarion
