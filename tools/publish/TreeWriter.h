// A tree of files that appears at its destination all at once. It is written
// into a fresh folder beside the destination (the same file system), every
// file and folder flushed to disk, and then moved into place by rename:
//   - no destination yet: the whole tree is renamed into place in one step;
//   - the destination without the tree's subfolder: that subfolder is;
//   - the subfolder already there (a live server or share): file by file in
//     the order given, each rename replacing the old file in one step, the
//     file that makes the others visible (the manifest) last. Other files in
//     the folder are left alone, except the stale ones named for removal.
#pragma once

#include <string>
#include <vector>

namespace pellarion::publish {

class StagingTree {
 public:
  // A new empty folder beside `destination`, which must not be a file.
  explicit StagingTree(const std::string& destination);
  // Removes what was not moved into place.
  ~StagingTree();
  StagingTree(const StagingTree&) = delete;
  StagingTree& operator=(const StagingTree&) = delete;

  // Copies the file at `from` to `relative` ("update/Pellarion.bin"),
  // flushed to disk. All files go into one subfolder.
  void CopyIn(const std::string& from, const std::string& relative);
  // Writes `bytes` to `relative`, flushed to disk.
  void WriteIn(const std::string& relative, const std::string& bytes);
  // Where `relative` is being written.
  std::string PathOf(const std::string& relative) const;
  // The folder being written, to be checked before it is moved into place.
  const std::string& Folder() const { return root_; }

  // Moves the files into the destination: `order` lists every written file
  // (relative), the one to appear last at the end. `stale` names files of
  // the destination's subfolder to remove once the new ones are in place.
  void MoveIntoPlace(const std::vector<std::string>& order, const std::vector<std::string>& stale);

 private:
  void MakeSubfolder(const std::string& relative);

  std::string destination_;
  std::string root_;  // the folder being written; empty once moved
  std::string subfolder_;
};

}  // namespace pellarion::publish
