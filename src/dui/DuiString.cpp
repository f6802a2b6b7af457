#include "dui/DuiString.h"

#include <cstdint>

namespace {

size_t WideLen(LPCWSTR s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

// One % conversion, as parsed from the format.
struct Conversion {
  bool left = false;   // '-'
  bool plus = false;   // '+'
  bool space = false;  // ' '
  bool zero = false;   // '0'
  int width = 0;
  int precision = -1;  // -1: none given
  enum Length { kInt, kShort, kLong, kLongLong } length = kInt;
};

void Pad(std::u16string& out, size_t count, char16_t ch) { out.append(count, ch); }

// Writes body (already with its sign/prefix split off) into out with width and alignment.
void EmitField(std::u16string& out, const Conversion& conv, const std::u16string& prefix,
               const std::u16string& body, bool zeroPadAllowed) {
  size_t len = prefix.size() + body.size();
  size_t fill = conv.width > 0 && static_cast<size_t>(conv.width) > len ? conv.width - len : 0;
  if (conv.left) {
    out += prefix;
    out += body;
    Pad(out, fill, u' ');
  } else if (conv.zero && zeroPadAllowed) {
    out += prefix;
    Pad(out, fill, u'0');
    out += body;
  } else {
    Pad(out, fill, u' ');
    out += prefix;
    out += body;
  }
}

std::u16string Digits(uint64_t value, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char16_t buf[64];
  int n = 0;
  do {
    buf[n++] = static_cast<char16_t>(set[value % base]);
    value /= base;
  } while (value != 0);
  std::u16string s;
  while (n > 0) s.push_back(buf[--n]);
  return s;
}

void EmitInteger(std::u16string& out, const Conversion& conv, bool negative, uint64_t magnitude,
                 unsigned base, bool upper) {
  std::u16string body = Digits(magnitude, base, upper);
  if (conv.precision == 0 && magnitude == 0) body.clear();
  if (conv.precision > 0 && body.size() < static_cast<size_t>(conv.precision))
    body.insert(0, conv.precision - body.size(), u'0');
  std::u16string prefix;
  if (negative)
    prefix = u"-";
  else if (base == 10 && conv.plus)
    prefix = u"+";
  else if (base == 10 && conv.space)
    prefix = u" ";
  EmitField(out, conv, prefix, body, conv.precision < 0);
}

int ReadNumber(LPCWSTR& p) {
  int n = 0;
  while (*p >= u'0' && *p <= u'9') {
    if (n < 100000) n = n * 10 + (*p - u'0');
    ++p;
  }
  return n;
}

}  // namespace

CDuiString::CDuiString(WCHAR ch) : m_str(1, ch) {}

CDuiString::CDuiString(LPCWSTR pstr) {
  if (pstr) m_str.assign(pstr, WideLen(pstr));
}

CDuiString::CDuiString(LPCWSTR pstr, int nLength) {
  if (!pstr) return;
  if (nLength < 0) {
    m_str.assign(pstr, WideLen(pstr));
    return;
  }
  // Up to the first NUL within nLength: nothing past the given length is read.
  size_t len = 0;
  while (len < static_cast<size_t>(nLength) && pstr[len]) ++len;
  m_str.assign(pstr, len);
}

CDuiString& CDuiString::operator=(LPCWSTR pstr) {
  // pstr may point into this string.
  m_str = pstr ? std::u16string(pstr, WideLen(pstr)) : std::u16string();
  return *this;
}

WCHAR CDuiString::GetAt(int nIndex) const {
  return nIndex >= 0 && nIndex < GetLength() ? m_str[static_cast<size_t>(nIndex)] : u'\0';
}

void CDuiString::Append(LPCWSTR pstr) {
  if (pstr) m_str.append(std::u16string(pstr, WideLen(pstr)));
}

CDuiString& CDuiString::operator+=(const CDuiString& src) {
  m_str += src.m_str;
  return *this;
}

CDuiString& CDuiString::operator+=(LPCWSTR pstr) {
  Append(pstr);
  return *this;
}

CDuiString& CDuiString::operator+=(WCHAR ch) {
  m_str.push_back(ch);
  return *this;
}

CDuiString CDuiString::operator+(const CDuiString& src) const {
  CDuiString r(*this);
  r += src;
  return r;
}

CDuiString CDuiString::operator+(LPCWSTR pstr) const {
  CDuiString r(*this);
  r += pstr;
  return r;
}

CDuiString operator+(LPCWSTR pstr, const CDuiString& src) {
  CDuiString r(pstr);
  r += src;
  return r;
}

int CDuiString::Compare(LPCWSTR pstr) const {
  return m_str.compare(pstr ? pstr : u"");
}

int CDuiString::Find(LPCWSTR pstrSub, int iPos) const {
  if (!pstrSub || iPos < 0 || iPos > GetLength()) return -1;
  size_t at = m_str.find(pstrSub, static_cast<size_t>(iPos));
  return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

int CDuiString::Replace(LPCWSTR pstrFrom, LPCWSTR pstrTo) {
  size_t fromLen = WideLen(pstrFrom);
  if (fromLen == 0) return 0;
  size_t at = m_str.find(pstrFrom, 0, fromLen);
  if (at == std::u16string::npos) return 0;
  // pstrTo may point into this string; copy it before the text changes.
  const std::u16string to = pstrTo ? std::u16string(pstrTo, WideLen(pstrTo)) : std::u16string();
  // Built into a new string so the work stays linear in the text's length.
  std::u16string result;
  result.reserve(m_str.size());
  size_t done = 0;
  int count = 0;
  for (; at != std::u16string::npos; at = m_str.find(pstrFrom, done, fromLen)) {
    result.append(m_str, done, at - done);
    result += to;
    done = at + fromLen;
    ++count;
  }
  result.append(m_str, done, std::u16string::npos);
  m_str.swap(result);
  return count;
}

int CDuiString::Format(LPCWSTR pstrFormat, ...) {
  va_list args;
  va_start(args, pstrFormat);
  int n = FormatV(pstrFormat, args);
  va_end(args);
  return n;
}

int CDuiString::FormatV(LPCWSTR pstrFormat, va_list args) {
  std::u16string out;
  for (LPCWSTR p = pstrFormat ? pstrFormat : u""; *p; ++p) {
    if (*p != u'%') {
      out.push_back(*p);
      continue;
    }
    LPCWSTR start = p++;
    Conversion conv;
    for (;; ++p) {
      if (*p == u'-') conv.left = true;
      else if (*p == u'+') conv.plus = true;
      else if (*p == u' ') conv.space = true;
      else if (*p == u'0') conv.zero = true;
      else break;
    }
    if (*p == u'*') {
      conv.width = va_arg(args, int);
      if (conv.width < 0) {
        conv.left = true;
        conv.width = conv.width == INT32_MIN ? 0 : -conv.width;
      }
      ++p;
    } else {
      conv.width = ReadNumber(p);
    }
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        conv.precision = va_arg(args, int);
        if (conv.precision < 0) conv.precision = -1;
        ++p;
      } else {
        conv.precision = ReadNumber(p);
      }
    }
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      conv.length = Conversion::kLongLong;
      p += 3;
    } else if (p[0] == u'l' && p[1] == u'l') {
      conv.length = Conversion::kLongLong;
      p += 2;
    } else if (*p == u'l') {
      conv.length = Conversion::kLong;
      ++p;
    } else if (*p == u'h') {
      conv.length = Conversion::kShort;
      ++p;
    }
    switch (*p) {
      case u'd':
      case u'i': {
        int64_t v;
        switch (conv.length) {
          case Conversion::kLongLong: v = va_arg(args, long long); break;
          case Conversion::kLong: v = va_arg(args, long); break;
          case Conversion::kShort: v = static_cast<short>(va_arg(args, int)); break;
          default: v = va_arg(args, int); break;
        }
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        EmitInteger(out, conv, v < 0, magnitude, 10, false);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        uint64_t v;
        switch (conv.length) {
          case Conversion::kLongLong: v = va_arg(args, unsigned long long); break;
          case Conversion::kLong: v = va_arg(args, unsigned long); break;
          case Conversion::kShort: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
          default: v = va_arg(args, unsigned); break;
        }
        EmitInteger(out, conv, false, v, *p == u'u' ? 10 : 16, *p == u'X');
        break;
      }
      case u'c':
        EmitField(out, conv, u"", std::u16string(1, static_cast<char16_t>(va_arg(args, int))), false);
        break;
      case u's': {
        LPCWSTR s = va_arg(args, LPCWSTR);
        std::u16string body = s ? std::u16string(s, WideLen(s)) : std::u16string(u"(null)");
        if (conv.precision >= 0 && body.size() > static_cast<size_t>(conv.precision))
          body.resize(static_cast<size_t>(conv.precision));
        EmitField(out, conv, u"", body, false);
        break;
      }
      case u'%':
        out.push_back(u'%');
        break;
      default:
        // Not a conversion we know: keep the text as written and consume no argument.
        out.append(start, static_cast<size_t>(p - start));
        if (!*p) {
          m_str.swap(out);
          return GetLength();
        }
        out.push_back(*p);
        break;
    }
  }
  m_str.swap(out);
  return GetLength();
}

CDuiString CDuiString::Left(int nLength) const { return Mid(0, nLength); }

CDuiString CDuiString::Mid(int iPos, int nLength) const {
  int size = GetLength();
  if (iPos < 0) iPos = 0;
  if (iPos > size) iPos = size;
  if (nLength < 0 || nLength > size - iPos) nLength = size - iPos;
  return CDuiString(m_str.c_str() + iPos, nLength);
}

CDuiString CDuiString::Formatted(LPCWSTR pstrFormat, ...) {
  CDuiString text;
  va_list args;
  va_start(args, pstrFormat);
  text.FormatV(pstrFormat, args);
  va_end(args);
  return text;
}
