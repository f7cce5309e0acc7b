// A Platform that hands every operation to another one. Wrappers derive from
// it and override only what they change (fault injection in the tests, a
// window that stays open for a screenshot).
#pragma once

#include <cstdlib>

#include "platform/Platform.h"

namespace pellarion {

class ForwardingPlatform : public Platform {
 public:
  explicit ForwardingPlatform(Platform& target) : target_(target) {}

  std::string AppDir() override { return target_.AppDir(); }
  std::string ExeName() override { return target_.ExeName(); }
  bool PreviousInstance() override { return target_.PreviousInstance(); }
  [[noreturn]] void EndRun(int exitCode) override {
    target_.EndRun(exitCode);
    std::abort();  // EndRun never returns; this keeps the compiler's promise
  }
  void Pause(int milliseconds) override { target_.Pause(milliseconds); }
  std::int64_t MonotonicMs() override { return target_.MonotonicMs(); }
  std::int64_t UtcSeconds() override { return target_.UtcSeconds(); }
  std::string UserName() override { return target_.UserName(); }
  std::string RandomBytes(std::size_t count) override { return target_.RandomBytes(count); }
  std::string PolicyValue(const std::string& name) override { return target_.PolicyValue(name); }
  std::string LocalTime() override { return target_.LocalTime(); }
  bool FileExists(const std::string& path) override { return target_.FileExists(path); }
  void CopyFileTo(const std::string& from, const std::string& to) override {
    target_.CopyFileTo(from, to);
  }
  void RemoveFile(const std::string& path) override { target_.RemoveFile(path); }
  void MoveReplacing(const std::string& from, const std::string& to) override {
    target_.MoveReplacing(from, to);
  }
  void WriteRecord(const std::string& path, const std::string& text) override { target_.WriteRecord(path, text); }
  std::int64_t FileLength(const std::string& path) override { return target_.FileLength(path); }
  void AppendToFile(const std::string& path, const std::string& text) override {
    target_.AppendToFile(path, text);
  }
  void AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) override {
    target_.AppendToLog(path, text, moveAsideAt);
  }
  std::string NativePath(const std::string& path) override { return target_.NativePath(path); }
  std::vector<std::string> ListFiles(const std::string& folder) override {
    return target_.ListFiles(folder);
  }
  std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
    return target_.OpenInput(path);
  }
  void DeleteFolder(const std::string& path) override { target_.DeleteFolder(path); }
  std::unique_ptr<OutputFile> OpenOutput(const std::string& path, std::int64_t keepBytes) override {
    return target_.OpenOutput(path, keepBytes);
  }
  VolumeSpace SpaceOf(const std::string& path) override { return target_.SpaceOf(path); }
  void Transfer(const TransferRequest& request, TransferSink& sink) override { target_.Transfer(request, sink); }
  SystemDescription DescribeSystem() override { return target_.DescribeSystem(); }
  std::unique_ptr<Sha256> StartSha256() override { return target_.StartSha256(); }
  bool VerifySignature(const std::string& sha256Digest, const std::string& derSignature,
                       const std::string& spkiDer) override {
    return target_.VerifySignature(sha256Digest, derSignature, spkiDer);
  }
  void StartProgram(const std::string& path, WindowState state) override {
    target_.StartProgram(path, state);
  }
  std::unique_ptr<ProgramFile> OpenProgram(const std::string& path) override { return target_.OpenProgram(path); }
  std::vector<ProcessEntry> ProcessQuery(const std::string& executablePath) override {
    return target_.ProcessQuery(executablePath);
  }
  void RequestClose(std::int64_t id) override { target_.RequestClose(id); }
  void TerminateProcessById(std::int64_t id) override { target_.TerminateProcessById(id); }
  bool WaitForProcessesToEnd(const std::vector<std::int64_t>& ids, int milliseconds) override {
    return target_.WaitForProcessesToEnd(ids, milliseconds);
  }
  void FirewallAddApplication(FirewallProfile profile, const FirewallRule& rule) override {
    target_.FirewallAddApplication(profile, rule);
  }
  void ShowStatusWindow(const WindowDesign& design, const StatusLine& line) override {
    target_.ShowStatusWindow(design, line);
  }
  void UpdateStatus(const StatusLine& line) override { target_.UpdateStatus(line); }
  void Pump() override { target_.Pump(); }
  void ShowMessage(const std::string& text, const std::string& title) override {
    target_.ShowMessage(text, title);
  }
  void ResetMousePointer() override { target_.ResetMousePointer(); }
  void WaitForWindowClose() override { target_.WaitForWindowClose(); }

 protected:
  Platform& target_;
};

}  // namespace pellarion
