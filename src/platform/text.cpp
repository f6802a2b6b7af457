// MultiByteToWideChar / WideCharToMultiByte / GetACP. UTF-8 is converted here; every other code
// page goes through codepages.h.
#include "win32/text.h"

#include <langinfo.h>
#include <locale.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codepages.h"
#include "testing.h"
#include "utf.h"
#include "win32/kernel.h"

namespace qvp {

// Windows code page for a locale codeset name as nl_langinfo(CODESET) spells it. Unknown names,
// and the C/POSIX locale's plain ASCII, count as UTF-8: that is what text on this system is.
UINT CodePageForCodeset(const char* codeset) {
  std::string name;
  for (const char* p = codeset ? codeset : ""; *p; ++p) {
    if (*p == '-' || *p == '_') continue;
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
  struct Row {
    const char* name;
    UINT cp;
  };
  static const Row kRows[] = {
      {"UTF8", 65001},   {"GBK", 936},      {"GB2312", 936},      {"EUCCN", 936},   {"GB18030", 54936},
      {"BIG5", 950},     {"BIG5HKSCS", 950}, {"SHIFTJIS", 932},   {"SJIS", 932},    {"EUCJP", 20932},
      {"EUCKR", 949},    {"UHC", 949},      {"KOI8R", 20866},     {"KOI8U", 21866}, {"TIS620", 874},
      {"ISO885913", 28603}, {"ISO885915", 28605},
  };
  for (const Row& row : kRows)
    if (name == row.name) return row.cp;
  auto numberAfter = [&](const char* prefix) -> UINT {
    size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) != 0 || name.size() == n || name.size() > n + 5) return 0;
    for (size_t i = n; i < name.size(); ++i)
      if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    return static_cast<UINT>(std::strtoul(name.c_str() + n, nullptr, 10));
  };
  if (UINT n = numberAfter("ISO8859"); n >= 1 && n <= 9) return 28590 + n;
  if (UINT n = numberAfter("CP")) return n;
  if (UINT n = numberAfter("WINDOWS")) return n;
  return CP_UTF8;
}

}  // namespace qvp

namespace {

std::atomic<UINT> g_acpOverride{0};

// Read once, like Windows' ANSI code page, from the environment's LC_ALL/LC_CTYPE/LANG. A private
// locale object leaves the process's global locale alone.
UINT LocaleCodePage() {
  static const UINT cp = [] {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (!loc) return static_cast<UINT>(CP_UTF8);
    UINT found = qvp::CodePageForCodeset(nl_langinfo_l(CODESET, loc));
    freelocale(loc);
    return found;
  }();
  return cp;
}

UINT ResolveCodePage(UINT cp) {
  if (cp == CP_ACP) return GetACP();
  if (cp == CP_OEMCP) return GetOEMCP();
  return cp;
}

// Sets the error and gives the failure value of both conversions.
int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

bool Overlap(const void* a, size_t aBytes, const void* b, size_t bBytes) {
  auto x = reinterpret_cast<uintptr_t>(a);
  auto y = reinterpret_cast<uintptr_t>(b);
  return x < y + bBytes && y < x + aBytes;
}

bool MapCodePageResult(qvp::CodePageResult r) {
  switch (r) {
    case qvp::CodePageResult::Ok:
      return true;
    case qvp::CodePageResult::Unsupported:
      break;
    case qvp::CodePageResult::Invalid:
      Fail(ERROR_NO_UNICODE_TRANSLATION);
      return false;
  }
  Fail(ERROR_INVALID_PARAMETER);
  return false;
}

// Hands the converted text to the caller: a length query when `cap` is 0, otherwise all of it or,
// when it does not fit, nothing.
template <class Char>
int Deliver(const std::basic_string<Char>& text, Char* out, int cap) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  int n = static_cast<int>(text.size());
  if (cap == 0) return n;
  if (n > cap) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(out, text.data(), text.size() * sizeof(Char));
  return n;
}

}  // namespace

UINT GetACP() {
  UINT forced = g_acpOverride.load(std::memory_order_relaxed);
  return forced ? forced : LocaleCodePage();
}

// Terminals here speak the locale's encoding too, so the OEM code page is the ANSI one.
UINT GetOEMCP() { return GetACP(); }

namespace qvplatform::testing {
void SetACP(unsigned codePage) { g_acpOverride.store(codePage, std::memory_order_relaxed); }
}  // namespace qvplatform::testing

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr))
    return Fail(ERROR_INVALID_PARAMETER);
  size_t len = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  if (cchWideChar > 0 &&
      Overlap(lpMultiByteStr, len, lpWideCharStr, static_cast<size_t>(cchWideChar) * sizeof(WCHAR)))
    return Fail(ERROR_INVALID_PARAMETER);

  UINT cp = ResolveCodePage(CodePage);
  bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
  // UTF-8 and GB18030 take no flag but MB_ERR_INVALID_CHARS.
  DWORD allowed = (cp == CP_UTF8 || cp == 54936) ? MB_ERR_INVALID_CHARS : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED);
  if (dwFlags & ~allowed) return Fail(ERROR_INVALID_FLAGS);

  std::u16string wide;
  if (cp == CP_UTF8) {
    if (!qvp::Utf8ToUtf16(std::string_view(lpMultiByteStr, len), wide, strict))
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
  } else if (!MapCodePageResult(qvp::DecodeCodePage(cp, lpMultiByteStr, len, strict, wide))) {
    return 0;
  }
  return Deliver(wide, lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr))
    return Fail(ERROR_INVALID_PARAMETER);
  size_t len = cchWideChar == -1 ? qvp::WideLength(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  if (cbMultiByte > 0 &&
      Overlap(lpWideCharStr, len * sizeof(WCHAR), lpMultiByteStr, static_cast<size_t>(cbMultiByte)))
    return Fail(ERROR_INVALID_PARAMETER);

  UINT cp = ResolveCodePage(CodePage);
  bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
  std::u16string_view in(lpWideCharStr, len);
  std::string bytes;
  if (cp == CP_UTF8) {
    if (dwFlags & ~WC_ERR_INVALID_CHARS) return Fail(ERROR_INVALID_FLAGS);
    // UTF-8 represents every character, so a default character makes no sense for it.
    if (lpDefaultChar || lpUsedDefaultChar) return Fail(ERROR_INVALID_PARAMETER);
    if (!qvp::Utf16ToUtf8(in, bytes, strict)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    return Deliver(bytes, lpMultiByteStr, cbMultiByte);
  }

  // Only GB18030 (like UTF-8) can be asked to reject unpaired surrogates; it maps everything else.
  DWORD allowed = cp == 54936 ? (WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS) : WC_NO_BEST_FIT_CHARS;
  if (dwFlags & ~allowed) return Fail(ERROR_INVALID_FLAGS);
  if (strict && !qvp::Utf16ToUtf8(in, bytes, true)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  bytes.clear();
  bool usedDefault = false;
  if (!MapCodePageResult(qvp::EncodeCodePage(cp, in.data(), in.size(), lpDefaultChar,
                                             lpUsedDefaultChar ? &usedDefault : nullptr, bytes)))
    return 0;
  if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  return Deliver(bytes, lpMultiByteStr, cbMultiByte);
}

long _wtol(const WCHAR* str) {
  if (!str) return 0;
  const WCHAR* p = str;
  while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) ++p;
  bool negative = false;
  if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
  const unsigned long long limit = negative ? static_cast<unsigned long long>(LONG_MAX) + 1 : LONG_MAX;
  unsigned long long value = 0;
  bool overflow = false;
  for (; *p >= u'0' && *p <= u'9'; ++p) {
    unsigned d = static_cast<unsigned>(*p - u'0');
    if (overflow || value > (limit - d) / 10)
      overflow = true;
    else
      value = value * 10 + d;
  }
  if (overflow) {
    errno = ERANGE;
    return negative ? LONG_MIN : LONG_MAX;
  }
  return negative ? static_cast<long>(0 - value) : static_cast<long>(value);
}

int _wtoi(const WCHAR* str) {
  long v = _wtol(str);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}
