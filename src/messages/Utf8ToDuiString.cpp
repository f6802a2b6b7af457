#include "messages/Utf8ToDuiString.h"

#include <vector>

#include "platform/win32.h"

CDuiString Utf8ToDuiString(const char* pText) {
  if (!pText) return CDuiString();
  int nLength = MultiByteToWideChar(CP_UTF8, 0, pText, -1, nullptr, 0);
  if (nLength <= 0) return CDuiString();
  std::vector<WCHAR> buffer(static_cast<size_t>(nLength) + 1, u'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, pText, -1, buffer.data(), nLength + 1) <= 0) return CDuiString();
  return CDuiString(buffer.data());
}
