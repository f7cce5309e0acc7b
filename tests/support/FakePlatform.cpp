#include "tests/support/FakePlatform.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "download/FileSink.h"
#include "platform/WebColour.h"
#include "platform/linux/OpenSslSignature.h"
#include "tests/support/StandInImage.h"

namespace pellarion::testing {

namespace {

// A file's bytes as they were when it was opened, and which file it was.
template <typename Base = InputFile>
class StringInput : public Base {
 public:
  StringInput(std::string text, const FakePlatform& platform, const std::string& path)
      : text_(std::move(text)), platform_(platform), identity_(platform.IdentityOf(path)) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min(size, text_.size() - pos_);
    std::memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  std::uint64_t Size() override { return text_.size(); }
  std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t size) override {
    if (offset >= text_.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(size, text_.size() - offset);
    std::memcpy(buffer, text_.data() + offset, n);
    return n;
  }
  bool IsFileAt(const std::string& path) override { return platform_.IdentityOf(path) == identity_; }

 private:
  std::string text_;
  std::size_t pos_ = 0;
  const FakePlatform& platform_;
  std::uint64_t identity_;
};

class FakeProgram : public StringInput<ProgramFile> {
 public:
  FakeProgram(std::string bytes, const FakePlatform& platform, std::vector<std::string>& log, std::string path)
      : StringInput(std::move(bytes), platform, path), log_(log), path_(std::move(path)) {}
  void Start(WindowState state) override {
    log_.push_back("start " + path_ + " " + std::to_string(static_cast<int>(state)));
  }

 private:
  std::vector<std::string>& log_;
  std::string path_;
};

std::string Line(const char* what, const StatusLine& line) {
  return std::string(what) + " " + WebColour(line.colour) + " " + line.text;
}

}  // namespace

ResponseHead Answer(int status, std::string length) {
  ResponseHead head;
  head.status = status;
  head.contentLength = std::move(length);
  return head;
}

std::string FakeFile::Bytes() const {
  return version.empty() ? contents : StandInImage(version, contents);
}

std::string FakePlatform::Key(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

void FakePlatform::CheckDrive(const std::string& path) const {
  if (path.size() >= 2 && path[1] == ':') {
    const char drive = static_cast<char>(path[0] & ~0x20);
    if (unavailableDrives.count(drive) != 0) throw PlatformError("drive unavailable: " + path);
  }
}

void FakePlatform::Put(const std::string& path, FakeFile file, std::uint64_t identity) {
  files_[Key(path)] = std::move(file);
  paths_[Key(path)] = path;
  identities_[Key(path)] = identity != 0 ? identity : ++lastIdentity_;
}

std::uint64_t FakePlatform::IdentityOf(const std::string& path) const {
  const auto it = files_.find(Key(path));
  return it == files_.end() ? 0 : identities_.at(Key(path));
}

const FakeFile& FakePlatform::Existing(const std::string& path) const {
  CheckDrive(path);
  const auto it = files_.find(Key(path));
  if (it == files_.end()) throw NotThereError("file not found: " + path);
  return it->second;
}

void FakePlatform::AddFile(const std::string& path, const std::string& contents,
                           const std::string& version) {
  Put(path, FakeFile{contents, version});
}

void FakePlatform::AddFolder(const std::string& path) { folders_.insert(Key(path)); }

bool FakePlatform::HasFile(const std::string& path) const { return files_.count(Key(path)) != 0; }

const FakeFile& FakePlatform::File(const std::string& path) const { return files_.at(Key(path)); }

bool FakePlatform::HasFolder(const std::string& path) const {
  return folders_.count(Key(path)) != 0;
}

std::vector<std::string> FakePlatform::Logged(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& entry : log) {
    if (entry.rfind(prefix, 0) == 0) out.push_back(entry);
  }
  return out;
}

void FakePlatform::Pause(int milliseconds) {
  log.push_back("pause " + std::to_string(milliseconds));
  monotonicMs += milliseconds;
}

bool FakePlatform::FileExists(const std::string& path) {
  CheckDrive(path);
  return files_.count(Key(path)) != 0;
}

void FakePlatform::CopyFileTo(const std::string& from, const std::string& to) {
  const FakeFile copy = Existing(from);
  CheckDrive(to);
  Put(to, copy);
  log.push_back("copy " + from + " -> " + to);
}

void FakePlatform::RemoveFile(const std::string& path) {
  Existing(path);
  files_.erase(Key(path));
  log.push_back("delete " + path);
}

void FakePlatform::MoveReplacing(const std::string& from, const std::string& to) {
  const FakeFile moved = Existing(from);
  CheckDrive(to);
  const std::uint64_t identity = IdentityOf(from);
  files_.erase(Key(from));
  Put(to, moved, identity);
  log.push_back("replace " + from + " -> " + to);
}

void FakePlatform::WriteRecord(const std::string& path, const std::string& text) {
  CheckDrive(path);
  Put(path, FakeFile{text, ""});
}

std::string FakePlatform::RandomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(nextRandom_++);
  return bytes;
}

std::string FakePlatform::PolicyValue(const std::string& name) {
  const auto it = policies.find(name);
  if (it == policies.end()) throw NotThereError("no policy " + name);
  return it->second;
}

std::int64_t FakePlatform::FileLength(const std::string& path) {
  return static_cast<std::int64_t>(Existing(path).Bytes().size());
}

void FakePlatform::AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) {
  CheckDrive(path);
  const auto it = files_.find(Key(path));
  if (it != files_.end() && static_cast<std::int64_t>(it->second.contents.size()) >= moveAsideAt) {
    Put(path + ".1", it->second);
    files_.erase(it);
  }
  AppendToFile(path, text);
}

void FakePlatform::AppendToFile(const std::string& path, const std::string& text) {
  CheckDrive(path);
  const auto it = files_.find(Key(path));
  Put(path, FakeFile{(it == files_.end() ? "" : it->second.contents) + text, ""}, IdentityOf(path));
}

std::vector<std::string> FakePlatform::ListFiles(const std::string& folder) {
  CheckDrive(folder);
  const std::string prefix = Key(folder) + "\\";
  std::vector<std::string> names;
  for (const auto& entry : files_) {
    const std::string& key = entry.first;
    if (key.rfind(prefix, 0) == 0 && key.find('\\', prefix.size()) == std::string::npos) {
      names.push_back(paths_.at(key).substr(paths_.at(key).find_last_of('\\') + 1));
    }
  }
  return names;
}

std::unique_ptr<InputFile> FakePlatform::OpenInput(const std::string& path) {
  return std::make_unique<StringInput<>>(Existing(path).Bytes(), *this, path);
}

void FakePlatform::DeleteFolder(const std::string& path) {
  CheckDrive(path);
  if (folders_.erase(Key(path)) == 0) throw NotThereError("folder not found: " + path);
  log.push_back("delete folder " + path);
}

std::unique_ptr<Sha256> FakePlatform::StartSha256() { return StartOpenSslSha256(); }

std::string FakePlatform::Sha256Of(const std::string& bytes) {
  const auto hash = StartOpenSslSha256();
  hash->Add(bytes.data(), bytes.size());
  return hash->Finish();
}

std::string FakePlatform::FakeSignature(const std::string& bytes, const std::string& spkiDer) {
  const auto hash = StartOpenSslSha256();
  hash->Add(bytes.data(), bytes.size());
  return "fake-ecdsa(" + spkiDer + "):" + hash->Finish();
}

bool FakePlatform::VerifySignature(const std::string& sha256Digest, const std::string& derSignature,
                                   const std::string& spkiDer) {
  if (spkiDer.empty()) throw PlatformError("no key");
  return derSignature == "fake-ecdsa(" + spkiDer + "):" + sha256Digest;
}

class FakeOutput : public OutputFile {
 public:
  FakeOutput(FakePlatform& platform, std::string path, std::string kept)
      : platform_(platform), path_(std::move(path)), bytes_(std::move(kept)) {
    platform_.Put(path_, platform_.Written(bytes_));
    identity_ = platform_.IdentityOf(path_);
  }
  void Reserve(std::int64_t) override {}
  void Write(const char* data, std::size_t size) override {
    platform_.CheckDrive(path_);
    bytes_.append(data, size);
    platform_.Put(path_, platform_.Written(bytes_), identity_);
  }
  void Flush() override { platform_.CheckDrive(path_); }

 private:
  FakePlatform& platform_;
  std::string path_, bytes_;
  std::uint64_t identity_ = 0;
};

FakeFile FakePlatform::Written(const std::string& bytes) const {
  for (const auto& offered : server) {
    if (offered.second.Bytes() == bytes) return offered.second;
  }
  for (const auto& file : files_) {
    if (!file.second.version.empty() && file.second.Bytes() == bytes) return file.second;
  }
  return FakeFile{bytes, ""};
}

std::unique_ptr<OutputFile> FakePlatform::OpenOutput(const std::string& path, std::int64_t keepBytes) {
  CheckDrive(path);
  std::string kept;
  if (keepBytes > 0) {
    kept = Existing(path).Bytes();
    if (static_cast<std::int64_t>(kept.size()) < keepBytes) throw PlatformError("fewer bytes than kept: " + path);
    kept.resize(static_cast<std::size_t>(keepBytes));
  }
  return std::make_unique<FakeOutput>(*this, path, std::move(kept));
}

VolumeSpace FakePlatform::SpaceOf(const std::string& path) {
  CheckDrive(path);
  return volume;
}

void FakePlatform::Transfer(const TransferRequest& request, TransferSink& sink) {
  const auto* file = dynamic_cast<const FileSink*>(&sink);
  log.push_back("download " + request.url + (file != nullptr ? " -> " + file->path() : ""));
  requests.push_back(request);
  if (transport) {
    transport(request, sink);
    return sink.End();
  }
  if (const auto partial = partialBodies.find(request.url); partial != partialBodies.end()) {
    sink.Head(Answer(200));
    sink.Body(partial->second.data(), partial->second.size());
    throw PlatformError("connection closed early: " + request.url);
  }
  const auto status = statuses.find(request.url);
  const auto offered = server.find(request.url);
  if (status != statuses.end() || offered == server.end()) {
    sink.Head(Answer(status != statuses.end() ? status->second : 404));
    return sink.End();
  }
  const std::string bytes = offered->second.Bytes();
  ResponseHead head = Answer(200, std::to_string(bytes.size()));
  const bool cut = cutHalfway.count(request.url) != 0;
  if (cut) head.etag = "\"v1\"";
  sink.Head(head);
  sink.Body(bytes.data(), cut ? bytes.size() / 2 : bytes.size());
  if (cut) throw PlatformError("connection closed early: " + request.url);
  sink.End();
}

void FakePlatform::StartProgram(const std::string& path, WindowState state) {
  log.push_back("start " + path + " " + std::to_string(static_cast<int>(state)));
  Existing(path);
}

std::unique_ptr<ProgramFile> FakePlatform::OpenProgram(const std::string& path) {
  return std::make_unique<FakeProgram>(Existing(path).Bytes(), *this, log, path);
}

std::vector<ProcessEntry> FakePlatform::ProcessQuery(const std::string& executablePath) {
  std::vector<ProcessEntry> found;
  for (const Process& p : processes) {
    if (Key(p.executable) == Key(executablePath)) {
      found.push_back({p.id, p.executable.substr(p.executable.find_last_of('\\') + 1)});
    }
  }
  return found;
}

void FakePlatform::RequestClose(std::int64_t id) {
  log.push_back("close " + std::to_string(id));
  const auto it = std::find_if(processes.begin(), processes.end(),
                               [&](const Process& p) { return p.id == id; });
  if (it == processes.end()) throw PlatformError("no such process");
  if (it->closes) processes.erase(it);
}

void FakePlatform::TerminateProcessById(std::int64_t id) {
  log.push_back("terminate " + std::to_string(id));
  const auto it = std::find_if(processes.begin(), processes.end(),
                               [&](const Process& p) { return p.id == id; });
  if (it == processes.end()) throw PlatformError("no such process");
  if (it->refuses) throw PlatformError("access denied");
  processes.erase(it);
}

bool FakePlatform::WaitForProcessesToEnd(const std::vector<std::int64_t>& ids, int milliseconds) {
  std::string entry = "wait";
  for (const std::int64_t id : ids) entry += " " + std::to_string(id);
  log.push_back(entry + " " + std::to_string(milliseconds));
  return std::none_of(processes.begin(), processes.end(), [&](const Process& p) {
    return std::find(ids.begin(), ids.end(), p.id) != ids.end();
  });
}

void FakePlatform::FirewallAddApplication(FirewallProfile profile, const FirewallRule& rule) {
  if (!firewallAvailable) throw PlatformError("no firewall");
  log.push_back(std::string("firewall ") +
                (profile == FirewallProfile::Current ? "current " : "standard ") + rule.name +
                " | " + rule.processImageFileName + " | ip " + std::to_string(rule.ipVersion) +
                " | remote " + rule.remoteAddresses + " | scope " + std::to_string(rule.scope) +
                (rule.enabled ? " | enabled" : " | disabled"));
}

void FakePlatform::ShowStatusWindow(const WindowDesign&, const StatusLine& line) {
  log.push_back(Line("show", line));
}

void FakePlatform::UpdateStatus(const StatusLine& line) { log.push_back(Line("status", line)); }

void FakePlatform::ShowMessage(const std::string& text, const std::string& title) {
  log.push_back("message " + title + ": " + text);
}

void FakePlatform::ResetMousePointer() { log.push_back("mouse pointer"); }

}  // namespace pellarion::testing
