// Code pages other than UTF-8 through iconv, with Windows' handling of bytes and characters that
// do not map.
#include "codepages.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace qvp {
namespace {

struct CodePageName {
  unsigned cp;
  const char* iconvName;
};

// Windows code-page identifiers and the iconv charset that implements each.
constexpr CodePageName kCodePages[] = {
    {37, "IBM037"},        {437, "CP437"},       {500, "IBM500"},      {737, "CP737"},
    {775, "CP775"},        {850, "CP850"},       {852, "CP852"},       {855, "CP855"},
    {857, "CP857"},        {858, "CP858"},       {860, "CP860"},       {861, "CP861"},
    {862, "CP862"},        {863, "CP863"},       {864, "CP864"},       {865, "CP865"},
    {866, "CP866"},        {869, "CP869"},       {870, "IBM870"},      {874, "CP874"},
    {875, "IBM875"},       {932, "CP932"},       {936, "CP936"},       {949, "CP949"},
    {950, "CP950"},        {1026, "IBM1026"},    {1047, "IBM1047"},    {1140, "IBM1140"},
    {1141, "IBM1141"},     {1142, "IBM1142"},    {1143, "IBM1143"},    {1144, "IBM1144"},
    {1145, "IBM1145"},     {1146, "IBM1146"},    {1147, "IBM1147"},    {1148, "IBM1148"},
    {1149, "IBM1149"},     {1200, "UTF-16LE"},   {1201, "UTF-16BE"},   {1250, "CP1250"},
    {1251, "CP1251"},      {1252, "CP1252"},     {1253, "CP1253"},     {1254, "CP1254"},
    {1255, "CP1255"},      {1256, "CP1256"},     {1257, "CP1257"},     {1258, "CP1258"},
    {1361, "JOHAB"},       {10000, "MACINTOSH"}, {10007, "MAC-CYRILLIC"}, {10017, "MACUKRAINIAN"},
    {10029, "MAC-CENTRALEUROPE"}, {10079, "MAC-IS"}, {12000, "UTF-32LE"}, {12001, "UTF-32BE"},
    {20127, "ASCII"},      {20273, "IBM273"},    {20277, "IBM277"},    {20278, "IBM278"},
    {20280, "IBM280"},     {20284, "IBM284"},    {20285, "IBM285"},    {20290, "IBM290"},
    {20297, "IBM297"},     {20420, "IBM420"},    {20423, "IBM423"},    {20424, "IBM424"},
    {20838, "IBM-THAI"},   {20866, "KOI8-R"},    {20871, "IBM871"},    {20880, "IBM880"},
    {20905, "IBM905"},     {20924, "IBM1047"},   {20932, "EUC-JP"},    {20936, "EUC-CN"},
    {21866, "KOI8-U"},     {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"}, {28593, "ISO-8859-3"},
    {28594, "ISO-8859-4"}, {28595, "ISO-8859-5"}, {28596, "ISO-8859-6"}, {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"}, {28599, "ISO-8859-9"}, {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"},
    {38598, "ISO-8859-8"}, {50220, "ISO-2022-JP"}, {50221, "ISO-2022-JP"}, {50222, "ISO-2022-JP"},
    {50225, "ISO-2022-KR"}, {51932, "EUC-JP"},   {51936, "EUC-CN"},    {51949, "EUC-KR"},
    {54936, "GB18030"},    {65000, "UTF-7"},
};

const char* IconvName(unsigned cp) {
  for (const CodePageName& entry : kCodePages)
    if (entry.cp == cp) return entry.iconvName;
  return nullptr;
}

// The character that stands for bytes without a mapping: the katakana middle dot for Japanese,
// the question mark elsewhere.
char16_t DefaultUnicodeChar(unsigned cp) { return cp == 932 ? u'\u30FB' : u'?'; }

class Iconv {
 public:
  Iconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(m_cd);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

// Runs `cd` over the whole input into `out`. `onBad` is called with the unconvertible input
// position and returns how many bytes to skip (0 stops the conversion with failure).
template <typename OnBad>
bool Run(iconv_t cd, const char* src, size_t len, std::string& out, OnBad onBad) {
  char* in = const_cast<char*>(src);
  size_t inLeft = len;
  char buffer[4096];
  while (inLeft > 0) {
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    int err = errno;
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (r != static_cast<size_t>(-1) || err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    size_t skip = onBad(static_cast<size_t>(in - src), out);
    if (skip == 0 || skip > inLeft) return false;
    in += skip;
    inLeft -= skip;
  }
  // Stateful encodings return to their initial shift state at the end.
  char* o = buffer;
  size_t oLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buffer, static_cast<size_t>(o - buffer));
  return true;
}

}  // namespace

CodePageResult DecodeCodePage(unsigned cp, const char* src, size_t len, bool strict, std::u16string& out) {
  const char* name = IconvName(cp);
  if (!name) return CodePageResult::Unsupported;
  Iconv cd("UTF-16LE", name);
  if (!cd.ok()) return CodePageResult::Unsupported;
  char16_t fallback = DefaultUnicodeChar(cp);
  std::string bytes;
  bool ok = Run(cd.get(), src, len, bytes, [&](size_t, std::string& o) -> size_t {
    if (strict) return 0;
    o.append(reinterpret_cast<const char*>(&fallback), sizeof fallback);
    return 1;
  });
  if (!ok) return strict ? CodePageResult::Invalid : CodePageResult::Unsupported;
  out.resize(bytes.size() / 2);
  std::memcpy(&out[0], bytes.data(), out.size() * 2);
  return CodePageResult::Ok;
}

CodePageResult EncodeCodePage(unsigned cp, const char16_t* src, size_t len, const char* defaultChar,
                              bool* usedDefault, std::string& out) {
  if (usedDefault) *usedDefault = false;
  const char* name = IconvName(cp);
  if (!name) return CodePageResult::Unsupported;
  Iconv cd(name, "UTF-16LE");
  if (!cd.ok()) return CodePageResult::Unsupported;
  std::string fallback;
  if (defaultChar && *defaultChar) {
    fallback = defaultChar;
  } else {
    // The code page's own default character is its question mark.
    Iconv markCd(name, "UTF-16LE");
    const char16_t mark = u'?';
    if (markCd.ok())
      Run(markCd.get(), reinterpret_cast<const char*>(&mark), sizeof mark, fallback,
          [](size_t, std::string&) { return size_t{0}; });
    if (fallback.empty()) fallback = "?";
  }
  out.clear();
  bool ok = Run(cd.get(), reinterpret_cast<const char*>(src), len * 2, out, [&](size_t at, std::string& o) -> size_t {
    o += fallback;
    if (usedDefault) *usedDefault = true;
    size_t unit = at / 2;
    // A surrogate pair that the code page lacks is one character.
    if (unit + 1 < len && src[unit] >= 0xD800 && src[unit] < 0xDC00 && src[unit + 1] >= 0xDC00 && src[unit + 1] < 0xE000)
      return 4;
    return 2;
  });
  return ok ? CodePageResult::Ok : CodePageResult::Unsupported;
}

}  // namespace qvp
