// Wraps a platform and makes chosen operations fail, the way a locked file, a
// missing share or a refused permission makes them fail on a real machine.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ForwardingPlatform.h"

namespace pellarion::testing {

enum class Op {
  FileExists, CopyFile, RemoveFile, MoveReplacing, WriteRecord, AppendToLog, OpenInput, OpenOutput, OpenProgram,
  Firewall, PreviousInstance, Pump, PolicyValue
};

class FaultInjectingPlatform : public ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;

  // Operation `op` fails whenever one of its paths contains `pathPart`
  // (without regard to case); an empty `pathPart` makes every call fail.
  void Fail(Op op, std::string pathPart = "") { faults_.push_back({op, std::move(pathPart)}); }
  // The same, with FileInUseError, for the first `times` such calls only (as
  // a scanner holds a new file for a moment), or for all when `times` < 0.
  void FailInUse(Op op, std::string pathPart = "", int times = -1) {
    faults_.push_back({op, std::move(pathPart), true, times});
  }
  // Called before each operation above with its paths ("from|to" for two),
  // before any failure: a test's way to act at that moment, as another
  // process or the passing time would.
  std::function<void(Op op, const std::string& paths)> before;

  bool PreviousInstance() override {
    Check(Op::PreviousInstance, "");
    return target_.PreviousInstance();
  }
  bool FileExists(const std::string& path) override {
    Check(Op::FileExists, path);
    return target_.FileExists(path);
  }
  void CopyFileTo(const std::string& from, const std::string& to) override {
    Check(Op::CopyFile, from + "|" + to);
    target_.CopyFileTo(from, to);
  }
  void RemoveFile(const std::string& path) override {
    Check(Op::RemoveFile, path);
    target_.RemoveFile(path);
  }
  void MoveReplacing(const std::string& from, const std::string& to) override {
    Check(Op::MoveReplacing, from + "|" + to);
    target_.MoveReplacing(from, to);
  }
  void WriteRecord(const std::string& path, const std::string& text) override {
    Check(Op::WriteRecord, path);
    target_.WriteRecord(path, text);
  }
  void AppendToLog(const std::string& path, const std::string& text, std::int64_t moveAsideAt) override {
    Check(Op::AppendToLog, path);
    target_.AppendToLog(path, text, moveAsideAt);
  }
  std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
    Check(Op::OpenInput, path);
    return target_.OpenInput(path);
  }
  std::unique_ptr<OutputFile> OpenOutput(const std::string& path, std::int64_t keepBytes) override {
    Check(Op::OpenOutput, path);
    return target_.OpenOutput(path, keepBytes);
  }
  std::unique_ptr<ProgramFile> OpenProgram(const std::string& path) override {
    Check(Op::OpenProgram, path);
    return target_.OpenProgram(path);
  }
  void FirewallAddApplication(FirewallProfile profile, const FirewallRule& rule) override {
    Check(Op::Firewall, profile == FirewallProfile::Current ? "current" : "standard");
    target_.FirewallAddApplication(profile, rule);
  }
  void Pump() override {
    Check(Op::Pump, "");
    target_.Pump();
  }
  std::string PolicyValue(const std::string& name) override {
    Check(Op::PolicyValue, name);
    return target_.PolicyValue(name);
  }

 private:
  struct Fault {
    Op op;
    std::string pathPart;
    bool inUse = false;
    int times = -1;  // calls left to fail; < 0: every call
  };

  static std::string Upper(std::string s) {
    for (char& c : s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
  }

  void Check(Op op, const std::string& paths) {
    if (before) before(op, paths);
    for (Fault& f : faults_) {
      if (f.op != op || f.times == 0 || Upper(paths).find(Upper(f.pathPart)) == std::string::npos) continue;
      if (f.times > 0) --f.times;
      if (f.inUse) throw FileInUseError("injected failure: in use");
      throw PlatformError("injected failure");
    }
  }

  std::vector<Fault> faults_;
};

}  // namespace pellarion::testing
