#include "platform/linux/CurlDownload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/Platform.h"

namespace pellarion {

namespace {

// Where the body goes: straight to the file, but only after the final
// response has shown a 2xx status, so an error page is never written.
// Writeback is started every this many bytes, so the flush at the end finds
// little left to write and the disk works while the network does.
constexpr curl_off_t kWritebackChunk = 4 << 20;

struct Sink {
  CURL* curl = nullptr;
  int fd = -1;
  curl_off_t written = 0;
  curl_off_t writebackStarted = 0;
  long refusedStatus = 0;
  int writeError = 0;
};

std::size_t Write(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  long status = 0;
  curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) {
    sink->refusedStatus = status;
    return 0;  // aborts the transfer
  }
  const std::size_t total = size * count;
  for (std::size_t done = 0; done < total;) {
    const ssize_t n = ::write(sink->fd, data + done, total - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      sink->writeError = errno;
      return 0;
    }
    done += static_cast<std::size_t>(n);
  }
  sink->written += static_cast<curl_off_t>(total);
  if (sink->written - sink->writebackStarted >= kWritebackChunk) {
    ::sync_file_range(sink->fd, sink->writebackStarted, sink->written - sink->writebackStarted,
                      SYNC_FILE_RANGE_WRITE);
    sink->writebackStarted = sink->written;
  }
  return total;
}

[[noreturn]] void Fail(const std::string& url, const std::string& why) {
  throw PlatformError("download of " + url + " failed: " + why);
}

}  // namespace

void CurlDownload(const std::string& url, const std::string& localPath, const DownloadLimits& limits) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) Fail(url, "libcurl did not initialise");
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) Fail(url, "no libcurl handle");

  const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail(url, "cannot create " + localPath + ": " + std::strerror(errno));
  Sink sink{curl.get(), fd};
  char error[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(limits.maxRedirects));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectSeconds));
  // Less than one byte a second for stallSeconds: nothing is arriving.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stallSeconds));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "OsmerinPellarionUpdater/2.0");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  // The proxy comes from the environment (http_proxy, https_proxy, no_proxy),
  // as libcurl reads it by default.

  const CURLcode result = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t expected = -1;
  curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
  const bool flushed = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;

  if (sink.refusedStatus != 0 || status < 200 || status > 299) {
    Fail(url, "HTTP status " + std::to_string(sink.refusedStatus != 0 ? sink.refusedStatus : status));
  }
  if (sink.writeError != 0) Fail(url, std::string("cannot write: ") + std::strerror(sink.writeError));
  if (result != CURLE_OK) Fail(url, error[0] != '\0' ? error : curl_easy_strerror(result));
  if (expected >= 0 && sink.written != expected) {
    Fail(url, "body of " + std::to_string(sink.written) + " bytes, " + std::to_string(expected) + " announced");
  }
  if (!flushed || !closed) Fail(url, "cannot flush " + localPath);
}

}  // namespace pellarion
