// WinINet subset over libcurl. Each URL handle owns one easy handle driven by its own multi
// handle on the caller's thread, so a body streams through a bounded buffer as it is read.
// libcurl and the libraries under it are loaded only while a handle is open: the program makes a
// few lookups when it connects, and the mapped tree would otherwise stay resident all along.
#include "win32/wininet.h"

#include <curl/curl.h>  // types and constants only; the functions come from dlsym
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "clock.h"
#include "win32/kernel.h"
#include "win32/shell.h"

namespace {

// WinINet's defaults: connecting may take 60 s; a response that stalls for 30 s fails.
constexpr uint64_t kConnectTimeoutUs = 60000ull * 1000;
constexpr uint64_t kReceiveTimeoutUs = 30000ull * 1000;
// Past this much unread body the transfer pauses until the reader catches up.
constexpr size_t kBufferLimit = 256 * 1024;
constexpr long kMaxRedirects = 30;
constexpr int kMaxPollMs = 1000;

// The curl functions this file calls, named without their "curl_" prefix (curl.h turns some of the
// full names into type-checking macros).
#define QV_CURL_FUNCTIONS(X) \
  X(global_init)             \
  X(global_cleanup)          \
  X(easy_init)               \
  X(easy_cleanup)            \
  X(easy_setopt)             \
  X(easy_getinfo)            \
  X(easy_pause)              \
  X(multi_init)              \
  X(multi_cleanup)           \
  X(multi_add_handle)        \
  X(multi_remove_handle)     \
  X(multi_perform)           \
  X(multi_info_read)         \
  X(multi_timeout)           \
  X(multi_poll)              \
  X(multi_wakeup)            \
  X(slist_append)            \
  X(slist_free_all)          \
  X(url)                     \
  X(url_set)                 \
  X(url_get)                 \
  X(url_cleanup)             \
  X(free)

constexpr char kCurlLibrary[] = "libcurl.so.4";

// One load of libcurl, initialised. Shared by every handle and request using it; the last one
// to let go cleans curl up and unloads it.
struct Curl {
#define QV_CURL_MEMBER(name) decltype(&curl_##name) name = nullptr;
  QV_CURL_FUNCTIONS(QV_CURL_MEMBER)
#undef QV_CURL_MEMBER
  void* library = nullptr;
};

struct Loader {
  std::mutex mutex;  // loading, initialising, cleaning up and unloading, one at a time
  std::weak_ptr<const Curl> live;
};

Loader& TheLoader() {
  static Loader* loader = new Loader;  // never destroyed: the last handle may close during exit
  return *loader;
}

// curl waits for its resolver threads when a transfer ends (CURLOPT_QUICK_EXIT stays off), so
// none of its code runs past the last handle.
void Unload(const Curl* curl) {
  {
    std::lock_guard<std::mutex> lock(TheLoader().mutex);
    curl->global_cleanup();
    dlclose(curl->library);
  }
  delete curl;
}

// The loaded library, loaded now if no handle holds it; null with the last error set if it
// cannot be.
std::shared_ptr<const Curl> AcquireCurl() {
  Loader& loader = TheLoader();
  std::lock_guard<std::mutex> lock(loader.mutex);
  if (std::shared_ptr<const Curl> live = loader.live.lock()) return live;

  void* library = dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    OutputDebugStringA((std::string("wininet: cannot load ") + (why ? why : kCurlLibrary) + "\r\n").c_str());
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto curl = std::make_unique<Curl>();
  curl->library = library;
  const char* missing = nullptr;
#define QV_CURL_RESOLVE(name)                                                           \
  curl->name = reinterpret_cast<decltype(&curl_##name)>(dlsym(library, "curl_" #name)); \
  if (!curl->name && !missing) missing = "curl_" #name;
  QV_CURL_FUNCTIONS(QV_CURL_RESOLVE)
#undef QV_CURL_RESOLVE
  if (missing) {
    OutputDebugStringA((std::string("wininet: ") + kCurlLibrary + " lacks " + missing + "\r\n").c_str());
    dlclose(library);
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
  }
  if (curl->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    OutputDebugStringA("wininet: curl_global_init failed\r\n");
    dlclose(library);
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
  }
  std::shared_ptr<const Curl> shared(curl.release(), Unload);
  loader.live = shared;
  return shared;
}

struct Session {
  std::shared_ptr<const Curl> curl;
  std::string agent;
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::string proxy;
  std::string noProxy;
};

struct Request {
  explicit Request(std::shared_ptr<const Curl> library) : curl(std::move(library)) {}
  ~Request() {
    if (multi && easy) curl->multi_remove_handle(multi, easy);
    if (easy) curl->easy_cleanup(easy);
    if (multi) curl->multi_cleanup(multi);
    if (headers) curl->slist_free_all(headers);
  }

  const std::shared_ptr<const Curl> curl;  // first member, so the library goes last
  std::mutex mutex;  // one operation at a time on this handle
  std::atomic<bool> cancelled{false};
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  bool followRedirects = true;

  // Written by the curl callbacks, which run inside Pump on the thread holding `mutex`.
  std::string body;
  size_t readPos = 0;
  bool paused = false;
  bool finalHeaders = false;
  bool connected = false;
  bool sawLocation = false;
  uint64_t lastActivityUs = 0;

  bool done = false;
  DWORD error = 0;  // set once the transfer failed

  size_t Buffered() const { return body.size() - readPos; }
};

enum class Kind { kInternet, kUrl };

struct Entry {
  Kind kind;
  uintptr_t parent = 0;
  std::shared_ptr<Session> session;
  std::shared_ptr<Request> request;
};

struct Table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, Entry> entries;
  uintptr_t next = 0x00CC0000;  // values are never reused, so a stale handle stays stale
};

Table& Handles() {
  static Table* table = new Table;  // never destroyed: handles may be closed during exit
  return *table;
}

HINTERNET AddHandle(Entry entry) {
  Table& t = Handles();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.next += 4;
  t.entries.emplace(t.next, std::move(entry));
  return reinterpret_cast<HINTERNET>(t.next);
}

bool FindHandle(HINTERNET h, Entry* out) {
  Table& t = Handles();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.entries.end()) return false;
  *out = it->second;
  return true;
}

void Cancel(const std::shared_ptr<Request>& request) {
  if (!request) return;
  request->cancelled = true;
  request->curl->multi_wakeup(request->multi);
}

// Removes a handle and, for an internet handle, the URL handles opened through it.
bool RemoveHandle(HINTERNET h) {
  // Released after the table lock: the last entry to go unloads libcurl.
  std::vector<Entry> removed;
  {
    Table& t = Handles();
    std::lock_guard<std::mutex> lock(t.mutex);
    uintptr_t key = reinterpret_cast<uintptr_t>(h);
    auto it = t.entries.find(key);
    if (it == t.entries.end()) return false;
    removed.push_back(std::move(it->second));
    t.entries.erase(it);
    for (auto child = t.entries.begin(); child != t.entries.end();) {
      if (child->second.parent == key) {
        removed.push_back(std::move(child->second));
        child = t.entries.erase(child);
      } else {
        ++child;
      }
    }
  }
  for (Entry& entry : removed) Cancel(entry.request);
  return true;
}

DWORD ErrorFromCurl(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

bool IsFollowedStatus(long code) {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

bool StartsWithNoCase(const char* data, size_t len, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (len < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(data[i])) != prefix[i]) return false;
  }
  return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  size_t len = size * count;
  r.lastActivityUs = qvp::NowUs();
  if (StartsWithNoCase(data, len, "http/")) {
    r.sawLocation = false;
  } else if (StartsWithNoCase(data, len, "location:")) {
    r.sawLocation = true;
  } else if (len <= 2 && len > 0 && (data[0] == '\r' || data[0] == '\n')) {
    long status = 0;
    r.curl->easy_getinfo(r.easy, CURLINFO_RESPONSE_CODE, &status);
    bool followed = r.followRedirects && r.sawLocation && IsFollowedStatus(status);
    if (followed) {
      r.connected = false;  // the next hop connects anew and gets the connect time-out
    } else if (status >= 200) {
      r.finalHeaders = true;
    }
  }
  return len;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  if (r.Buffered() >= kBufferLimit) {
    r.paused = true;
    return CURL_WRITEFUNC_PAUSE;  // curl hands the same bytes again after the resume
  }
  size_t len = size * count;
  r.body.append(data, len);
  r.finalHeaders = true;
  r.lastActivityUs = qvp::NowUs();
  return len;
}

int OnConnected(void* user, char*, char*, int, int) {
  auto& r = *static_cast<Request*>(user);
  r.connected = true;
  r.lastActivityUs = qvp::NowUs();
  return CURL_PREREQFUNC_OK;
}

void Fail(Request& r, DWORD error) {
  r.done = true;
  r.error = error;
}

// Runs the transfer on this thread until `ready()` holds or the transfer has ended.
// Time-outs follow the layer's clock so tests can run them fast.
template <class Ready>
void Pump(Request& r, Ready ready) {
  const Curl& curl = *r.curl;
  while (!r.done && !ready()) {
    if (r.cancelled) return Fail(r, ERROR_INTERNET_OPERATION_CANCELLED);
    int running = 0;
    if (curl.multi_perform(r.multi, &running) != CURLM_OK) return Fail(r, ERROR_INTERNET_INTERNAL_ERROR);
    int queued = 0;
    while (CURLMsg* msg = curl.multi_info_read(r.multi, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      r.done = true;
      if (msg->data.result != CURLE_OK) r.error = ErrorFromCurl(msg->data.result);
    }
    if (r.done || ready()) return;

    uint64_t deadline = r.lastActivityUs + (r.connected ? kReceiveTimeoutUs : kConnectTimeoutUs);
    if (qvp::NowUs() >= deadline) return Fail(r, ERROR_INTERNET_TIMEOUT);
    long curlMs = -1;
    curl.multi_timeout(r.multi, &curlMs);
    auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(qvp::RealSliceUntil(deadline));
    long waitMs = std::min<long>(kMaxPollMs, std::max<long>(1, static_cast<long>(slice.count())));
    if (curlMs >= 0) waitMs = std::min(waitMs, curlMs);
    if (curl.multi_poll(r.multi, nullptr, 0, static_cast<int>(waitMs), nullptr) != CURLM_OK) {
      return Fail(r, ERROR_INTERNET_INTERNAL_ERROR);
    }
  }
}

std::string ProxyBypassList(const char* bypass) {
  // Loopback never goes through a proxy; curl's list replaces the environment's, so keep that too.
  std::string list = "127.0.0.1,::1,localhost";
  for (const char* env : {std::getenv("no_proxy"), std::getenv("NO_PROXY")}) {
    if (env && *env) list += std::string(",") + env;
  }
  if (bypass) {
    std::string extra = bypass;
    std::replace(extra.begin(), extra.end(), ';', ',');
    std::replace(extra.begin(), extra.end(), ' ', ',');
    list += "," + extra;
  }
  return list;
}

// Valid http URL, else the WinINet error for it.
DWORD CheckUrl(const Curl& curl, const char* url) {
  CURLU* parsed = curl.url();
  if (!parsed) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD error = 0;
  char* scheme = nullptr;
  if (curl.url_set(parsed, CURLUPART_URL, url, 0) != CURLUE_OK) {
    error = ERROR_INTERNET_INVALID_URL;
  } else if (curl.url_get(parsed, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) {
    error = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  } else if (std::strcmp(scheme, "http") != 0) {
    error = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  }
  curl.free(scheme);
  curl.url_cleanup(parsed);
  return error;
}

curl_slist* ExtraHeaders(const Curl& curl, const char* headers, DWORD length) {
  if (!headers) return nullptr;
  size_t len = length == static_cast<DWORD>(-1) ? std::strlen(headers) : length;
  curl_slist* list = nullptr;
  size_t start = 0;
  while (start < len) {
    size_t end = start;
    while (end < len && headers[end] != '\r' && headers[end] != '\n' && headers[end] != '\0') ++end;
    if (end > start) list = curl.slist_append(list, std::string(headers + start, end - start).c_str());
    start = end + 1;
  }
  return list;
}

bool SetupEasy(Request& r, const Session& s, const char* url) {
  CURL* e = r.easy;
  auto setopt = r.curl->easy_setopt;
  bool ok = setopt(e, CURLOPT_URL, url) == CURLE_OK &&
            setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            setopt(e, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
            setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK &&
            setopt(e, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L) == CURLE_OK &&
            setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
            setopt(e, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
            setopt(e, CURLOPT_HEADERDATA, &r) == CURLE_OK &&
            setopt(e, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
            setopt(e, CURLOPT_WRITEDATA, &r) == CURLE_OK &&
            setopt(e, CURLOPT_PREREQFUNCTION, OnConnected) == CURLE_OK &&
            setopt(e, CURLOPT_PREREQDATA, &r) == CURLE_OK &&
            setopt(e, CURLOPT_NOPROXY, s.noProxy.c_str()) == CURLE_OK;
  if (ok && !s.agent.empty()) ok = setopt(e, CURLOPT_USERAGENT, s.agent.c_str()) == CURLE_OK;
  if (ok && s.accessType == INTERNET_OPEN_TYPE_DIRECT) ok = setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
  if (ok && s.accessType == INTERNET_OPEN_TYPE_PROXY) {
    ok = setopt(e, CURLOPT_PROXY, s.proxy.c_str()) == CURLE_OK;
  }
  if (ok && r.headers) ok = setopt(e, CURLOPT_HTTPHEADER, r.headers) == CURLE_OK;
  return ok;
}

}  // namespace

HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy, LPCSTR lpszProxyBypass,
                        DWORD dwFlags) {
  bool knownType = dwAccessType == INTERNET_OPEN_TYPE_PRECONFIG || dwAccessType == INTERNET_OPEN_TYPE_DIRECT ||
                   dwAccessType == INTERNET_OPEN_TYPE_PROXY;
  // Only blocking use is offered.
  if (!knownType || (dwFlags & INTERNET_FLAG_ASYNC) ||
      (dwAccessType == INTERNET_OPEN_TYPE_PROXY && (!lpszProxy || !*lpszProxy))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<const Curl> curl = AcquireCurl();
  if (!curl) return nullptr;
  auto session = std::make_shared<Session>();
  session->curl = std::move(curl);
  session->agent = lpszAgent ? lpszAgent : "";
  session->accessType = dwAccessType;
  if (dwAccessType == INTERNET_OPEN_TYPE_PROXY) session->proxy = lpszProxy;
  session->noProxy = ProxyBypassList(dwAccessType == INTERNET_OPEN_TYPE_PROXY ? lpszProxyBypass : nullptr);
  HINTERNET h = AddHandle(Entry{Kind::kInternet, 0, std::move(session), nullptr});
  SetLastError(ERROR_SUCCESS);
  return h;
}

HINTERNET InternetOpenUrlA(HINTERNET hInternet, LPCSTR lpszUrl, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                           DWORD dwFlags, DWORD_PTR /*dwContext*/) {
  Entry parent;
  if (!FindHandle(hInternet, &parent)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (parent.kind != Kind::kInternet) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  if (!lpszUrl || !*lpszUrl) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const Curl& curl = *parent.session->curl;
  if (DWORD error = CheckUrl(curl, lpszUrl)) {
    SetLastError(error);
    return nullptr;
  }

  auto request = std::make_shared<Request>(parent.session->curl);
  request->followRedirects = !(dwFlags & INTERNET_FLAG_NO_AUTO_REDIRECT);
  request->headers = ExtraHeaders(curl, lpszHeaders, dwHeadersLength);
  request->multi = curl.multi_init();
  request->easy = curl.easy_init();
  if (!request->multi || !request->easy || !SetupEasy(*request, *parent.session, lpszUrl) ||
      curl.multi_add_handle(request->multi, request->easy) != CURLM_OK) {
    if (request->multi && request->easy) curl.multi_remove_handle(request->multi, request->easy);
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
  }

  // Registered before the request runs, so closing the internet handle cancels it.
  HINTERNET h = AddHandle(Entry{Kind::kUrl, reinterpret_cast<uintptr_t>(hInternet), nullptr, request});
  if (!FindHandle(hInternet, &parent)) Cancel(request);  // closed meanwhile

  std::lock_guard<std::mutex> lock(request->mutex);
  request->lastActivityUs = qvp::NowUs();
  Pump(*request, [&] { return request->finalHeaders; });
  // A body already complete is still readable; a failure before any body byte fails the open.
  if (request->error && (request->Buffered() == 0 || request->cancelled)) {
    DWORD error = request->error;
    RemoveHandle(h);
    SetLastError(error);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                      LPDWORD lpdwNumberOfBytesRead) {
  Entry entry;
  if (!FindHandle(hFile, &entry)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (entry.kind != Kind::kUrl) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return FALSE;
  }
  if (!lpdwNumberOfBytesRead || (!lpBuffer && dwNumberOfBytesToRead > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpdwNumberOfBytesRead = 0;
  Request& r = *entry.request;
  std::lock_guard<std::mutex> lock(r.mutex);
  auto* out = static_cast<char*>(lpBuffer);
  DWORD copied = 0;
  while (copied < dwNumberOfBytesToRead) {
    if (r.Buffered() > 0) {
      size_t n = std::min<size_t>(r.Buffered(), dwNumberOfBytesToRead - copied);
      std::memcpy(out + copied, r.body.data() + r.readPos, n);
      r.readPos += n;
      copied += static_cast<DWORD>(n);
      continue;
    }
    r.body.clear();
    r.readPos = 0;
    if (r.done) break;
    if (r.paused) {
      r.paused = false;
      r.curl->easy_pause(r.easy, CURLPAUSE_CONT);
    }
    Pump(r, [&] { return r.Buffered() > 0; });
  }
  // What arrived before a failure is handed out first; the failure shows on the next call.
  if (copied == 0 && r.error) {
    SetLastError(r.error);
    return FALSE;
  }
  *lpdwNumberOfBytesRead = copied;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET hInternet) {
  if (!RemoveHandle(hInternet)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
