// One per window: owns the control tree, turns window messages into control events, paints the
// tree double-buffered, keeps fonts, images, named controls, timers, focus and notifications.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dui/ControlUI.h"
#include "dui/StdPtrArray.h"

struct TFontInfo {
  HFONT hFont = nullptr;
  CDuiString sFontName;
  int iSize = 0;
  bool bBold = false;
  bool bUnderline = false;
  bool bItalic = false;
  TEXTMETRICW tm{};
};

struct TImageInfo {
  HBITMAP hBitmap = nullptr;
  int nX = 0;
  int nY = 0;
  bool bAlpha = false;
  DWORD dwMask = 0;
};

class CPaintManagerUI {
 public:
  CPaintManagerUI();
  ~CPaintManagerUI();  // destroys the attached control tree
  CPaintManagerUI(const CPaintManagerUI&) = delete;
  CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;

  void Init(HWND hWnd);
  HWND GetPaintWindow() const { return m_hWndPaint; }
  // The DC of the paint window, kept for the manager's life (text measurement, tests).
  HDC GetPaintDC() const { return m_hDcPaint; }
  POINT GetMousePos() const { return m_ptLastMousePos; }
  SIZE GetClientSize() const;
  SIZE GetInitSize() const { return m_szInitWindowSize; }
  void SetInitSize(int cx, int cy);  // resizes the window while it has no root yet
  RECT GetCaptionRect() const { return m_rcCaption; }
  void SetCaptionRect(RECT rcCaption) { m_rcCaption = rcCaption; }
  SIZE GetRoundCorner() const { return m_szRoundCorner; }
  void SetRoundCorner(int cx, int cy) { m_szRoundCorner = SIZE{cx, cy}; }
  SIZE GetMinInfo() const { return m_szMinWindow; }
  void SetMinInfo(int cx, int cy) { m_szMinWindow = SIZE{cx, cy}; }
  SIZE GetMaxInfo() const { return m_szMaxWindow; }
  void SetMaxInfo(int cx, int cy) { m_szMaxWindow = SIZE{cx, cy}; }
  void Invalidate(RECT& rcItem);
  void NeedUpdate() { m_bUpdateNeeded = true; }

  // Process-wide settings.
  static HINSTANCE GetInstance();
  static void SetInstance(HINSTANCE hInst);
  // The executable's folder, ending with a path separator.
  static CDuiString GetInstancePath();
  static const CDuiString& GetResourcePath();
  static void SetResourcePath(LPCWSTR pStrPath);  // a separator is appended when missing
  // Runs until the thread's queue receives WM_QUIT.
  static void MessageLoop();
  // Lets the focused control's manager see key messages before they are dispatched.
  static bool TranslateMessage(const MSG* pMsg);

  // Fonts, images and default attribute lists come from the parent when this manager has none.
  bool UseParentResource(CPaintManagerUI* pm);
  CPaintManagerUI* GetParentResource() const { return m_pParentResourcePM; }

  DWORD GetDefaultFontColor() const;
  void SetDefaultFontColor(DWORD dwColor) { m_dwDefaultFontColor = dwColor; }
  DWORD GetDefaultDisabledColor() const;
  void SetDefaultDisabledColor(DWORD dwColor) { m_dwDefaultDisabledColor = dwColor; }
  // The default font: the one marked default in the layout, else a 12-pixel "宋体".
  TFontInfo* GetDefaultFontInfo();
  void SetDefaultFont(LPCWSTR pStrFontName, int nSize, bool bBold, bool bUnderline, bool bItalic);
  // Adds a font; its index is its position in the order of adding. Null when it cannot be made.
  HFONT AddFont(LPCWSTR pStrFontName, int nSize, bool bBold, bool bUnderline, bool bItalic);
  int GetFontCount() const;
  HFONT GetFont(int iIndex);  // -1 or out of range: the default font
  TFontInfo* GetFontInfo(int iIndex);

  // Images by file name (relative to the resource path), loaded once.
  const TImageInfo* GetImage(LPCWSTR pStrBitmap);
  const TImageInfo* GetImageEx(LPCWSTR pStrBitmap, LPCWSTR type = nullptr, DWORD mask = 0);
  const TImageInfo* AddImage(LPCWSTR pStrBitmap, LPCWSTR type = nullptr, DWORD mask = 0);
  void RemoveAllImages();

  void AddDefaultAttributeList(LPCWSTR pStrControlName, LPCWSTR pStrControlAttrList);
  // The attribute list for a class ("VerticalLayoutUI" or "VerticalLayout"), or null.
  LPCWSTR GetDefaultAttributeList(LPCWSTR pStrControlName) const;

  bool AttachDialog(CControlUI* pControl);
  bool InitControls(CControlUI* pControl, CControlUI* pParent = nullptr);
  // Forgets everything the manager holds about a control that goes away.
  void ReapObjects(CControlUI* pControl);
  // Deletes the control once the current message has been handled.
  void AddDelayedCleanup(CControlUI* pControl);

  bool AddOptionGroup(LPCWSTR pStrGroupName, CControlUI* pControl);
  CStdPtrArray* GetOptionGroup(LPCWSTR pStrGroupName);
  void RemoveOptionGroup(LPCWSTR pStrGroupName, CControlUI* pControl);

  CControlUI* GetFocus() const { return m_pFocus; }
  void SetFocus(CControlUI* pControl);
  bool SetNextTabControl(bool bForward = true);

  bool SetTimer(CControlUI* pControl, UINT nTimerID, UINT uElapse);
  bool KillTimer(CControlUI* pControl, UINT nTimerID);
  void KillTimer(CControlUI* pControl);
  void RemoveAllTimers();

  void SetCapture();
  void ReleaseCapture();
  bool IsCaptured() const { return m_bMouseCapture; }

  bool AddNotifier(INotifyUI* pControl);
  bool RemoveNotifier(INotifyUI* pControl);
  // Hands the notification to every notifier, now or (bAsync) from the message loop.
  void SendNotify(TNotifyUI& Msg, bool bAsync = false);
  void SendNotify(CControlUI* pControl, LPCWSTR pstrMessage, WPARAM wParam = 0, LPARAM lParam = 0,
                  bool bAsync = false);

  bool AddPostPaint(CControlUI* pControl);
  bool RemovePostPaint(CControlUI* pControl);

  CControlUI* GetRoot() const { return m_pRoot; }
  // The topmost visible, mouse-enabled control at the client point, or null.
  CControlUI* FindControl(POINT pt) const;
  // The first control given this name (first come, first named), or null.
  CControlUI* FindControl(LPCWSTR pstrName) const;
  CControlUI* FindSubControlByPoint(CControlUI* pParent, POINT pt) const;
  CControlUI* FindSubControlByName(CControlUI* pParent, LPCWSTR pstrName) const;

  // The window procedure's share: true when the message was consumed (lRes is its result).
  bool MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lRes);

 private:
  struct TimerInfo {
    CControlUI* pSender;
    UINT nLocalID;
    UINT_PTR uWinTimer;
    bool bKilled;
  };

  void Paint();
  void ProcessAsyncNotifies();
  void ProcessDelayedCleanup();
  void SendMouseEvent(CControlUI* pControl, int type, WPARAM wParam, LPARAM lParam, POINT pt);
  void SetHover(CControlUI* pNew, WPARAM wParam, LPARAM lParam, POINT pt);
  void NameControls(CControlUI* pControl);
  HFONT CreateFontFor(const CDuiString& name, int size, bool bold, bool underline, bool italic, TFontInfo& info);

  HWND m_hWndPaint = nullptr;
  HDC m_hDcPaint = nullptr;
  CControlUI* m_pRoot = nullptr;
  CControlUI* m_pFocus = nullptr;
  CControlUI* m_pEventHover = nullptr;
  CControlUI* m_pEventClick = nullptr;
  CControlUI* m_pEventKey = nullptr;
  POINT m_ptLastMousePos{-1, -1};
  SIZE m_szInitWindowSize{0, 0};
  SIZE m_szMinWindow{0, 0};
  SIZE m_szMaxWindow{0, 0};
  SIZE m_szRoundCorner{0, 0};
  RECT m_rcCaption{0, 0, 0, 0};
  bool m_bUpdateNeeded = false;
  bool m_bFirstLayout = true;
  bool m_bMouseTracking = false;
  bool m_bMouseCapture = false;
  bool m_bAsyncNotifyPosted = false;
  bool m_bPainting = false;
  UINT_PTR m_uNextTimerId = 0x1000;

  CStdPtrArray m_aNotifiers;
  CStdPtrArray m_aPostPaintControls;
  CStdPtrArray m_aDelayedCleanup;
  std::vector<TimerInfo> m_aTimers;
  std::vector<TNotifyUI> m_aAsyncNotify;
  std::map<std::u16string, CControlUI*> m_mNameHash;
  std::map<std::u16string, CStdPtrArray> m_mOptionGroup;
  std::map<std::u16string, CDuiString> m_mDefaultAttrHash;
  std::map<std::u16string, std::unique_ptr<TImageInfo, void (*)(TImageInfo*)>> m_mImageHash;
  std::vector<std::unique_ptr<TFontInfo>> m_aCustomFonts;
  TFontInfo m_DefaultFontInfo;
  bool m_bDefaultFontCustom = false;
  DWORD m_dwDefaultFontColor = 0;
  DWORD m_dwDefaultDisabledColor = 0;
  CPaintManagerUI* m_pParentResourcePM = nullptr;
};
