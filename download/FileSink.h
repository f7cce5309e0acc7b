// The TransferSink every download uses: the transfer's rules (TransferPolicy)
// on the platform's clock, the body stored in a file in pieces of 1 MiB with
// room reserved on the volume, and its SHA-256 computed as it arrives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/TransferPolicy.h"
#include "platform/Platform.h"
#include "platform/Transfer.h"

namespace pellarion {

class FileSink : public TransferSink {
 public:
  // Writes to `path`. `asked`: the range a resumed request asks for, whose
  // kept bytes `path` holds already. `expectedSha256` (32 bytes, outliving
  // the sink): the whole file's digest, checked at the end; nullptr: none.
  FileSink(Platform& platform, std::string path, const TransferRules& rules, const ResumeRange* asked,
           const std::string* expectedSha256);

  void Head(const ResponseHead& head) override;
  void Body(const char* data, std::size_t size) override;
  void Idle() override;
  std::int64_t WaitLimitMs() override;

  // The body must be whole; it is put on the disk and, when it continued
  // kept bytes, must make the expected digest. Throws TransferFailure, or
  // PlatformError when the file cannot be written.
  void End() override;
  // After a failure: puts on the disk what arrived and closes the file;
  // returns how many bytes of the file it holds (0 when it cannot tell).
  std::int64_t Keep() noexcept;

  const std::string& path() const { return path_; }
  int status() const { return status_; }
  bool resumed() const { return resumed_; }
  // Body bytes that came over the network.
  std::int64_t received() const { return policy_.received(); }
  const TransferPolicy& policy() const { return policy_; }

 private:
  void WriteBuffered();

  Platform& platform_;
  std::string path_;
  TransferPolicy policy_;
  const std::string* expectedSha256_;
  std::unique_ptr<Sha256> sha_;
  std::unique_ptr<OutputFile> file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t buffered_ = 0;
  std::int64_t written_ = 0;   // bytes of the file on its way to the disk
  std::int64_t reserved_ = 0;  // the length the volume's room was checked for
  int status_ = 0;
  bool resumed_ = false;
};

// Copies the file `from` (a share's, say) to `to` as a download of it is
// stored: through a FileSink under `rules`, its length as read when it was
// opened announced as the body's, so that the room on the volume is checked
// before a byte is written and the transfer's rules (the cap, the run's
// deadline, the pace) hold for every piece; a file that grows or shrinks
// meanwhile is refused. Fails (TransferFailure, or PlatformError when a file
// cannot be opened, read or written); `to` is then gone.
void CopyUnderRules(Platform& platform, const std::string& from, const std::string& to, const TransferRules& rules);

}  // namespace pellarion
