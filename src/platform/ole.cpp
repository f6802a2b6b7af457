// COM initialisation counts per thread, and GUIDs from the kernel's random source.
#include "win32/ole.h"

#include <sys/random.h>

#include <cerrno>

namespace {

// How often this thread initialised COM without uninitialising it yet, and in which model.
thread_local unsigned t_initCount = 0;
thread_local DWORD t_model = 0;

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;
constexpr DWORD kKnownFlags = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

}  // namespace

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved || (dwCoInit & ~kKnownFlags)) return E_INVALIDARG;
  DWORD model = dwCoInit & kModelMask;
  if (t_initCount > 0) {
    if (model != t_model) return RPC_E_CHANGED_MODE;  // not counted: needs no CoUninitialize
    ++t_initCount;
    return S_FALSE;
  }
  t_model = model;
  t_initCount = 1;
  return S_OK;
}

void CoUninitialize() {
  if (t_initCount > 0) --t_initCount;
}

HRESULT CoCreateGuid(GUID* pguid) {
  if (!pguid) return E_INVALIDARG;
  unsigned char bytes[sizeof(GUID)];
  ssize_t got;
  do {
    got = getrandom(bytes, sizeof bytes, 0);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof bytes)) return E_FAIL;
  GUID g;
  g.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  g.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  // Version 4 (random) in the top nibble of Data3, RFC 4122 variant (10xx) in Data4[0].
  g.Data3 = static_cast<uint16_t>(((bytes[6] & 0x0F) | 0x40) << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  *pguid = g;
  return S_OK;
}
