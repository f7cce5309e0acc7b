// An in-memory platform for testing the run: files live in a map, and every
// effect the run has on the machine is written to one ordered log.
#pragma once

#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace pellarion::testing {

// A response head with a status and, when given, a Content-Length.
ResponseHead Answer(int status, std::string length = "");

struct FakeFile {
  std::string contents;
  std::string version;  // empty: the file carries no version record
  // What a reader of the file sees: `contents` as they are, or, for a file
  // with a version, a real executable image carrying that version record
  // around them.
  std::string Bytes() const;
};

class FakePlatform : public Platform {
 public:
  // --- Set-up ---
  std::string appDir = "C:\\Pellarion";
  std::string exeName = "update";
  bool previousInstance = false;
  std::int64_t monotonicMs = 1000000;  // advances with every Pause
  std::int64_t utcSeconds = 1796731200;  // 2026-12-08 12:00 UTC
  std::string userName = "amina";
  std::set<char> unavailableDrives;  // upper-case letters
  bool firewallAvailable = true;
  // The machine's policy settings (PolicyValue): name -> value.
  std::map<std::string, std::string> policies;
  // What the "server" offers: URL -> file, sent whole with its length. A URL
  // it does not know is answered 404; `partialBodies` send part of a body,
  // then the connection breaks; the files of `cutHalfway` URLs break after
  // half, each time, once an ETag named them (so what came is kept to
  // resume); `statuses` answer with a status alone (503: busy, without a
  // Retry-After). A `transport`, when set, answers every request instead (a
  // scripted server and link).
  std::map<std::string, FakeFile> server;
  std::map<std::string, std::string> partialBodies;
  std::set<std::string> cutHalfway;
  std::map<std::string, int> statuses;
  std::function<void(const TransferRequest&, TransferSink&)> transport;
  VolumeSpace volume{.freeBytes = 1LL << 40, .totalBytes = 1LL << 41};
  SystemDescription system{"Windows 10.0.19045", "x64"};
  // Every request made, in order.
  std::vector<TransferRequest> requests;
  // Running processes in the order the system lists them, with the full
  // path of their executable. `refuses` stay when terminated; `closes` end
  // when asked to close.
  struct Process {
    std::int64_t id;
    std::string executable;
    bool refuses = false;
    bool closes = false;
  };
  std::vector<Process> processes;

  void AddFile(const std::string& path, const std::string& contents = "",
               const std::string& version = "");
  void AddFolder(const std::string& path);

  // --- What the run left and did ---
  bool HasFile(const std::string& path) const;
  const FakeFile& File(const std::string& path) const;
  // Which file `path` names (a move keeps it, anything written anew gets a
  // new one); 0: none. What InputFile::IsFileAt compares.
  std::uint64_t IdentityOf(const std::string& path) const;
  bool HasFolder(const std::string& path) const;
  // Ordered log: "copy A -> B", "delete P", "replace A -> B", "start P 2",
  // "firewall current|standard NAME IMAGE", "close ID", "terminate ID", "wait ID... MS", "show #RRGGBB TEXT",
  // "status #RRGGBB TEXT", "message TITLE: TEXT", "pause MS", "delete folder P", "download URL -> P",
  // "mouse pointer".
  std::vector<std::string> log;
  int pumps = 0;
  // The entries of `log` that begin with `prefix`.
  std::vector<std::string> Logged(const std::string& prefix) const;

  // --- Platform ---
  std::string AppDir() override { return appDir; }
  std::string ExeName() override { return exeName; }
  bool PreviousInstance() override { return previousInstance; }
  // Nothing in the run ends the process (main does): a test that gets here
  // has found a fault, and the test program stops.
  [[noreturn]] void EndRun(int exitCode) override { std::abort(); }
  void Pause(int milliseconds) override;
  std::int64_t MonotonicMs() override { return monotonicMs; }
  std::int64_t UtcSeconds() override { return utcSeconds; }
  std::string UserName() override { return userName; }
  // 0, 1, 2... from one call to the next, wrapping at 256: the same in
  // every test run.
  std::string RandomBytes(std::size_t count) override;
  std::string PolicyValue(const std::string& name) override;
  std::string LocalTime() override { return "2026-12-08T10:35:13+02:00"; }
  bool FileExists(const std::string& path) override;
  void CopyFileTo(const std::string& from, const std::string& to) override;
  void RemoveFile(const std::string& path) override;
  void MoveReplacing(const std::string& from, const std::string& to) override;
  // Like appends, records leave no entry in `log`.
  void WriteRecord(const std::string& path, const std::string& text) override;
  std::int64_t FileLength(const std::string& path) override;
  // Appends leave no entry in `log`: what was written is in the file.
  void AppendToFile(const std::string& path, const std::string& text) override;
  void AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) override;
  std::string NativePath(const std::string& path) override { return path; }
  std::vector<std::string> ListFiles(const std::string& folder) override;
  std::unique_ptr<InputFile> OpenInput(const std::string& path) override;
  void DeleteFolder(const std::string& path) override;
  // SHA-256 is real (libcrypto). The fake's signature of a file whose bytes
  // (FakeFile::Bytes) are `bytes`, by the key `spkiDer`: VerifySignature
  // accepts exactly this text over their digest and nothing else.
  std::unique_ptr<Sha256> StartSha256() override;
  // The SHA-256 of `bytes` (32 bytes).
  static std::string Sha256Of(const std::string& bytes);
  static std::string FakeSignature(const std::string& bytes, const std::string& spkiDer);
  bool VerifySignature(const std::string& sha256Digest, const std::string& derSignature,
                       const std::string& spkiDer) override;
  // A file written is kept as the server's file (or another file with a
  // version) of the same bytes, when there is one, so that tests can name it
  // by its contents.
  std::unique_ptr<OutputFile> OpenOutput(const std::string& path, std::int64_t keepBytes) override;
  VolumeSpace SpaceOf(const std::string& path) override;
  // Logs "download URL -> PATH" (the file the download writes); a body that
  // was sent whole is ended (TransferSink::End).
  void Transfer(const TransferRequest& request, TransferSink& sink) override;
  SystemDescription DescribeSystem() override { return system; }
  void StartProgram(const std::string& path, WindowState state) override;
  // Reads the file's bytes as they were when it was opened; its Start logs
  // "start P N" as StartProgram does.
  std::unique_ptr<ProgramFile> OpenProgram(const std::string& path) override;
  std::vector<ProcessEntry> ProcessQuery(const std::string& executablePath) override;
  void RequestClose(std::int64_t id) override;
  void TerminateProcessById(std::int64_t id) override;
  bool WaitForProcessesToEnd(const std::vector<std::int64_t>& ids, int milliseconds) override;
  void FirewallAddApplication(FirewallProfile profile, const FirewallRule& rule) override;
  void ShowStatusWindow(const WindowDesign& design, const StatusLine& line) override;
  void UpdateStatus(const StatusLine& line) override;
  void Pump() override { ++pumps; }
  void ShowMessage(const std::string& text, const std::string& title) override;
  void ResetMousePointer() override;
  void WaitForWindowClose() override { log.push_back("wait for close"); }

 private:
  // Upper case, forward slashes folded to backslashes: names compare without
  // regard to case.
  static std::string Key(const std::string& path);
  void CheckDrive(const std::string& path) const;
  const FakeFile& Existing(const std::string& path) const;

  // A new file, or (`identity` given) the same file under a name.
  void Put(const std::string& path, FakeFile file, std::uint64_t identity = 0);
  // The file written with `bytes`: the server's (or a versioned file's) of the same bytes, or new.
  FakeFile Written(const std::string& bytes) const;
  friend class FakeOutput;

  std::map<std::string, FakeFile> files_;
  std::map<std::string, std::string> paths_;  // the name each file was last written under
  std::map<std::string, std::uint64_t> identities_;  // which file each name names
  std::uint64_t lastIdentity_ = 0;
  std::set<std::string> folders_;
  unsigned char nextRandom_ = 0;
};

}  // namespace pellarion::testing
