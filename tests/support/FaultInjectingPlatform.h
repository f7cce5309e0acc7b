// Wraps a platform and makes chosen operations fail, the way a locked file, a
// missing share or a refused permission makes them fail on a real machine.
#pragma once

#include <string>
#include <vector>

#include "platform/ForwardingPlatform.h"

namespace pellarion::testing {

enum class Op {
  FileExists, CopyFile, RemoveFile, RenameFile, MoveReplacing, FileLength, OpenInput, DeleteFolder,
  GetFileVersion, Download, StartProgram, Firewall, PreviousInstance, UserName, ShowStatusWindow, Pump
};

class FaultInjectingPlatform : public ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;

  // Operation `op` fails whenever one of its paths contains `pathPart`
  // (without regard to case); an empty `pathPart` makes every call fail.
  void Fail(Op op, std::string pathPart = "") { faults_.push_back({op, std::move(pathPart)}); }

  bool PreviousInstance() override {
    Check(Op::PreviousInstance, "");
    return target_.PreviousInstance();
  }
  std::string UserName() override {
    Check(Op::UserName, "");
    return target_.UserName();
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
  void RenameFile(const std::string& from, const std::string& to) override {
    Check(Op::RenameFile, from + "|" + to);
    target_.RenameFile(from, to);
  }
  void MoveReplacing(const std::string& from, const std::string& to) override {
    Check(Op::MoveReplacing, from + "|" + to);
    target_.MoveReplacing(from, to);
  }
  std::int64_t FileLength(const std::string& path) override {
    Check(Op::FileLength, path);
    return target_.FileLength(path);
  }
  std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
    Check(Op::OpenInput, path);
    return target_.OpenInput(path);
  }
  void DeleteFolder(const std::string& path) override {
    Check(Op::DeleteFolder, path);
    target_.DeleteFolder(path);
  }
  std::string GetFileVersion(const std::string& path) override {
    Check(Op::GetFileVersion, path);
    return target_.GetFileVersion(path);
  }
  void DownloadToFile(const std::string& url, const std::string& path,
                      const DownloadLimits& limits) override {
    Check(Op::Download, url + "|" + path);
    target_.DownloadToFile(url, path, limits);
  }
  void StartProgram(const std::string& path, WindowState state) override {
    Check(Op::StartProgram, path);
    target_.StartProgram(path, state);
  }
  void FirewallAddApplication(FirewallProfile profile, const FirewallRule& rule) override {
    Check(Op::Firewall, profile == FirewallProfile::Current ? "current" : "standard");
    target_.FirewallAddApplication(profile, rule);
  }
  void ShowStatusWindow(const WindowDesign& design, const StatusLine& line) override {
    Check(Op::ShowStatusWindow, "");
    target_.ShowStatusWindow(design, line);
  }
  void Pump() override {
    Check(Op::Pump, "");
    target_.Pump();
  }

 private:
  struct Fault {
    Op op;
    std::string pathPart;
  };

  static std::string Upper(std::string s) {
    for (char& c : s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
  }

  void Check(Op op, const std::string& paths) const {
    for (const Fault& f : faults_) {
      if (f.op == op && Upper(paths).find(Upper(f.pathPart)) != std::string::npos) {
        throw PlatformError("injected failure");
      }
    }
  }

  std::vector<Fault> faults_;
};

}  // namespace pellarion::testing
