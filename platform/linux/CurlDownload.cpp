#include "platform/linux/CurlDownload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Platform.h"

namespace pellarion {

namespace {

// libcurl hands the body over in pieces of a few KiB; they are collected and
// written in pieces of this size, a thirtieth of the system calls or less.
constexpr std::size_t kWritePiece = 1 << 20;
// Writeback is started every this many bytes, so the flush at the end finds
// little left to write and the disk works while the network does.
constexpr curl_off_t kWritebackChunk = 4 << 20;

// Where the body goes: to the file, but only after the final response has
// shown an acceptable status, so an error page is never written.
struct Sink {
  CURL* curl = nullptr;
  int fd = -1;
  curl_off_t maxBytes = 0;  // 0: no cap
  std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kWritePiece);
  std::size_t buffered = 0;
  curl_off_t received = 0;  // body bytes libcurl handed over
  curl_off_t written = 0;   // of which in the file
  curl_off_t writebackStarted = 0;
  bool started = false;
  long refusedStatus = 0;
  bool overCap = false;
  int writeError = 0;
};

// A 2xx status other than 206: a part of the file is not the file.
bool Acceptable(long status) { return status >= 200 && status <= 299 && status != 206; }

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool Flush(Sink& sink) {
  if (sink.buffered == 0) return true;
  if (!WriteAll(sink.fd, sink.buffer.get(), sink.buffered)) {
    sink.writeError = errno;
    return false;
  }
  sink.written += static_cast<curl_off_t>(sink.buffered);
  sink.buffered = 0;
  if (sink.written - sink.writebackStarted >= kWritebackChunk) {
    ::sync_file_range(sink.fd, sink.writebackStarted, sink.written - sink.writebackStarted,
                      SYNC_FILE_RANGE_WRITE);
    sink.writebackStarted = sink.written;
  }
  return true;
}

// The first piece of the body: the status is final and the length known.
bool Start(Sink& sink) {
  long status = 0;
  curl_easy_getinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
  if (!Acceptable(status)) {
    sink.refusedStatus = status;
    return false;
  }
  // Reserving the announced size up front keeps the file in few extents and
  // finds a full disk before the transfer rather than at its end. The file's
  // length stays what has been written, so a cut transfer still shows.
  curl_off_t length = -1;
  curl_easy_getinfo(sink.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (length > 0 && ::fallocate(sink.fd, FALLOC_FL_KEEP_SIZE, 0, length) != 0 && errno == ENOSPC) {
    sink.writeError = ENOSPC;
    return false;
  }
  sink.started = true;
  return true;
}

std::size_t Write(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  if (!sink.started && !Start(sink)) return 0;  // 0 aborts the transfer
  const std::size_t total = size * count;
  // A body without a length that runs past the cap.
  if (sink.maxBytes > 0 && sink.received + static_cast<curl_off_t>(total) > sink.maxBytes) {
    sink.overCap = true;
    return 0;
  }
  sink.received += static_cast<curl_off_t>(total);
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min(total - done, kWritePiece - sink.buffered);
    std::memcpy(sink.buffer.get() + sink.buffered, data + done, n);
    sink.buffered += n;
    done += n;
    if (sink.buffered == kWritePiece && !Flush(sink)) return 0;
  }
  return total;
}

[[noreturn]] void Fail(const std::string& url, const std::string& why) {
  throw PlatformError("download of " + url + " failed: " + why);
}

// The certificates of PELLARION_CA_FILE, trusted in addition to the system's.
class ExtraAuthorities {
 public:
  ExtraAuthorities() = default;
  ExtraAuthorities(const ExtraAuthorities&) = delete;
  ExtraAuthorities& operator=(const ExtraAuthorities&) = delete;
  ~ExtraAuthorities() {
    for (X509* certificate : certificates_) X509_free(certificate);
  }

  // Reads every certificate of a PEM file; fails when there is none.
  void Load(const std::string& url, const std::string& file) {
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_file(file.c_str(), "r"), BIO_free);
    if (!bio) {
      ERR_clear_error();
      Fail(url, "PELLARION_CA_FILE " + file + " cannot be read");
    }
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      certificates_.push_back(certificate);
    }
    ERR_clear_error();  // the end of the file reads as an error
    if (certificates_.empty()) Fail(url, "PELLARION_CA_FILE " + file + " holds no PEM certificate");
  }

  bool empty() const { return certificates_.empty(); }

  // libcurl's hook into the TLS context of each connection, after it has
  // set up the system's trust store: the extra authorities join that store.
  static CURLcode AddToContext(CURL*, void* sslContext, void* self) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (X509* certificate : static_cast<ExtraAuthorities*>(self)->certificates_) {
      if (X509_STORE_add_cert(store, certificate) != 1) {
        ERR_clear_error();
        return CURLE_SSL_CACERT_BADFILE;
      }
    }
    return CURLE_OK;
  }

 private:
  std::vector<X509*> certificates_;
};

// The extra authorities go into OpenSSL's own store: libcurl must use OpenSSL.
void RequireOpenSslBackend(const std::string& url) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  const char* backend = info && info->ssl_version ? info->ssl_version : "";
  if (std::strncmp(backend, "OpenSSL/", 8) != 0) {
    Fail(url, std::string("PELLARION_CA_FILE needs libcurl with OpenSSL; this one uses ") +
                  (*backend != '\0' ? backend : "no TLS library"));
  }
}

bool IsHttps(const std::string& url) { return url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0; }

}  // namespace

int CurlDownload(const std::string& url, const std::string& localPath, const DownloadLimits& limits) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) Fail(url, "libcurl did not initialise");
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) Fail(url, "no libcurl handle");
  CURL* c = curl.get();

  ExtraAuthorities authorities;
  if (const char* caFile = std::getenv("PELLARION_CA_FILE"); caFile != nullptr && *caFile != '\0') {
    RequireOpenSslBackend(url);
    authorities.Load(url, caFile);
    if (curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, &ExtraAuthorities::AddToContext) != CURLE_OK ||
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &authorities) != CURLE_OK) {
      Fail(url, "PELLARION_CA_FILE cannot be used: libcurl offers no hook into its TLS context");
    }
  }

  const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail(url, "cannot create " + localPath + ": " + std::strerror(errno));
  Sink sink;
  sink.curl = c;
  sink.fd = fd;
  sink.maxBytes = limits.maxBytes > 0 ? limits.maxBytes : 0;
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // Once on https, a redirect may not leave it.
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, IsHttps(url) ? "https" : "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(limits.maxRedirects));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectSeconds));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, limits.minBytesPerSecond);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stallSeconds));
  // An announced length above the cap is refused on the headers.
  if (sink.maxBytes > 0) curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, sink.maxBytes);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "OsmerinPellarionUpdater/2.0");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  // The proxy comes from the environment (http_proxy, https_proxy, no_proxy),
  // as libcurl reads it by default.

  CURLcode result = curl_easy_perform(c);
  if (result == CURLE_OK && !Flush(sink)) result = CURLE_WRITE_ERROR;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t expected = -1;
  curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
  const bool flushed = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;

  if (sink.refusedStatus != 0 || (result == CURLE_OK && !Acceptable(status))) {
    Fail(url, "HTTP status " + std::to_string(sink.refusedStatus != 0 ? sink.refusedStatus : status));
  }
  if (sink.overCap || result == CURLE_FILESIZE_EXCEEDED) {
    Fail(url, "body larger than the limit of " + std::to_string(sink.maxBytes) + " bytes");
  }
  if (sink.writeError != 0) Fail(url, std::string("cannot write: ") + std::strerror(sink.writeError));
  if (result != CURLE_OK) Fail(url, error[0] != '\0' ? error : curl_easy_strerror(result));
  // libcurl reports a body cut short of its Content-Length or its last chunk
  // itself; this is the belt to those braces.
  if (expected >= 0 && sink.received != expected) {
    Fail(url, "body of " + std::to_string(sink.received) + " bytes, " + std::to_string(expected) + " announced");
  }
  if (!flushed || !closed) Fail(url, "cannot flush " + localPath);
  return static_cast<int>(status);
}

}  // namespace pellarion
