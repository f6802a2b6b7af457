#include "codepages.h"

namespace qvp {

// Only UTF-8 is built in so far; the single-byte and DBCS code pages come through iconv.
CodePageResult DecodeCodePage(unsigned, const char*, size_t, bool, std::u16string&) {
  return CodePageResult::Unsupported;
}

CodePageResult EncodeCodePage(unsigned, const char16_t*, size_t, const char*, bool*, std::string&) {
  return CodePageResult::Unsupported;
}

}  // namespace qvp
