#include "xml/ElementTree.h"

#include <algorithm>
#include <new>

bool ElementTree::grow(int count) {
  if (count <= m_size) return true;
  int segments = (count + kSegmentSize - 1) >> kSegmentBits;
  if (segments > m_segmentSlots) {
    int slots = segments * 2 + 4;
    std::unique_ptr<std::unique_ptr<ElementRecord[]>[]> bigger(new (std::nothrow) std::unique_ptr<ElementRecord[]>[slots]);
    if (!bigger) return false;
    int used = (m_size + kSegmentSize - 1) >> kSegmentBits;
    for (int i = 0; i < used; ++i) bigger[i] = std::move(m_segments[i]);
    m_segments = std::move(bigger);
    m_segmentSlots = slots;
  }
  // Every segment but the last is full; the last holds exactly what is needed.
  int oldSegments = (m_size + kSegmentSize - 1) >> kSegmentBits;
  for (int s = std::max(oldSegments - 1, 0); s < segments; ++s) {
    int want = s == segments - 1 ? count - s * kSegmentSize : kSegmentSize;
    int have = s < oldSegments ? (s == oldSegments - 1 ? m_size - s * kSegmentSize : kSegmentSize) : 0;
    if (want == have) continue;
    std::unique_ptr<ElementRecord[]> segment(new (std::nothrow) ElementRecord[want]());
    if (!segment) return false;
    std::copy(m_segments[s].get(), m_segments[s].get() + have, segment.get());
    m_segments[s] = std::move(segment);
  }
  m_size = count;
  return true;
}

void ElementTree::release() {
  m_segments.reset();
  m_size = 0;
  m_segmentSlots = 0;
}
