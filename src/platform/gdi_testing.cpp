// Test hooks that need no window: font configuration and object counts.
#include "gdi_internal.h"
#include "testing_gdi.h"

namespace qvplatform::testing {

void SetFontConfigFile(const std::string& path) { qvp::SetFontConfigPath(path); }

size_t LiveGdiObjects() { return qvp::GdiObjectCount(); }

}  // namespace qvplatform::testing
