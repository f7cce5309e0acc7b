#include "platform/windows/WinHttpDownload.h"

#include <windows.h>

#include <memory>

#include "platform/Platform.h"
#include "platform/windows/DynamicFunctions.h"
#include "platform/windows/ScopedWin.h"
#include "platform/windows/WinText.h"
#include "platform/Joined.h"

namespace pellarion {

namespace {

// Reads take at most this much at a time; the sink gathers them into the
// pieces it writes.
constexpr DWORD kReadPiece = 256 * 1024;
// Windows' own "timed out" and the socket's, which Wine reports.
constexpr DWORD kSocketTimedOut = 10060;

struct InternetHandleTraits : NullMeansNone {
  static void Close(HINTERNET h) { WinHttp().WinHttpCloseHandle(h); }
};
using ScopedInternet = ScopedResource<HINTERNET, InternetHandleTraits>;

[[noreturn]] void Fail(const std::string& url, const std::string& why) {
  throw PlatformError(Joined({"download of ", url, " failed: ", why}));
}

[[noreturn]] void FailWithError(const std::string& url, const char* step, DWORD error = GetLastError()) {
  Fail(url, Joined({step, ": ", ErrorText(error)}));
}

bool SetDword(HINTERNET handle, DWORD option, DWORD value) {
  return WinHttp().WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// Where one request goes: a URL taken apart.
struct Target {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;  // path and query
};

bool Crack(const std::wstring& url, Target& target) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttp().WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  target.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (target.object.empty()) target.object = L"/";
  return true;
}

// Where a redirect's Location leads from `from`: an absolute URL or a path
// from the root of the same server (what servers send).
bool Follow(const Target& from, const std::wstring& location, Target& next) {
  if (location.empty() || location[0] != L'/' || location.rfind(L"//", 0) == 0) return Crack(location, next);
  next = from;
  next.object = location;
  return true;
}

bool SameHost(const Target& a, const Target& b) {
  return a.port == b.port && CompareStringOrdinal(a.host.c_str(), static_cast<int>(a.host.size()), b.host.c_str(),
                                                  static_cast<int>(b.host.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// How the download's session reaches the server.
struct ProxyChoice {
  DWORD access = WINHTTP_ACCESS_TYPE_NO_PROXY;
  std::wstring proxy, bypass;
  // The proxy the user's settings name (the fixed one, or the one their
  // configured script gives): the only proxy the user logs on to. One found
  // by automatic discovery (WPAD) is whoever answered on the network.
  bool configured = false;
};

std::wstring TakeGlobalText(LPWSTR text) {
  std::wstring copy = text != nullptr ? text : L"";
  if (text != nullptr) GlobalFree(text);
  return copy;
}

// The proxy the user's Internet settings give for `url`: automatic discovery
// or the configuration script first, then the fixed proxy with its bypass
// list, else none. Windows 8.1 could resolve this itself
// (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY), but doing it here takes the same
// path on Windows 7 and everywhere else. The choice is given to WinHttpOpen,
// the one place every WinHTTP (Wine's too) honours.
ProxyChoice UsersProxy(const wchar_t* agent, const std::wstring& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  if (!WinHttp().WinHttpGetIEProxyConfigForCurrentUser(&ie)) return {};  // no settings: direct
  const std::wstring script = TakeGlobalText(ie.lpszAutoConfigUrl);
  ProxyChoice fixed;
  fixed.proxy = TakeGlobalText(ie.lpszProxy);
  fixed.bypass = TakeGlobalText(ie.lpszProxyBypass);
  if (!fixed.proxy.empty()) {
    fixed.access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    fixed.configured = true;
  }
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
  // The script's server gets no log-on: whoever serves a discovered script
  // must not collect the user's credentials with it.
  automatic.fAutoLogonIfChallenged = FALSE;
  const ScopedInternet resolver(
      WinHttp().WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  WINHTTP_PROXY_INFO found{};
  if (!resolver.valid() || !WinHttp().WinHttpGetProxyForUrl(resolver.get(), url.c_str(), &automatic, &found)) {
    return fixed;  // nothing discovered, no script: the fixed settings still apply
  }
  ProxyChoice discovered;
  discovered.proxy = TakeGlobalText(found.lpszProxy);
  discovered.bypass = TakeGlobalText(found.lpszProxyBypass);
  if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !discovered.proxy.empty()) {
    discovered.access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    discovered.configured = !ie.fAutoDetect;
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
  return WinHttp().WinHttpSetCredentials(request, target, scheme, /*pwszUserName=*/nullptr,
                                         /*pwszPassword=*/nullptr, /*pAuthParams=*/nullptr) != FALSE;
}

// A header of the response as text; empty when absent.
std::string Header(HINTERNET request, DWORD which) {
  wchar_t text[512];
  DWORD size = sizeof text;
  if (!WinHttp().WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                     WINHTTP_NO_HEADER_INDEX)) {
    return "";
  }
  return Utf8(std::wstring(text, size / sizeof(wchar_t)));
}

DWORD StatusCode(HINTERNET request, const std::string& url) {
  DWORD status = 0, size = sizeof status;
  if (!WinHttp().WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    FailWithError(url, "no status");
  }
  return status;
}

bool IsRedirect(DWORD status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// Bounds the next wait of `request` by how long the sink allows. Windows
// takes a new bound for each wait; Wine keeps the one the request was sent
// with, so a wait there ends at the latest when the bound at the start of
// the request (the pace's window at most) has passed.
void BoundWait(HINTERNET request, TransferSink& sink) {
  std::int64_t ms = sink.WaitLimitMs();
  if (ms <= 0) sink.Idle();  // the rules are broken already: the sink says which
  ms = ms < 500 ? 500 : ms + 100;
  const DWORD bound = static_cast<DWORD>(ms > 3600000 ? 3600000 : ms);
  SetDword(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, bound);
  SetDword(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, bound);
}

// A wait that ran out: the sink names the rule it broke, or it was the
// server that went quiet.
[[noreturn]] void WaitEnded(const std::string& url, TransferSink& sink, const char* step, DWORD error) {
  if (error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut) sink.Idle();
  FailWithError(url, step, error);
}

}  // namespace

void WinHttpTransfer(const TransferRequest& request, TransferSink& sink) {
  const std::string& url = request.url;
  const std::wstring wideUrl = Wide(url);
  Target origin;
  if (!Crack(wideUrl, origin)) Fail(url, "not an http or https URL");

  const std::wstring agent = Wide(request.userAgent);
  const ProxyChoice proxy = UsersProxy(agent.c_str(), wideUrl);
  const bool named = proxy.access == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  const ScopedInternet session(WinHttp().WinHttpOpen(
      agent.c_str(), proxy.access, named ? proxy.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
      named && !proxy.bypass.empty() ? proxy.bypass.c_str() : WINHTTP_NO_PROXY_BYPASS, /*dwFlags=*/0));
  if (!session.valid()) FailWithError(url, "no WinHTTP session");
  // Windows 7 offers TLS 1.2 only when asked; TLS 1.3 is taken where the
  // system knows it.
  if (!SetDword(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
                WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) &&
      !SetDword(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2) &&
      origin.secure) {
    FailWithError(url, "TLS 1.2 is not available");
  }
  const int connectMs = request.connectSeconds * 1000;
  WinHttp().WinHttpSetTimeouts(session.get(), /*nResolveTimeout=*/connectMs, connectMs, /*nSendTimeout=*/connectMs,
                               /*nReceiveTimeout=*/connectMs);
  std::wstring ranges;
  if (request.rangeFrom > 0) {
    std::string asked = "Range: bytes=";
    asked += std::to_string(request.rangeFrom);
    asked += "-\r\nIf-Range: ";
    asked += request.ifRange;
    ranges = Wide(asked);
  }

  // Redirects are followed here, hop by hop, so that each hop's host decides
  // whether the user's log-on may go there: only to the update server's own
  // host, and only to the proxy the user's settings name.
  Target target = origin;
  ScopedInternet connection, get;
  DWORD status = 0;
  for (int hop = 0;; ++hop) {
    connection = ScopedInternet(WinHttp().WinHttpConnect(session.get(), target.host.c_str(), target.port, 0));
    if (!connection.valid()) FailWithError(url, "cannot connect");
    // No certificate-error flags are ever set: a certificate the system does
    // not trust for this host fails the request.
    get = ScopedInternet(WinHttp().WinHttpOpenRequest(connection.get(), L"GET", target.object.c_str(),
                                                      /*pwszVersion=*/nullptr, WINHTTP_NO_REFERER,
                                                      WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!get.valid()) FailWithError(url, "cannot open the request");
    SetDword(get.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
    const bool ownHost = SameHost(target, origin) && target.secure == origin.secure;
    // Automatic log-on on the local intranet at most, and only at home.
    SetDword(get.get(), WINHTTP_OPTION_AUTOLOGON_POLICY,
             ownHost ? WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM : WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
    if (!ranges.empty() &&
        !WinHttp().WinHttpAddRequestHeaders(get.get(), ranges.c_str(), static_cast<DWORD>(-1),
                                            WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
      FailWithError(url, "cannot ask for a range");
    }
    // One answer to a 401 (from the update server's host) and one to a 407
    // (from the configured proxy), each with the user's credentials.
    bool answeredServer = false, answeredProxy = false;
    for (;;) {
      BoundWait(get.get(), sink);
      if (!WinHttp().WinHttpSendRequest(get.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                        0)) {
        WaitEnded(url, sink, "cannot send the request", GetLastError());
      }
      if (!WinHttp().WinHttpReceiveResponse(get.get(), /*lpReserved=*/nullptr)) {
        WaitEnded(url, sink, "no response", GetLastError());
      }
      status = StatusCode(get.get(), url);
      if (status == HTTP_STATUS_DENIED && ownHost && !answeredServer) {
        answeredServer = true;
      } else if (status == HTTP_STATUS_PROXY_AUTH_REQ && proxy.configured && !answeredProxy) {
        answeredProxy = true;
      } else {
        break;
      }
      if (!LogOnAsTheUser(get.get())) break;
    }
    if (!IsRedirect(status)) break;
    const std::wstring location = Wide(Header(get.get(), WINHTTP_QUERY_LOCATION));
    Target next;
    if (location.empty() || !Follow(target, location, next)) Fail(url, "a redirect without a Location");
    if (hop >= request.maxRedirects) Fail(url, "too many redirects");
    // Once on https, a redirect may not leave it.
    if (target.secure && !next.secure) Fail(url, "a redirect from https to http");
    target = next;
  }

  ResponseHead head;
  head.status = static_cast<int>(status);
  head.contentLength = Header(get.get(), WINHTTP_QUERY_CONTENT_LENGTH);
  head.contentRange = Header(get.get(), WINHTTP_QUERY_CONTENT_RANGE);
  head.etag = Header(get.get(), WINHTTP_QUERY_ETAG);
  head.lastModified = Header(get.get(), WINHTTP_QUERY_LAST_MODIFIED);
  head.retryAfter = Header(get.get(), WINHTTP_QUERY_RETRY_AFTER);
  sink.Head(head);

  const auto buffer = std::make_unique<char[]>(kReadPiece);
  for (;;) {
    // A read waits until its whole buffer is filled; asking what has
    // arrived first keeps each read short, so a trickle is seen as one.
    BoundWait(get.get(), sink);
    DWORD available = 0, read = 0;
    if (!WinHttp().WinHttpQueryDataAvailable(get.get(), &available)) {
      WaitEnded(url, sink, "transfer broken", GetLastError());
    }
    if (available == 0) break;
    if (!WinHttp().WinHttpReadData(get.get(), buffer.get(), available < kReadPiece ? available : kReadPiece, &read)) {
      WaitEnded(url, sink, "transfer broken", GetLastError());
    }
    if (read == 0) break;
    sink.Body(buffer.get(), read);
  }
  sink.End();
}

}  // namespace pellarion
