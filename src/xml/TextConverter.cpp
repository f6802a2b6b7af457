#include "xml/TextConverter.h"

#include <climits>
#include <cstring>

#include "platform/win32.h"

namespace {

constexpr int kUtf16 = 1200;
constexpr int kCodePoints = 65005;

int PageOf(std::u16string_view name) {
  int page = codePageForName(name);
  return page < 0 ? 0 : page;
}

// The system refuses the used-default check for these code pages.
bool CanCheckLoss(int page) {
  switch (page) {
    case 50220: case 50221: case 50222: case 50225: case 50227: case 50229: case 52936: case 54936:
    case 65000: case 65001:
      return false;
    default:
      return page < 57002 || page > 57011;
  }
}

void AppendCodePoint(std::u16string& out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

}  // namespace

TextConverter::TextConverter(std::u16string_view fromEncoding, std::u16string_view toEncoding)
    : m_from(fromEncoding), m_to(toEncoding), m_fromPage(PageOf(fromEncoding)), m_toPage(PageOf(toEncoding)) {}

bool TextConverter::toUtf16(const char* src, size_t length, std::u16string& out) {
  if (length == 0) return true;
  if (m_fromPage == kUtf16) {
    size_t at = out.size();
    out.resize(at + length / 2);
    std::memcpy(&out[at], src, length / 2 * 2);
    return true;
  }
  if (m_fromPage == kCodePoints) {
    for (size_t i = 0; i + 4 <= length; i += 4) {
      uint32_t cp;
      std::memcpy(&cp, src + i, 4);
      AppendCodePoint(out, cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000) ? 0xFFFD : cp);
    }
    return true;
  }
  if (length > INT_MAX) return false;
  int n = static_cast<int>(length);
  int count = MultiByteToWideChar(static_cast<UINT>(m_fromPage), 0, src, n, nullptr, 0);
  if (count <= 0) return false;
  size_t at = out.size();
  out.reserve(at + static_cast<size_t>(count) + static_cast<size_t>(count) / 100);
  out.resize(at + static_cast<size_t>(count));
  int done = MultiByteToWideChar(static_cast<UINT>(m_fromPage), 0, src, n, &out[at], count);
  out.resize(at + static_cast<size_t>(done > 0 ? done : 0));
  return done > 0;
}

bool TextConverter::fromUtf16(const char16_t* src, size_t length, std::string& out) {
  if (length == 0) return true;
  if (m_toPage == kUtf16) {
    out.append(reinterpret_cast<const char*>(src), length * 2);
    return true;
  }
  if (m_toPage == kCodePoints) {
    for (size_t i = 0; i < length; ++i) {
      uint32_t cp = src[i];
      if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < length && src[i + 1] >= 0xDC00 && src[i + 1] < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00u);
        ++i;
      } else if (cp >= 0xD800 && cp < 0xE000) {
        cp = 0xFFFD;
        ++m_lost;
      }
      out.append(reinterpret_cast<const char*>(&cp), 4);
    }
    return true;
  }
  if (length > INT_MAX) return false;
  int n = static_cast<int>(length);
  // Page 0 is the ANSI code page; whether the loss check is allowed depends on what that is.
  UINT page = m_toPage ? static_cast<UINT>(m_toPage) : GetACP();
  BOOL usedDefault = FALSE;
  BOOL* check = CanCheckLoss(static_cast<int>(page)) ? &usedDefault : nullptr;
  int count = WideCharToMultiByte(page, 0, src, n, nullptr, 0, nullptr, check);
  if (count <= 0) return false;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(count));
  int done = WideCharToMultiByte(page, 0, src, n, &out[at], count, nullptr, check);
  out.resize(at + static_cast<size_t>(done > 0 ? done : 0));
  if (usedDefault) ++m_lost;
  return done > 0;
}

bool TextConverter::convert(const char* src, size_t length, std::string& out) {
  std::u16string wide;
  return toUtf16(src, length, wide) && fromUtf16(wide.data(), wide.size(), out);
}
