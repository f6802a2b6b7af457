// The framework's string: UTF-16 text (WCHAR is char16_t, literals are u"...").
#pragma once

#include <cstdarg>
#include <string>

#include "platform/win32.h"

class CDuiString {
 public:
  CDuiString() = default;
  explicit CDuiString(WCHAR ch);
  CDuiString(LPCWSTR pstr);  // null gives an empty string
  CDuiString(LPCWSTR pstr, int nLength);  // at most nLength characters; -1 for all
  CDuiString(const CDuiString&) = default;
  CDuiString(CDuiString&&) noexcept = default;
  CDuiString& operator=(const CDuiString&) = default;
  CDuiString& operator=(CDuiString&&) noexcept = default;
  CDuiString& operator=(LPCWSTR pstr);

  int GetLength() const { return static_cast<int>(m_str.size()); }
  // Always NUL-terminated; valid until the string changes.
  LPCWSTR GetData() const { return m_str.c_str(); }
  operator LPCWSTR() const { return m_str.c_str(); }
  bool IsEmpty() const { return m_str.empty(); }
  void Empty() { m_str.clear(); }
  // The character at nIndex, or 0 outside the string.
  WCHAR GetAt(int nIndex) const;
  WCHAR operator[](int nIndex) const { return GetAt(nIndex); }

  void Append(LPCWSTR pstr);
  CDuiString& operator+=(const CDuiString& src);
  CDuiString& operator+=(LPCWSTR pstr);
  CDuiString& operator+=(WCHAR ch);
  CDuiString operator+(const CDuiString& src) const;
  CDuiString operator+(LPCWSTR pstr) const;

  // Ordinal comparison of UTF-16 code units: <0, 0 or >0.
  int Compare(LPCWSTR pstr) const;
  bool operator==(LPCWSTR pstr) const { return Compare(pstr) == 0; }
  bool operator!=(LPCWSTR pstr) const { return Compare(pstr) != 0; }
  bool operator<(LPCWSTR pstr) const { return Compare(pstr) < 0; }
  bool operator<=(LPCWSTR pstr) const { return Compare(pstr) <= 0; }
  bool operator>(LPCWSTR pstr) const { return Compare(pstr) > 0; }
  bool operator>=(LPCWSTR pstr) const { return Compare(pstr) >= 0; }
  bool operator==(const CDuiString& src) const { return m_str == src.m_str; }
  bool operator!=(const CDuiString& src) const { return m_str != src.m_str; }

  // Parts of the string; counts and positions are kept within it.
  CDuiString Left(int nLength) const;
  CDuiString Mid(int iPos, int nLength = -1) const;

  // First index of pstrSub at or after iPos, or -1.
  int Find(LPCWSTR pstrSub, int iPos = 0) const;
  // Replaces every occurrence, scanning left to right past each replacement; returns the count.
  int Replace(LPCWSTR pstrFrom, LPCWSTR pstrTo);

  // printf-style: %d %i %u %x %X %c %s (UTF-16 text) %%, flags "-+ 0", width and precision
  // (digits or *), length prefixes h, l, ll and I64. Returns the new length.
  int Format(LPCWSTR pstrFormat, ...);
  int FormatV(LPCWSTR pstrFormat, va_list args);
  // A new string made by Format, for names such as "listelement%d".
  static CDuiString Formatted(LPCWSTR pstrFormat, ...);

 private:
  std::u16string m_str;
};

CDuiString operator+(LPCWSTR pstr, const CDuiString& src);
inline bool operator==(LPCWSTR pstr, const CDuiString& src) { return src == pstr; }
inline bool operator!=(LPCWSTR pstr, const CDuiString& src) { return src != pstr; }
