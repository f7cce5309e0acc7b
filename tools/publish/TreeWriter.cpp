#include "tools/publish/TreeWriter.h"

#include <filesystem>

#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"

namespace pellarion::publish {

namespace fs = std::filesystem;

namespace {

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
  // The tree is for a web server or a share to read.
  root_ = MakeUniqueFolder((target.parent_path() / ("." + target.filename().string() + ".staging-")).string(),
                           Readers::Everyone);
}

StagingTree::~StagingTree() {
  if (root_.empty()) return;
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string StagingTree::PathOf(const std::string& relative) const {
  return (fs::path(root_) / fs::path(relative).make_preferred()).string();
}

void StagingTree::MakeSubfolder(const std::string& relative) {
  const std::string sub = relative.substr(0, relative.find('/'));
  if (subfolder_.empty()) {
    subfolder_ = sub;
    std::error_code error;
    if (!fs::create_directory(PathOf(sub), error)) {
      throw PublishError("cannot create " + PathOf(sub) + ": " + (error ? error.message() : "it exists"));
    }
  } else if (sub != subfolder_) {
    throw PublishError("one staged tree has one subfolder, not " + sub + " beside " + subfolder_);
  }
}

void StagingTree::WriteIn(const std::string& relative, const std::string& bytes) {
  MakeSubfolder(relative);
  WriteNewFile(PathOf(relative), bytes);
}

void StagingTree::CopyIn(const std::string& from, const std::string& relative) {
  MakeSubfolder(relative);
  CopyToNewFile(from, PathOf(relative));
}

void StagingTree::MoveIntoPlace(const std::vector<std::string>& order, const std::vector<std::string>& stale) {
  if (subfolder_.empty()) throw PublishError("nothing was staged");
  const std::string parent = fs::path(destination_).parent_path().string();
  const auto inDestination = [&](const std::string& relative) {
    return (fs::path(destination_) / fs::path(relative).make_preferred()).string();
  };
  const std::string sub = inDestination(subfolder_);
  FlushFolder(PathOf(subfolder_));
  FlushFolder(root_);
  if (!fs::exists(destination_)) {
    publish::MoveIntoPlace(root_, destination_);
    root_.clear();
    FlushFolder(parent);
    return;
  }
  if (!fs::exists(sub)) {
    publish::MoveIntoPlace(PathOf(subfolder_), sub);
    FlushFolder(destination_);
    return;
  }
  for (const auto& relative : order) publish::MoveIntoPlace(PathOf(relative), inDestination(relative));
  for (const auto& relative : stale) RemoveIfThere(inDestination(relative));
  FlushFolder(sub);
}

}  // namespace pellarion::publish
