// An ordered array of untyped pointers, the framework's container of controls and notifiers.
#pragma once

#include <vector>

class CStdPtrArray {
 public:
  CStdPtrArray() = default;
  explicit CStdPtrArray(int iPreallocSize) { m_items.reserve(iPreallocSize > 0 ? iPreallocSize : 0); }

  void Empty() { m_items.clear(); }
  bool IsEmpty() const { return m_items.empty(); }
  int GetSize() const { return static_cast<int>(m_items.size()); }
  // Out-of-range indexes are refused (false or null), never undefined.
  bool Add(void* pData) {
    m_items.push_back(pData);
    return true;
  }
  bool InsertAt(int iIndex, void* pData);
  bool SetAt(int iIndex, void* pData);
  bool Remove(int iIndex);
  int Find(void* pData) const;  // -1 when absent
  void* GetAt(int iIndex) const;
  void* operator[](int iIndex) const { return GetAt(iIndex); }
  void** GetData() { return m_items.data(); }

 private:
  std::vector<void*> m_items;
};
