// Test hooks that need no window: font configuration and object counts.
#include "gdi_internal.h"
#include "testing_gdi.h"

namespace qvplatform::testing {

void SetFontConfigFile(const std::string& path) { qvp::SetFontConfigPath(path); }

size_t LiveGdiObjects() { return qvp::GdiObjectCount(); }
size_t WindowImagesShown() { return qvp::WindowImagesShown(); }
size_t CachedTextRuns() { return qvp::CachedTextRuns(); }
size_t CachedTextMaskBytes() { return qvp::CachedTextMaskBytes(); }

}  // namespace qvplatform::testing
