#include "platform/windows/WinHttpDownload.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "platform/windows/DynamicFunctions.h"
#include "platform/windows/ScopedWin.h"
#include "platform/windows/TransferPace.h"
#include "platform/windows/WinText.h"

namespace pellarion {

namespace {

// Reads gather up to this much before one write to the file.
constexpr DWORD kPiece = 1024 * 1024;

// WinHTTP handles close through the table bound from System32.
struct InternetHandleTraits : NullMeansNone {
  static void Close(HINTERNET h) { WinHttp().WinHttpCloseHandle(h); }
};
using ScopedInternet = ScopedResource<HINTERNET, InternetHandleTraits>;

[[noreturn]] void Fail(const std::string& url, const std::string& why) {
  throw PlatformError("download of " + url + " failed: " + why);
}

[[noreturn]] void FailWithError(const std::string& url, const char* step) {
  Fail(url, std::string(step) + ": " + ErrorText(GetLastError()));
}

bool SetDword(HINTERNET handle, DWORD option, DWORD value) {
  return WinHttp().WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// How the download's session reaches the server.
struct ProxyChoice {
  DWORD access = WINHTTP_ACCESS_TYPE_NO_PROXY;
  std::wstring proxy, bypass;
};

std::wstring TakeGlobalText(LPWSTR text) {
  std::wstring copy = text != nullptr ? text : L"";
  if (text != nullptr) GlobalFree(text);
  return copy;
}

// The proxy the user's Internet settings give for `url`: automatic discovery
// or the configuration script first (logging on to fetch the script if
// asked), then the fixed proxy with its bypass list, else none. Windows 8.1
// could resolve this itself (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY), but doing
// it here takes the same path on Windows 7 and everywhere else. The choice
// is given to WinHttpOpen, the one place every WinHTTP (Wine's too) honours.
ProxyChoice UsersProxy(const wchar_t* agent, const std::wstring& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  if (!WinHttp().WinHttpGetIEProxyConfigForCurrentUser(&ie)) return {};  // no settings: direct
  const std::wstring script = TakeGlobalText(ie.lpszAutoConfigUrl);
  ProxyChoice fixed;
  fixed.proxy = TakeGlobalText(ie.lpszProxy);
  fixed.bypass = TakeGlobalText(ie.lpszProxyBypass);
  if (!fixed.proxy.empty()) fixed.access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  if (!ie.fAutoDetect && script.empty()) return fixed;

  WINHTTP_AUTOPROXY_OPTIONS automatic{};
  if (ie.fAutoDetect) {
    automatic.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    automatic.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!script.empty()) {
    automatic.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    automatic.lpszAutoConfigUrl = script.c_str();
  }
  automatic.fAutoLogonIfChallenged = TRUE;
  const ScopedInternet resolver(
      WinHttp().WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  WINHTTP_PROXY_INFO found{};
  if (resolver.get() == nullptr || !WinHttp().WinHttpGetProxyForUrl(resolver.get(), url.c_str(), &automatic, &found)) {
    return fixed;  // nothing discovered, no script: the fixed settings still apply
  }
  ProxyChoice discovered;
  discovered.proxy = TakeGlobalText(found.lpszProxy);
  discovered.bypass = TakeGlobalText(found.lpszProxyBypass);
  if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !discovered.proxy.empty()) {
    discovered.access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  }
  return discovered;
}

// After a 401 or 407: the logged-on user's own credentials, Negotiate
// preferred to NTLM. False when the server or proxy offers neither.
bool LogOnAsTheUser(HINTERNET request) {
  DWORD supported = 0, first = 0, target = 0;
  if (!WinHttp().WinHttpQueryAuthSchemes(request, &supported, &first, &target)) return false;
  DWORD scheme = 0;
  if (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) {
    scheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
  } else if (supported & WINHTTP_AUTH_SCHEME_NTLM) {
    scheme = WINHTTP_AUTH_SCHEME_NTLM;
  } else {
    return false;
  }
  return WinHttp().WinHttpSetCredentials(request, target, scheme, /*pwszUserName=*/nullptr, /*pwszPassword=*/nullptr,
                                  /*pAuthParams=*/nullptr) != FALSE;
}

// Content-Length as a number; -1 when absent or not a plain decimal.
long long AnnouncedLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD size = sizeof text;
  if (!WinHttp().WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                              WINHTTP_NO_HEADER_INDEX)) {
    return -1;
  }
  long long value = 0;
  const std::size_t digits = size / sizeof(wchar_t);
  if (digits == 0 || digits > 18) return -1;
  for (std::size_t i = 0; i < digits; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return -1;
    value = value * 10 + (text[i] - L'0');
  }
  return value;
}

DWORD StatusCode(HINTERNET request, const std::string& url) {
  DWORD status = 0, size = sizeof status;
  if (!WinHttp().WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    FailWithError(url, "no status");
  }
  return status;
}

}  // namespace

int WinHttpDownload(const std::string& url, const std::string& path, const DownloadLimits& limits) {
  const std::wstring wideUrl = Wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttp().WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) FailWithError(url, "not a URL");
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    Fail(url, "only http and https are fetched");
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";

  constexpr wchar_t kAgent[] = L"OsmerinPellarionUpdater/2.0";
  const ProxyChoice proxy = UsersProxy(kAgent, wideUrl);
  const bool named = proxy.access == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  const ScopedInternet session(WinHttp().WinHttpOpen(
      kAgent, proxy.access, named ? proxy.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
      named && !proxy.bypass.empty() ? proxy.bypass.c_str() : WINHTTP_NO_PROXY_BYPASS, /*dwFlags=*/0));
  if (session.get() == nullptr) FailWithError(url, "no WinHTTP session");
  // Windows 7 offers TLS 1.2 only when asked; TLS 1.3 is taken where the
  // system knows it.
  if (!SetDword(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
                WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) &&
      !SetDword(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2) && secure) {
    FailWithError(url, "TLS 1.2 is not available");
  }
  const int connectMs = limits.connectSeconds * 1000;
  const int stallMs = limits.stallSeconds * 1000;
  WinHttp().WinHttpSetTimeouts(session.get(), /*nResolveTimeout=*/connectMs, connectMs, /*nSendTimeout=*/stallMs,
                        /*nReceiveTimeout=*/stallMs);
  const ScopedInternet connection(WinHttp().WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (connection.get() == nullptr) FailWithError(url, "cannot connect");
  // No certificate-error flags are ever set: a certificate the system does
  // not trust for this host fails the request.
  const ScopedInternet request(WinHttp().WinHttpOpenRequest(connection.get(), L"GET", object.c_str(),
                                                     /*pwszVersion=*/nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
  if (request.get() == nullptr) FailWithError(url, "cannot open the request");
  // The plain receive timeout is not honoured everywhere; this one is, also
  // while the body stalls.
  SetDword(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(stallMs));
  // A redirect may stay on https or go from http to https, never down to
  // http; each hop counts against the limit.
  if (limits.maxRedirects <= 0) {
    SetDword(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  } else {
    SetDword(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP);
    SetDword(request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, static_cast<DWORD>(limits.maxRedirects));
  }
  // The user's own log-on may go to any server or proxy that asks for it.
  SetDword(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW);

  // One answer to a 401 and one to a 407, each with the user's credentials.
  bool answeredServer = false, answeredProxy = false;
  DWORD status = 0;
  for (;;) {
    if (!WinHttp().WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      FailWithError(url, "cannot send the request");
    }
    if (!WinHttp().WinHttpReceiveResponse(request.get(), /*lpReserved=*/nullptr)) FailWithError(url, "no response");
    status = StatusCode(request.get(), url);
    bool& answered = status == HTTP_STATUS_PROXY_AUTH_REQ ? answeredProxy : answeredServer;
    if ((status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) || answered) break;
    answered = true;
    if (!LogOnAsTheUser(request.get())) break;
  }

  // The status and length are judged before a byte is written: an error
  // page never becomes the file, and an oversized body is not even started.
  // A 206 is a piece of the file, never the file.
  if (status < 200 || status > 299) Fail(url, "HTTP status " + std::to_string(status));
  if (status == HTTP_STATUS_PARTIAL_CONTENT) Fail(url, "HTTP status 206, a part of the body");
  const long long expected = AnnouncedLength(request.get());
  if (expected > limits.maxBytes) {
    Fail(url, "body of " + std::to_string(expected) + " bytes announced, more than the " +
                  std::to_string(limits.maxBytes) + " allowed");
  }

  const ScopedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                      /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
  if (!file.valid()) FailWithError(url, "cannot create the file");
  if (expected > 0) {
    // Reserving the announced size up front keeps the file in few pieces;
    // only a hint, so a file system that declines it changes nothing.
    FILE_ALLOCATION_INFO reserve{};
    reserve.AllocationSize.QuadPart = expected;
    SetFileInformationByHandle(file.get(), FileAllocationInfo, &reserve, sizeof reserve);
  }

  const auto buffer = std::make_unique<char[]>(kPiece);
  DWORD filled = 0;
  long long received = 0;
  const auto flush = [&] {
    DWORD written = 0;
    if (filled > 0 &&
        (!WriteFile(file.get(), buffer.get(), filled, &written, /*lpOverlapped=*/nullptr) || written != filled)) {
      FailWithError(url, "cannot write the file");
    }
    filled = 0;
  };
  TransferPace pace(static_cast<std::int64_t>(GetTickCount64()), stallMs, limits.minBytesPerSecond);
  for (;;) {
    // A read waits until its whole buffer is filled; asking what has
    // arrived first keeps each read short, so a trickle is seen as one.
    DWORD available = 0, read = 0;
    if (!WinHttp().WinHttpQueryDataAvailable(request.get(), &available)) FailWithError(url, "transfer broken");
    if (available == 0) break;
    if (available > kPiece - filled) available = kPiece - filled;
    if (!WinHttp().WinHttpReadData(request.get(), buffer.get() + filled, available, &read)) {
      FailWithError(url, "transfer broken");
    }
    if (read == 0) break;
    filled += read;
    received += read;
    if (received > limits.maxBytes) {
      Fail(url, "body longer than the " + std::to_string(limits.maxBytes) + " bytes allowed");
    }
    if (filled == kPiece) flush();
    if (pace.TooSlow(static_cast<std::int64_t>(GetTickCount64()), received)) {
      Fail(url, "slower than " + std::to_string(limits.minBytesPerSecond) + " bytes a second for " +
                    std::to_string(limits.stallSeconds) + " s");
    }
  }
  flush();
  // A body cut short ends the reads without an error: the length tells.
  if (expected >= 0 && received != expected) {
    Fail(url, "body of " + std::to_string(received) + " bytes, " + std::to_string(expected) + " announced");
  }
  if (!FlushFileBuffers(file.get())) FailWithError(url, "cannot flush the file");
  return static_cast<int>(status);
}

}  // namespace pellarion
