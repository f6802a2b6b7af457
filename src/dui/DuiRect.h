// The framework's geometry value types: thin wrappers over RECT, POINT and SIZE.
#pragma once

#include "platform/win32.h"

class CDuiRect : public RECT {
 public:
  CDuiRect() { left = top = right = bottom = 0; }
  CDuiRect(const RECT& src) { left = src.left, top = src.top, right = src.right, bottom = src.bottom; }
  CDuiRect(int iLeft, int iTop, int iRight, int iBottom) { left = iLeft, top = iTop, right = iRight, bottom = iBottom; }

  int GetWidth() const { return right - left; }
  int GetHeight() const { return bottom - top; }
  void Empty() { left = top = right = bottom = 0; }
  bool IsNull() const { return left == 0 && right == 0 && top == 0 && bottom == 0; }
  bool IsEmpty() const { return right <= left || bottom <= top; }
  void Join(const RECT& rc);  // grows to include rc
  void ResetOffset() { Offset(-left, -top); }
  void Normalize();
  void Offset(int cx, int cy) { left += cx, right += cx, top += cy, bottom += cy; }
  void Inflate(int cx, int cy) { left -= cx, right += cx, top -= cy, bottom += cy; }
  void Deflate(int cx, int cy) { Inflate(-cx, -cy); }
  bool Intersect(const RECT& rc);  // false when nothing is left
  bool Contains(POINT pt) const { return pt.x >= left && pt.x < right && pt.y >= top && pt.y < bottom; }
  bool operator==(const RECT& rc) const {
    return left == rc.left && top == rc.top && right == rc.right && bottom == rc.bottom;
  }
  bool operator!=(const RECT& rc) const { return !(*this == rc); }
};

class CPoint : public POINT {
 public:
  CPoint() { x = y = 0; }
  CPoint(const POINT& src) { x = src.x, y = src.y; }
  CPoint(int iX, int iY) { x = iX, y = iY; }
  // A mouse message's lParam: signed 16-bit coordinates.
  explicit CPoint(LPARAM lParam) {
    x = static_cast<short>(lParam & 0xFFFF), y = static_cast<short>((lParam >> 16) & 0xFFFF);
  }
};

class CSize : public SIZE {
 public:
  CSize() { cx = cy = 0; }
  CSize(const SIZE& src) { cx = src.cx, cy = src.cy; }
  CSize(int iCx, int iCy) { cx = iCx, cy = iCy; }
};
