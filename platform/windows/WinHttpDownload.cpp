#include "platform/windows/WinHttpDownload.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "platform/Platform.h"
#include "platform/windows/ScopedWin.h"
#include "platform/windows/WinText.h"

namespace pellarion {

namespace {

constexpr DWORD kPiece = 256 * 1024;

class ScopedInternet {
 public:
  explicit ScopedInternet(HINTERNET h = nullptr) : h_(h) {}
  ScopedInternet(const ScopedInternet&) = delete;
  ScopedInternet& operator=(const ScopedInternet&) = delete;
  ~ScopedInternet() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

[[noreturn]] void Fail(const std::string& url, const std::string& why) {
  throw PlatformError("download of " + url + " failed: " + why);
}

[[noreturn]] void FailWithError(const std::string& url, const char* step) {
  Fail(url, std::string(step) + ": " + ErrorText(GetLastError()));
}

// A session that goes through the proxy the user has set: the automatic
// proxy where the system offers it, else the user's Internet settings.
HINTERNET OpenSession() {
  constexpr wchar_t kAgent[] = L"OsmerinPellarionUpdater/2.0";
  HINTERNET session = WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, /*dwFlags=*/0);
  if (session != nullptr) return session;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  if (WinHttpGetIEProxyConfigForCurrentUser(&ie) && ie.lpszProxy != nullptr) {
    session = WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, ie.lpszProxy,
                          ie.lpszProxyBypass != nullptr ? ie.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS, 0);
  }
  for (LPWSTR text : {ie.lpszAutoConfigUrl, ie.lpszProxy, ie.lpszProxyBypass}) {
    if (text != nullptr) GlobalFree(text);
  }
  if (session != nullptr) return session;
  return WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                     WINHTTP_NO_PROXY_BYPASS, 0);
}

}  // namespace

void WinHttpDownload(const std::string& url, const std::string& path, const DownloadLimits& limits) {
  const std::wstring wideUrl = Wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) FailWithError(url, "not a URL");
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    Fail(url, "only http and https are fetched");
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";

  const ScopedInternet session(OpenSession());
  if (session.get() == nullptr) FailWithError(url, "no WinHTTP session");
  const int connectMs = limits.connectSeconds * 1000;
  const int stallMs = limits.stallSeconds * 1000;
  WinHttpSetTimeouts(session.get(), /*nResolveTimeout=*/connectMs, connectMs, /*nSendTimeout=*/stallMs,
                     /*nReceiveTimeout=*/stallMs);
  const ScopedInternet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (connection.get() == nullptr) FailWithError(url, "cannot connect");
  const ScopedInternet request(WinHttpOpenRequest(
      connection.get(), L"GET", object.c_str(), /*pwszVersion=*/nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (request.get() == nullptr) FailWithError(url, "cannot open the request");
  // The plain receive timeout is not honoured everywhere; this one is, also
  // while the body stalls.
  DWORD stall = static_cast<DWORD>(stallMs);
  WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &stall, sizeof stall);
  DWORD redirects = static_cast<DWORD>(limits.maxRedirects);
  WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    FailWithError(url, "cannot send the request");
  }
  if (!WinHttpReceiveResponse(request.get(), /*lpReserved=*/nullptr)) FailWithError(url, "no response");

  // The status is read before a byte is written: an error page never
  // becomes the file.
  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    FailWithError(url, "no status");
  }
  if (status < 200 || status > 299) Fail(url, "HTTP status " + std::to_string(status));
  long long expected = -1;
  wchar_t length[32] = {};
  size = sizeof length;
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length,
                          &size, WINHTTP_NO_HEADER_INDEX)) {
    expected = _wtoi64(length);
  }

  const ScopedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                      /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
  if (!file.valid()) FailWithError(url, "cannot create the file");
  std::vector<char> piece(kPiece);
  long long received = 0;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), piece.data(), kPiece, &read)) FailWithError(url, "transfer broken");
    if (read == 0) break;
    DWORD written = 0;
    if (!WriteFile(file.get(), piece.data(), read, &written, /*lpOverlapped=*/nullptr) || written != read) {
      FailWithError(url, "cannot write the file");
    }
    received += read;
  }
  // A body cut short ends the reads without an error: the length tells.
  if (expected >= 0 && received != expected) {
    Fail(url, "body of " + std::to_string(received) + " bytes, " + std::to_string(expected) + " announced");
  }
  if (!FlushFileBuffers(file.get())) FailWithError(url, "cannot flush the file");
}

}  // namespace pellarion
