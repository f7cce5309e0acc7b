#include "download/FileSink.h"

#include <cstring>
#include <exception>

#include "download/DiskReserve.h"

namespace pellarion {

namespace {

// The body is collected and written in pieces of this size: few system
// calls, and little memory.
constexpr std::size_t kPiece = 1 << 20;

}  // namespace

FileSink::FileSink(Platform& platform, std::string path, const TransferRules& rules, const ResumeRange* asked,
                   const std::string* expectedSha256)
    : platform_(platform),
      path_(std::move(path)),
      policy_(rules, platform.MonotonicMs(), asked),
      expectedSha256_(expectedSha256) {}

void FileSink::Head(const ResponseHead& head) {
  status_ = head.status;
  resumed_ = policy_.OnHead(head, platform_.MonotonicMs());
  const std::int64_t kept = policy_.offset();
  buffer_ = std::make_unique<char[]>(kPiece);
  if (expectedSha256_ != nullptr) {
    sha_ = platform_.StartSha256();
    // A resumed file's digest starts with the bytes kept from before.
    if (kept > 0) {
      const auto input = platform_.OpenInput(path_);
      for (std::int64_t at = 0; at < kept;) {
        const std::size_t want =
            kept - at < static_cast<std::int64_t>(kPiece) ? static_cast<std::size_t>(kept - at) : kPiece;
        const std::size_t n = input->ReadAt(static_cast<std::uint64_t>(at), buffer_.get(), want);
        if (n == 0) FailTransfer(TransferFault::Changed, "the kept bytes are gone");
        sha_->Add(buffer_.get(), n);
        at += static_cast<std::int64_t>(n);
      }
    }
  }
  file_ = platform_.OpenOutput(path_, kept);
  written_ = reserved_ = kept;
  // An announced length is checked against the volume's room and reserved
  // at once, so a full disk shows before the transfer rather than at its end.
  if (const std::int64_t total = policy_.total(); total > kept) {
    EnsureRoom(platform_, path_, total - kept);
    file_->Reserve(total);
    reserved_ = total;
  }
}

void FileSink::Body(const char* data, std::size_t size) {
  policy_.OnBody(static_cast<std::int64_t>(size), platform_.MonotonicMs());
  if (sha_) sha_->Add(data, size);
  while (size > 0) {
    const std::size_t n = size < kPiece - buffered_ ? size : kPiece - buffered_;
    std::memcpy(buffer_.get() + buffered_, data, n);
    buffered_ += n;
    data += n;
    size -= n;
    if (buffered_ == kPiece) WriteBuffered();
  }
}

void FileSink::WriteBuffered() {
  if (buffered_ == 0) return;
  const std::int64_t end = written_ + static_cast<std::int64_t>(buffered_);
  // Beyond the room checked for, each piece is checked again.
  if (end > reserved_) {
    EnsureRoom(platform_, path_, end - (reserved_ > written_ ? reserved_ : written_));
    reserved_ = end;
  }
  file_->Write(buffer_.get(), buffered_);
  written_ = end;
  buffered_ = 0;
}

void FileSink::Idle() { policy_.OnIdle(platform_.MonotonicMs()); }

std::int64_t FileSink::WaitLimitMs() { return policy_.WaitLimitMs(platform_.MonotonicMs()); }

void FileSink::End() {
  if (!file_) FailTransfer(TransferFault::Broken, "no answer");
  policy_.OnEnd();
  WriteBuffered();
  file_->Flush();
  file_.reset();
  // Bytes joined to kept ones must make the expected file; a whole file is
  // judged by the caller's acceptance, which says what it is instead.
  if (sha_ && sha_->Finish() != *expectedSha256_ && resumed_) {
    FailTransfer(TransferFault::Mismatch, "resumed file: not the expected SHA-256");
  }
}

std::int64_t FileSink::Keep() noexcept {
  if (!file_) return 0;
  try {
    WriteBuffered();
    file_->Flush();
    file_.reset();
    return written_;
  } catch (...) {
    file_.reset();
    return 0;
  }
}

void CopyUnderRules(Platform& platform, const std::string& from, const std::string& to, const TransferRules& rules) {
  try {
    // Closed before the copy is removed (Windows deletes no file held open
    // without delete sharing): the sink goes first.
    FileSink sink(platform, to, rules, /*asked=*/nullptr, /*expectedSha256=*/nullptr);
    const std::unique_ptr<InputFile> source = platform.OpenInput(from);
    ResponseHead head;
    head.status = 200;
    head.contentLength = std::to_string(source->Size());
    sink.Head(head);
    const auto buffer = std::make_unique<char[]>(kPiece);
    for (std::size_t n; (n = source->Read(buffer.get(), kPiece)) > 0;) sink.Body(buffer.get(), n);
    sink.End();
  } catch (...) {
    try {
      platform.RemoveFile(to);
    } catch (const std::exception&) {
    }
    throw;
  }
}

}  // namespace pellarion
