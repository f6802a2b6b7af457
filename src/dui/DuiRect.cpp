#include "dui/DuiRect.h"

#include <algorithm>

#include "dui/StdPtrArray.h"

void CDuiRect::Join(const RECT& rc) {
  left = std::min(left, rc.left);
  top = std::min(top, rc.top);
  right = std::max(right, rc.right);
  bottom = std::max(bottom, rc.bottom);
}

void CDuiRect::Normalize() {
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
}

bool CDuiRect::Intersect(const RECT& rc) {
  left = std::max(left, rc.left);
  top = std::max(top, rc.top);
  right = std::min(right, rc.right);
  bottom = std::min(bottom, rc.bottom);
  if (right <= left || bottom <= top) {
    Empty();
    return false;
  }
  return true;
}

bool CStdPtrArray::InsertAt(int iIndex, void* pData) {
  if (iIndex < 0 || iIndex > GetSize()) return false;
  m_items.insert(m_items.begin() + iIndex, pData);
  return true;
}

bool CStdPtrArray::SetAt(int iIndex, void* pData) {
  if (iIndex < 0 || iIndex >= GetSize()) return false;
  m_items[iIndex] = pData;
  return true;
}

bool CStdPtrArray::Remove(int iIndex) {
  if (iIndex < 0 || iIndex >= GetSize()) return false;
  m_items.erase(m_items.begin() + iIndex);
  return true;
}

int CStdPtrArray::Find(void* pData) const {
  auto it = std::find(m_items.begin(), m_items.end(), pData);
  return it == m_items.end() ? -1 : static_cast<int>(it - m_items.begin());
}

void* CStdPtrArray::GetAt(int iIndex) const {
  if (iIndex < 0 || iIndex >= GetSize()) return nullptr;
  return m_items[iIndex];
}
