// COM: per-thread initialisation and GUIDs.
#pragma once

#include <cstring>

#include "types.h"

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_DISABLE_OLE1DDE 0x4
#define COINIT_SPEED_OVER_MEMORY 0x8

// S_OK the first time on a thread, S_FALSE when the thread is already initialised (each success
// needs its CoUninitialize), RPC_E_CHANGED_MODE when asked for the other threading model.
HRESULT CoInitialize(LPVOID pvReserved);
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

// A random version-4 GUID.
HRESULT CoCreateGuid(GUID* pguid);

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }
