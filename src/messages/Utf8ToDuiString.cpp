#include "messages/Utf8ToDuiString.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/win32.h"

CDuiString Utf8ToDuiString(const char* pText) {
  if (!pText) return CDuiString();
  // UTF-8 never takes fewer bytes than UTF-16 units, so one conversion into a buffer of the byte
  // count suffices; the buffer is the thread's own and kept for the next text.
  const size_t bytes = std::strlen(pText);
  if (bytes == 0 || bytes > static_cast<size_t>(INT32_MAX)) return CDuiString();
  thread_local std::vector<WCHAR> buffer;
  if (buffer.size() < bytes) buffer.resize(bytes);
  int nLength = MultiByteToWideChar(CP_UTF8, 0, pText, static_cast<int>(bytes), buffer.data(), static_cast<int>(bytes));
  if (nLength <= 0) return CDuiString();
  CDuiString text(buffer.data(), nLength);
  // A huge text once does not keep its buffer for good.
  if (buffer.size() > (1u << 16)) std::vector<WCHAR>().swap(buffer);
  return text;
}
