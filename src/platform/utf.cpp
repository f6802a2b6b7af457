#include "utf.h"

#include <cstdint>
#include <cstring>

namespace qvp {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// True when none of the 8 bytes at p has its top bit set.
inline bool EightAscii(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ull) == 0;
}

inline bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

// Well-formed sequences (lead byte, then the allowed range of the second byte):
//   C2..DF 80..BF | E0 A0..BF | E1..EC,EE..EF 80..BF | ED 80..9F | F0 90..BF | F1..F3 80..BF | F4 80..8F
// and every later byte 80..BF. A sequence that breaks off is replaced by one U+FFFD for the bytes
// it got right so far (its maximal subpart); the byte that broke it starts afresh.
bool Utf8ToUtf16(std::string_view in, std::u16string& out, bool strict) {
  out.clear();
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const auto* end = p + in.size();
  out.resize(in.size());  // never more code units than bytes
  char16_t* o = out.data();
  bool ok = true;
  while (p < end) {
    if (end - p >= 8 && EightAscii(p)) {
      for (int i = 0; i < 8; ++i) o[i] = p[i];
      o += 8;
      p += 8;
      continue;
    }
    unsigned char b = *p;
    if (b < 0x80) {
      *o++ = b;
      ++p;
      continue;
    }
    int need;              // continuation bytes after the lead
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      need = -1;  // C0, C1, F5..FF or a stray continuation byte
      cp = 0;
    }
    int got = 0;
    if (need > 0) {
      const unsigned char* q = p + 1;
      while (got < need && q < end) {
        unsigned char c = *q;
        bool fits = got == 0 ? (c >= lo && c <= hi) : IsContinuation(c);
        if (!fits) break;
        cp = (cp << 6) | (c & 0x3F);
        ++got;
        ++q;
      }
    }
    if (got == need) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
        *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      } else {
        *o++ = static_cast<char16_t>(cp);
      }
      p += need + 1;
      continue;
    }
    if (strict) {
      ok = false;
      break;
    }
    *o++ = kReplacement;
    p += got + 1;
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return ok;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out, bool strict) {
  out.clear();
  const char16_t* p = in.data();
  const char16_t* end = p + in.size();
  out.resize(in.size() * 3);  // at most three bytes per code unit
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  bool ok = true;
  while (p < end) {
    uint32_t c = *p++;
    if (c < 0x80) {
      *o++ = static_cast<unsigned char>(c);
      continue;
    }
    if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
        uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00);
        *o++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
        *o++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        continue;
      }
      if (strict) {
        ok = false;
        break;
      }
      c = kReplacement;
    }
    *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
    *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  }
  out.resize(static_cast<size_t>(o - reinterpret_cast<unsigned char*>(out.data())));
  return ok;
}

}  // namespace qvp
