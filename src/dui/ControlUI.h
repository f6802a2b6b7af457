// The base of every control: position and size, visibility, colours and images, text, attributes,
// events from the paint manager and painting through the render engine.
#pragma once

#include "dui/DuiRect.h"
#include "dui/DuiString.h"

class CControlUI;
class CPaintManagerUI;

// Events the paint manager hands to controls, in groups (keyboard, mouse, the rest).
enum UIEVENT {
  UIEVENT__FIRST = 1,
  UIEVENT__KEYBEGIN,
  UIEVENT_KEYDOWN,
  UIEVENT_KEYUP,
  UIEVENT_CHAR,
  UIEVENT_SYSKEY,
  UIEVENT__KEYEND,
  UIEVENT__MOUSEBEGIN,
  UIEVENT_MOUSEMOVE,
  UIEVENT_MOUSELEAVE,
  UIEVENT_MOUSEENTER,
  UIEVENT_MOUSEHOVER,
  UIEVENT_BUTTONDOWN,
  UIEVENT_BUTTONUP,
  UIEVENT_RBUTTONDOWN,
  UIEVENT_MBUTTONDOWN,
  UIEVENT_DBLCLICK,
  UIEVENT_CONTEXTMENU,
  UIEVENT_SCROLLWHEEL,
  UIEVENT__MOUSEEND,
  UIEVENT_KILLFOCUS,
  UIEVENT_SETFOCUS,
  UIEVENT_WINDOWSIZE,
  UIEVENT_SETCURSOR,
  UIEVENT_TIMER,
  UIEVENT__LAST,
};

// Control flags (GetControlFlags).
#define UIFLAG_TABSTOP 0x00000001
#define UIFLAG_SETCURSOR 0x00000002
#define UIFLAG_WANTRETURN 0x00000004

// FindControl flags.
#define UIFIND_ALL 0x00000000
#define UIFIND_VISIBLE 0x00000001
#define UIFIND_ENABLED 0x00000002
#define UIFIND_HITTEST 0x00000004
#define UIFIND_TOP_FIRST 0x00000008
#define UIFIND_ME_FIRST 0x80000000

// Button states.
#define UISTATE_FOCUSED 0x00000001
#define UISTATE_SELECTED 0x00000002
#define UISTATE_DISABLED 0x00000004
#define UISTATE_HOT 0x00000008
#define UISTATE_PUSHED 0x00000010
#define UISTATE_READONLY 0x00000020
#define UISTATE_CAPTURED 0x00000040

struct TEventUI {
  int Type = 0;
  CControlUI* pSender = nullptr;
  DWORD dwTimestamp = 0;
  POINT ptMouse{0, 0};
  WCHAR chKey = 0;
  WORD wKeyState = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

struct TNotifyUI {
  CDuiString sType;
  CControlUI* pSender = nullptr;
  DWORD dwTimestamp = 0;
  POINT ptMouse{0, 0};
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// Receives control notifications ("click", "itemselect", "return", ...).
class INotifyUI {
 public:
  virtual ~INotifyUI() = default;
  virtual void Notify(TNotifyUI& msg) = 0;
};

typedef CControlUI*(CALLBACK* FINDCONTROLPROC)(CControlUI*, LPVOID);

class CControlUI {
 public:
  CControlUI();
  virtual ~CControlUI();

  virtual CDuiString GetName() const { return m_sName; }
  virtual void SetName(LPCWSTR pstrName) { m_sName = pstrName; }
  virtual LPCWSTR GetClass() const { return u"ControlUI"; }
  // "Control" gives the control itself; subclasses answer their own names.
  virtual LPVOID GetInterface(LPCWSTR pstrName);
  virtual UINT GetControlFlags() const { return 0; }
  // May the control act (visible and enabled)?
  virtual bool Activate();
  virtual CControlUI* GetParent() const { return m_pParent; }
  CPaintManagerUI* GetManager() const { return m_pManager; }
  virtual void SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit = true);

  virtual CDuiString GetText() const { return m_sText; }
  virtual void SetText(LPCWSTR pstrText);

  // Colours are 0xAARRGGBB; 0 means none.
  DWORD GetBkColor() const { return m_dwBackColor; }
  void SetBkColor(DWORD dwBackColor);
  LPCWSTR GetBkImage() const { return m_sBkImage; }
  void SetBkImage(LPCWSTR pStrImage);
  DWORD GetBorderColor() const { return m_dwBorderColor; }
  void SetBorderColor(DWORD dwBorderColor);
  DWORD GetFocusBorderColor() const { return m_dwFocusBorderColor; }
  void SetFocusBorderColor(DWORD dwBorderColor);
  int GetBorderSize() const { return m_nBorderSize; }
  void SetBorderSize(int nSize);
  // Draws an image description ("file='a.png' dest='0,0,10,10'", or a bare file name) in this
  // control's rectangle; pStrModify is appended to it. False when the image cannot be drawn.
  bool DrawImage(HDC hDC, LPCWSTR pStrImage, LPCWSTR pStrModify = nullptr);

  virtual const RECT& GetPos() const { return m_rcItem; }
  virtual void SetPos(RECT rc, bool bNeedInvalidate = true);
  int GetWidth() const { return m_rcItem.right - m_rcItem.left; }
  int GetHeight() const { return m_rcItem.bottom - m_rcItem.top; }
  int GetX() const { return m_rcItem.left; }
  int GetY() const { return m_rcItem.top; }
  RECT GetPadding() const { return m_rcPadding; }
  void SetPadding(RECT rcPadding);
  SIZE GetFixedXY() const { return m_cXY; }  // position of a float control inside its parent
  void SetFixedXY(SIZE szXY);
  int GetFixedWidth() const { return m_cxyFixed.cx; }
  void SetFixedWidth(int cx);
  int GetFixedHeight() const { return m_cxyFixed.cy; }
  void SetFixedHeight(int cy);
  int GetMinWidth() const { return m_cxyMin.cx; }
  void SetMinWidth(int cx);
  int GetMaxWidth() const { return m_cxyMax.cx; }
  void SetMaxWidth(int cx);
  int GetMinHeight() const { return m_cxyMin.cy; }
  void SetMinHeight(int cy);
  int GetMaxHeight() const { return m_cxyMax.cy; }
  void SetMaxHeight(int cy);

  CDuiString GetToolTip() const { return m_sToolTip; }
  void SetToolTip(LPCWSTR pstrText) { m_sToolTip = pstrText; }
  const CDuiString& GetUserData() const { return m_sUserData; }
  void SetUserData(LPCWSTR pstrText) { m_sUserData = pstrText; }
  UINT_PTR GetTag() const { return m_pTag; }
  void SetTag(UINT_PTR pTag) { m_pTag = pTag; }

  virtual bool IsVisible() const { return m_bVisible && m_bInternVisible; }
  virtual void SetVisible(bool bVisible = true);
  // Visibility imposed by the parent (a hidden container hides its items).
  virtual void SetInternVisible(bool bVisible = true);
  virtual bool IsEnabled() const { return m_bEnabled; }
  virtual void SetEnabled(bool bEnable = true);
  virtual bool IsMouseEnabled() const { return m_bMouseEnabled; }
  virtual void SetMouseEnabled(bool bEnable = true) { m_bMouseEnabled = bEnable; }
  virtual bool IsKeyboardEnabled() const { return m_bKeyboardEnabled; }
  virtual void SetKeyboardEnabled(bool bEnable = true) { m_bKeyboardEnabled = bEnable; }
  virtual bool IsFocused() const { return m_bFocused; }
  virtual void SetFocus();
  virtual bool IsFloat() const { return m_bFloat; }
  virtual void SetFloat(bool bFloat = true);

  // Returns the first control, depth first, for which Proc answers non-null.
  virtual CControlUI* FindControl(FINDCONTROLPROC Proc, LPVOID pData, UINT uFlags);

  void Invalidate();
  bool IsUpdateNeeded() const { return m_bUpdateNeeded; }
  void NeedUpdate();        // this control must be laid out again
  void NeedParentUpdate();  // its parent must, because its size changed

  virtual void Init();
  virtual void DoInit() {}

  virtual void Event(TEventUI& event);
  virtual void DoEvent(TEventUI& event);

  virtual void SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue);
  // A list of name="value" pairs, as in a layout file's element.
  CControlUI* ApplyAttributeList(LPCWSTR pstrList);

  virtual SIZE EstimateSize(SIZE szAvailable);

  virtual void DoPaint(HDC hDC, const RECT& rcPaint);
  virtual void PaintBkColor(HDC hDC);
  virtual void PaintBkImage(HDC hDC);
  virtual void PaintStatusImage(HDC hDC) { (void)hDC; }
  virtual void PaintText(HDC hDC) { (void)hDC; }
  virtual void PaintBorder(HDC hDC);
  virtual void DoPostPaint(HDC hDC, const RECT& rcPaint) { (void)hDC, (void)rcPaint; }

 protected:
  // Stores a property that shows, and repaints the control only when it changed.
  template <class T, class V>
  void ChangeShown(T& field, const V& value) {
    if (field == value) return;
    field = value;
    Invalidate();
  }

  // Asks the manager to repaint the part of rc that the control's ancestors let show.
  void InvalidateVisiblePart(RECT rc);
  // Stores a size limit (never negative) and lays the parent out again when it changed.
  void ChangeBound(LONG& field, int value) {
    if (value < 0 || field == value) return;
    field = value;
    NeedParentUpdate();
  }

  CPaintManagerUI* m_pManager = nullptr;
  CControlUI* m_pParent = nullptr;
  CDuiString m_sName;
  bool m_bUpdateNeeded = true;
  bool m_bMenuUsed = false;
  RECT m_rcItem{0, 0, 0, 0};
  RECT m_rcPadding{0, 0, 0, 0};
  SIZE m_cXY{0, 0};
  SIZE m_cxyFixed{0, 0};
  SIZE m_cxyMin{0, 0};
  SIZE m_cxyMax{9999, 9999};
  bool m_bVisible = true;
  bool m_bInternVisible = true;
  bool m_bEnabled = true;
  bool m_bMouseEnabled = true;
  bool m_bKeyboardEnabled = true;
  bool m_bFocused = false;
  bool m_bFloat = false;
  bool m_bSetPos = false;  // guards against SetPos re-entering itself

  CDuiString m_sText;
  CDuiString m_sToolTip;
  CDuiString m_sUserData;
  UINT_PTR m_pTag = 0;

  DWORD m_dwBackColor = 0;
  CDuiString m_sBkImage;
  DWORD m_dwBorderColor = 0;
  DWORD m_dwFocusBorderColor = 0;
  int m_nBorderSize = 1;  // drawn only once a border colour is set
  RECT m_rcPaint{0, 0, 0, 0};
};

// Attribute value helpers shared by every control: colours ("#FF102030" or "FF102030"), numbers
// separated by commas, and booleans ("true").
namespace dui {
DWORD ParseColor(LPCWSTR pstrValue);
RECT ParseRect(LPCWSTR pstrValue);
SIZE ParseSize(LPCWSTR pstrValue);
inline bool ParseBool(LPCWSTR pstrValue) { return CDuiString(pstrValue) == u"true"; }
int ParseInt(LPCWSTR pstrValue);
}  // namespace dui
