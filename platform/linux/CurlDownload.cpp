#include "platform/linux/CurlDownload.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "platform/Platform.h"

namespace pellarion {

namespace {

// The sink's calls from libcurl's callbacks: a failure it throws cannot pass
// through libcurl's C frames, so it is kept here, the transfer aborted, and
// the failure thrown again once libcurl has returned.
struct Delivery {
  CURL* curl = nullptr;
  TransferSink* sink = nullptr;
  bool headDelivered = false;
  std::exception_ptr failure;

  std::string Header(const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || header == nullptr) return "";
    return header->value;
  }

  // The final response's head, once: at its end, else before its first body
  // bytes, or after the transfer for a body that has none.
  void DeliverHead() {
    if (headDelivered) return;
    headDelivered = true;
    ResponseHead head;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    head.status = static_cast<int>(status);
    head.contentLength = Header("Content-Length");
    head.contentRange = Header("Content-Range");
    head.etag = Header("ETag");
    head.lastModified = Header("Last-Modified");
    head.retryAfter = Header("Retry-After");
    sink->Head(head);
  }
};

// The end of a response's head is a blank line. Heads that libcurl goes on
// from (an interim 1xx, a proxy's CONNECT answer, a redirect it follows) are
// not the final response's; the final one goes to the sink at once, before
// any of its body arrives.
std::size_t HeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
  auto& delivery = *static_cast<Delivery*>(user);
  const std::size_t length = size * count;
  if (length > 2 || (length > 0 && data[0] != '\r' && data[0] != '\n')) return length;
  long status = 0;
  curl_easy_getinfo(delivery.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || (status >= 300 && status < 400 && !delivery.Header("Location").empty())) return length;
  try {
    delivery.DeliverHead();
    return length;
  } catch (...) {
    delivery.failure = std::current_exception();
    return 0;  // aborts the transfer
  }
}

std::size_t Write(char* data, std::size_t size, std::size_t count, void* user) {
  auto& delivery = *static_cast<Delivery*>(user);
  try {
    delivery.DeliverHead();
    delivery.sink->Body(data, size * count);
    return size * count;
  } catch (...) {
    delivery.failure = std::current_exception();
    return 0;  // anything but the size given aborts the transfer
  }
}

// libcurl calls this about once a second while nothing arrives, and more
// often while bytes do: the sink's rules of time are checked on time.
int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& delivery = *static_cast<Delivery*>(user);
  try {
    delivery.sink->Idle();
    return 0;
  } catch (...) {
    delivery.failure = std::current_exception();
    return 1;  // aborts the transfer
  }
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

void CurlTransfer(const TransferRequest& request, TransferSink& sink) {
  const std::string& url = request.url;
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

  Delivery delivery;
  delivery.curl = c;
  delivery.sink = &sink;
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // Once on https, a redirect may not leave it.
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, IsHttps(url) ? "https" : "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(request.maxRedirects));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.connectSeconds));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(c, CURLOPT_USERAGENT, request.userAgent);
  // A resume asks for the rest of the version it holds the start of; any
  // other version comes whole.
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
  const std::string range = std::to_string(request.rangeFrom) + "-";
  if (request.rangeFrom > 0) {
    curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
    headers.reset(curl_slist_append(nullptr, (std::string("If-Range: ") + request.ifRange).c_str()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  }
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &HeaderLine);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &delivery);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &delivery);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &delivery);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  // The proxy comes from the environment (http_proxy, https_proxy, no_proxy),
  // as libcurl reads it by default.

  const CURLcode result = curl_easy_perform(c);
  if (delivery.failure) std::rethrow_exception(delivery.failure);
  // libcurl itself reports a body cut short of its Content-Length or its
  // last chunk.
  if (result != CURLE_OK) Fail(url, error[0] != '\0' ? error : curl_easy_strerror(result));
  delivery.DeliverHead();  // a response without a body
  sink.End();
}

}  // namespace pellarion
