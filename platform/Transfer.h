// The seam between a transport (libcurl, WinHTTP) and the rules of a
// transfer. A transport does what is its own: the request, proxies, TLS,
// redirects, log-on. Everything it receives it hands to a TransferSink
// (the head of the final response, the body piece by piece, regular ticks
// while it waits, and the body's end), which judges the transfer and stores
// the body. The sink ends the transfer by throwing; the transport stops at
// once and lets that exception through unchanged. All of it happens on the
// transport's thread, so that storing and flushing never hold up a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pellarion {

// What a transport asks of the server.
struct TransferRequest {
  std::string url;
  const char* userAgent = "";  // sent as it is
  // Resuming: only the bytes from `rangeFrom` on, asked with
  // "Range: bytes=<rangeFrom>-" and "If-Range: <ifRange>" (when rangeFrom > 0).
  std::int64_t rangeFrom = 0;
  const char* ifRange = "";
  int connectSeconds = 30;
  int maxRedirects = 5;
};

// The head of the final response (after redirects and log-on), its fields
// as the server sent them; an absent field is empty.
struct ResponseHead {
  int status = 0;
  std::string contentLength, contentRange, etag, lastModified, retryAfter;
};

class TransferSink {
 public:
  virtual ~TransferSink() = default;
  // The final response's head, before any of its body.
  virtual void Head(const ResponseHead& head) = 0;
  // The next bytes of the body.
  virtual void Body(const char* data, std::size_t size) = 0;
  // Called while the transport waits, at the latest once WaitLimitMs has
  // passed without a byte (and about once a second where the transport can).
  virtual void Idle() = 0;
  // The longest the transport may now wait for the next bytes of the head or
  // the body before the rules are broken. A transport that cannot be woken
  // bounds each blocking wait by it, then calls Idle.
  virtual std::int64_t WaitLimitMs() = 0;
  // The body ended without a failure the transport could see.
  virtual void End() = 0;
};

// A file written in order, in large pieces.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Sets aside room for the file to reach `totalBytes` (where the file system
  // can, a hint elsewhere); fails when the volume has no room for it.
  virtual void Reserve(std::int64_t totalBytes) = 0;
  // Appends; fails when the bytes cannot be written.
  virtual void Write(const char* data, std::size_t size) = 0;
  // Puts everything written on the disk; fails when it cannot.
  virtual void Flush() = 0;
};

// The space of the volume holding a file or folder.
struct VolumeSpace {
  std::int64_t freeBytes = 0;   // available to this user
  std::int64_t totalBytes = 0;  // the volume's size
};

// The system the updater runs on, as its requests name it.
struct SystemDescription {
  std::string system;        // name and version: "Windows 10.0.19045", "Linux 6.1.0"
  std::string architecture;  // the machine's: "x86", "x64", "arm64"; "x86_64" on Linux
};

}  // namespace pellarion
