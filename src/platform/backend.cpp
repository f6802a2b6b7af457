#include "backend.h"

#include <mutex>

#include "headless/HeadlessBackend.h"

namespace qvp {
namespace {

std::mutex g_backendMutex;
Backend* g_backend = nullptr;  // never freed: windows may report to it during exit

}  // namespace

Backend& TheBackend() {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  if (!g_backend) g_backend = new HeadlessBackend;
  return *g_backend;
}

void SetBackend(std::unique_ptr<Backend> backend) {
  std::lock_guard<std::mutex> lock(g_backendMutex);
  g_backend = backend.release();
}

}  // namespace qvp
