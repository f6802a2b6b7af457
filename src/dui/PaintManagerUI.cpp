#include "dui/PaintManagerUI.h"

#include <algorithm>

#include "dui/RenderEngine.h"

namespace {

// Posted to the paint window to run async notifications and delayed clean-ups from the loop.
constexpr UINT kManagerWork = WM_APP + 1;

HINSTANCE g_hInstance = nullptr;

// Made on first use: other files' static objects may set it before this file's are constructed.
CDuiString& ResourcePathValue() {
  static CDuiString path;
  return path;
}

std::u16string Key(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

// "VerticalLayoutUI" and "VerticalLayout" name the same default attribute list.
std::u16string ClassKey(LPCWSTR name) {
  std::u16string key = Key(name);
  if (key.size() > 2 && key.compare(key.size() - 2, 2, u"UI") == 0) key.resize(key.size() - 2);
  return key;
}

WORD MapKeyState() {
  WORD state = 0;
  if (::GetKeyState(VK_CONTROL) < 0) state |= MK_CONTROL;
  if (::GetKeyState(VK_LBUTTON) < 0) state |= MK_LBUTTON;
  if (::GetKeyState(VK_RBUTTON) < 0) state |= MK_RBUTTON;
  if (::GetKeyState(VK_SHIFT) < 0) state |= MK_SHIFT;
  return state;
}

CControlUI* CALLBACK FindControlFromPoint(CControlUI* pThis, LPVOID pData) {
  return ::PtInRect(&pThis->GetPos(), *static_cast<const POINT*>(pData)) ? pThis : nullptr;
}

CControlUI* CALLBACK FindControlFromName(CControlUI* pThis, LPVOID pData) {
  const auto* name = static_cast<LPCWSTR>(pData);
  return pThis->GetName() == name ? pThis : nullptr;
}

CControlUI* CALLBACK CollectUpdateNeeded(CControlUI* pThis, LPVOID pData) {
  if (pThis->IsUpdateNeeded()) static_cast<std::vector<CControlUI*>*>(pData)->push_back(pThis);
  return nullptr;
}

CControlUI* CALLBACK CollectTabStops(CControlUI* pThis, LPVOID pData) {
  if ((pThis->GetControlFlags() & UIFLAG_TABSTOP) && pThis->IsEnabled() && pThis->IsKeyboardEnabled())
    static_cast<std::vector<CControlUI*>*>(pData)->push_back(pThis);
  return nullptr;
}

struct NameCollector {
  std::map<std::u16string, CControlUI*>* names;
};

CControlUI* CALLBACK CollectNames(CControlUI* pThis, LPVOID pData) {
  auto* names = static_cast<NameCollector*>(pData)->names;
  CDuiString name = pThis->GetName();
  if (!name.IsEmpty()) names->emplace(Key(name), pThis);  // the first control of a name keeps it
  return nullptr;
}

}  // namespace

CPaintManagerUI::CPaintManagerUI() = default;

CPaintManagerUI::~CPaintManagerUI() {
  RemoveAllTimers();
  m_aAsyncNotify.clear();
  delete m_pRoot;  // its controls reap themselves from this manager on the way
  m_pRoot = nullptr;
  ProcessDelayedCleanup();
  for (auto& font : m_aCustomFonts) ::DeleteObject(font->hFont);
  if (m_DefaultFontInfo.hFont) ::DeleteObject(m_DefaultFontInfo.hFont);
  m_mImageHash.clear();
  if (m_hDcPaint) ::ReleaseDC(m_hWndPaint, m_hDcPaint);
}

void CPaintManagerUI::Init(HWND hWnd) {
  if (m_hDcPaint) ::ReleaseDC(m_hWndPaint, m_hDcPaint);
  m_hWndPaint = hWnd;
  m_hDcPaint = hWnd ? ::GetDC(hWnd) : nullptr;
}

SIZE CPaintManagerUI::GetClientSize() const {
  RECT rc{0, 0, 0, 0};
  ::GetClientRect(m_hWndPaint, &rc);
  return SIZE{rc.right - rc.left, rc.bottom - rc.top};
}

void CPaintManagerUI::SetInitSize(int cx, int cy) {
  m_szInitWindowSize = SIZE{cx, cy};
  if (!m_pRoot && m_hWndPaint)
    ::SetWindowPos(m_hWndPaint, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
}

void CPaintManagerUI::Invalidate(RECT& rcItem) {
  if (m_hWndPaint) ::InvalidateRect(m_hWndPaint, &rcItem, FALSE);
}

HINSTANCE CPaintManagerUI::GetInstance() { return g_hInstance; }

void CPaintManagerUI::SetInstance(HINSTANCE hInst) { g_hInstance = hInst; }

// The folder of the program's files: the executable's own in a build folder, else where they are
// installed, <prefix>/share/qvgameassist/ beside <prefix>/bin/.
CDuiString CPaintManagerUI::GetInstancePath() {
  WCHAR path[4096];
  DWORD n = ::GetModuleFileNameW(g_hInstance, path, 4096);
  if (n == 0 || n >= 4096) return CDuiString();
  CDuiString full(path, static_cast<int>(n));
  int cut = full.GetLength();
  while (cut > 0 && full[cut - 1] != u'/' && full[cut - 1] != u'\\') --cut;
  CDuiString folder(path, cut);
  int parent = cut > 0 ? cut - 1 : 0;
  while (parent > 0 && full[parent - 1] != u'/') --parent;
  CDuiString installed = CDuiString(path, parent) + u"share/qvgameassist/";
  if (!::PathFileExistsW(folder + u"Skins") && ::PathFileExistsW(installed + u"Skins")) return installed;
  return folder;
}

const CDuiString& CPaintManagerUI::GetResourcePath() { return ResourcePathValue(); }

void CPaintManagerUI::SetResourcePath(LPCWSTR pStrPath) {
  CDuiString& path = ResourcePathValue();
  path = pStrPath;
  int n = path.GetLength();
  if (n > 0 && path[n - 1] != u'/' && path[n - 1] != u'\\') path += u'/';
}

void CPaintManagerUI::MessageLoop() {
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!TranslateMessage(&msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
}

bool CPaintManagerUI::TranslateMessage(const MSG* pMsg) {
  // Every key reaches the window procedure, where the manager sees it; nothing is taken here.
  (void)pMsg;
  return false;
}

bool CPaintManagerUI::UseParentResource(CPaintManagerUI* pm) {
  if (pm == this) return false;
  // A chain that leads back here would loop forever.
  for (CPaintManagerUI* p = pm; p; p = p->m_pParentResourcePM)
    if (p == this) return false;
  m_pParentResourcePM = pm;
  return true;
}

DWORD CPaintManagerUI::GetDefaultFontColor() const {
  if (m_dwDefaultFontColor != 0) return m_dwDefaultFontColor;
  if (m_pParentResourcePM) return m_pParentResourcePM->GetDefaultFontColor();
  return 0xFF000000;
}

DWORD CPaintManagerUI::GetDefaultDisabledColor() const {
  if (m_dwDefaultDisabledColor != 0) return m_dwDefaultDisabledColor;
  if (m_pParentResourcePM) return m_pParentResourcePM->GetDefaultDisabledColor();
  return 0xFFA7A6AA;
}

HFONT CPaintManagerUI::CreateFontFor(const CDuiString& name, int size, bool bold, bool underline, bool italic,
                                     TFontInfo& info) {
  LOGFONTW lf{};
  int n = std::min(name.GetLength(), LF_FACESIZE - 1);
  std::copy(name.GetData(), name.GetData() + n, lf.lfFaceName);
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfHeight = -size;
  if (bold) lf.lfWeight = FW_BOLD;
  if (underline) lf.lfUnderline = TRUE;
  if (italic) lf.lfItalic = TRUE;
  HFONT font = ::CreateFontIndirectW(&lf);
  if (!font) return nullptr;
  info.hFont = font;
  info.sFontName = name;
  info.iSize = size;
  info.bBold = bold;
  info.bUnderline = underline;
  info.bItalic = italic;
  // The metrics come from a memory DC so that fonts work before the window exists.
  HDC dc = ::CreateCompatibleDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  ::GetTextMetricsW(dc, &info.tm);
  ::SelectObject(dc, old);
  ::DeleteDC(dc);
  return font;
}

TFontInfo* CPaintManagerUI::GetDefaultFontInfo() {
  if (m_DefaultFontInfo.hFont) return &m_DefaultFontInfo;
  if (m_pParentResourcePM) return m_pParentResourcePM->GetDefaultFontInfo();
  CreateFontFor(u"宋体", 12, false, false, false, m_DefaultFontInfo);
  return &m_DefaultFontInfo;
}

void CPaintManagerUI::SetDefaultFont(LPCWSTR pStrFontName, int nSize, bool bBold, bool bUnderline, bool bItalic) {
  TFontInfo info;
  if (!CreateFontFor(pStrFontName, nSize, bBold, bUnderline, bItalic, info)) return;
  if (m_DefaultFontInfo.hFont) ::DeleteObject(m_DefaultFontInfo.hFont);
  m_DefaultFontInfo = info;
}

HFONT CPaintManagerUI::AddFont(LPCWSTR pStrFontName, int nSize, bool bBold, bool bUnderline, bool bItalic) {
  auto info = std::make_unique<TFontInfo>();
  HFONT font = CreateFontFor(pStrFontName, nSize, bBold, bUnderline, bItalic, *info);
  if (!font) return nullptr;
  m_aCustomFonts.push_back(std::move(info));
  return font;
}

int CPaintManagerUI::GetFontCount() const { return static_cast<int>(m_aCustomFonts.size()); }

TFontInfo* CPaintManagerUI::GetFontInfo(int iIndex) {
  if (m_aCustomFonts.empty() && m_pParentResourcePM) return m_pParentResourcePM->GetFontInfo(iIndex);
  if (iIndex < 0 || iIndex >= GetFontCount()) return GetDefaultFontInfo();
  return m_aCustomFonts[iIndex].get();
}

HFONT CPaintManagerUI::GetFont(int iIndex) { return GetFontInfo(iIndex)->hFont; }

const TImageInfo* CPaintManagerUI::GetImage(LPCWSTR pStrBitmap) {
  auto it = m_mImageHash.find(Key(pStrBitmap));
  if (it != m_mImageHash.end()) return it->second.get();
  return m_pParentResourcePM ? m_pParentResourcePM->GetImage(pStrBitmap) : nullptr;
}

const TImageInfo* CPaintManagerUI::GetImageEx(LPCWSTR pStrBitmap, LPCWSTR type, DWORD mask) {
  if (const TImageInfo* image = GetImage(pStrBitmap)) return image;
  return AddImage(pStrBitmap, type, mask);
}

const TImageInfo* CPaintManagerUI::AddImage(LPCWSTR pStrBitmap, LPCWSTR type, DWORD mask) {
  (void)type;  // images are files; there are no resource types here
  if (!pStrBitmap || !*pStrBitmap) return nullptr;
  CDuiString path(pStrBitmap);
  if (pStrBitmap[0] != u'/') path = ResourcePathValue() + pStrBitmap;
  TImageInfo* image = CRenderEngine::LoadImage(path, mask);
  if (!image) return nullptr;
  auto& slot = m_mImageHash.emplace(Key(pStrBitmap), std::unique_ptr<TImageInfo, void (*)(TImageInfo*)>(
                                                          nullptr, &CRenderEngine::FreeImage))
                   .first->second;
  slot.reset(image);
  return image;
}

void CPaintManagerUI::RemoveAllImages() { m_mImageHash.clear(); }

void CPaintManagerUI::AddDefaultAttributeList(LPCWSTR pStrControlName, LPCWSTR pStrControlAttrList) {
  m_mDefaultAttrHash[ClassKey(pStrControlName)] = pStrControlAttrList;
}

LPCWSTR CPaintManagerUI::GetDefaultAttributeList(LPCWSTR pStrControlName) const {
  auto it = m_mDefaultAttrHash.find(ClassKey(pStrControlName));
  if (it != m_mDefaultAttrHash.end()) return it->second;
  return m_pParentResourcePM ? m_pParentResourcePM->GetDefaultAttributeList(pStrControlName) : nullptr;
}

bool CPaintManagerUI::AttachDialog(CControlUI* pControl) {
  SetFocus(nullptr);
  m_pEventKey = m_pEventHover = m_pEventClick = nullptr;
  if (m_pRoot && m_pRoot != pControl) {
    m_aPostPaintControls.Empty();
    AddDelayedCleanup(m_pRoot);
  }
  m_pRoot = pControl;
  m_bUpdateNeeded = true;
  m_bFirstLayout = true;
  if (m_hWndPaint) ::InvalidateRect(m_hWndPaint, nullptr, FALSE);
  return InitControls(pControl);
}

bool CPaintManagerUI::InitControls(CControlUI* pControl, CControlUI* pParent) {
  if (!pControl) return false;
  pControl->SetManager(this, pParent ? pParent : pControl->GetParent(), true);
  NameControls(pControl);
  return true;
}

void CPaintManagerUI::NameControls(CControlUI* pControl) {
  NameCollector collector{&m_mNameHash};
  pControl->FindControl(CollectNames, &collector, UIFIND_ALL);
}

void CPaintManagerUI::ReapObjects(CControlUI* pControl) {
  if (pControl == m_pEventKey) m_pEventKey = nullptr;
  if (pControl == m_pEventHover) m_pEventHover = nullptr;
  if (pControl == m_pEventClick) m_pEventClick = nullptr;
  if (pControl == m_pFocus) m_pFocus = nullptr;
  if (pControl == m_pRoot) m_pRoot = nullptr;
  KillTimer(pControl);
  for (auto it = m_mNameHash.begin(); it != m_mNameHash.end();) {
    if (it->second == pControl)
      it = m_mNameHash.erase(it);
    else
      ++it;
  }
  RemovePostPaint(pControl);
  for (auto& group : m_mOptionGroup) {
    int at = group.second.Find(pControl);
    if (at >= 0) group.second.Remove(at);
  }
  // Queued notifications from it are dropped: their sender is gone.
  for (TNotifyUI& msg : m_aAsyncNotify)
    if (msg.pSender == pControl) msg.pSender = nullptr, msg.sType.Empty();
}

void CPaintManagerUI::AddDelayedCleanup(CControlUI* pControl) {
  if (!pControl || m_aDelayedCleanup.Find(pControl) >= 0) return;
  pControl->SetManager(this, nullptr, false);
  m_aDelayedCleanup.Add(pControl);
  if (m_hWndPaint)
    ::PostMessageW(m_hWndPaint, kManagerWork, 0, 0);
  else
    ProcessDelayedCleanup();
}

void CPaintManagerUI::ProcessDelayedCleanup() {
  while (!m_aDelayedCleanup.IsEmpty()) {
    auto* control = static_cast<CControlUI*>(m_aDelayedCleanup.GetAt(0));
    m_aDelayedCleanup.Remove(0);
    delete control;
  }
}

bool CPaintManagerUI::AddOptionGroup(LPCWSTR pStrGroupName, CControlUI* pControl) {
  CStdPtrArray& group = m_mOptionGroup[Key(pStrGroupName)];
  if (group.Find(pControl) >= 0) return false;
  group.Add(pControl);
  return true;
}

CStdPtrArray* CPaintManagerUI::GetOptionGroup(LPCWSTR pStrGroupName) {
  auto it = m_mOptionGroup.find(Key(pStrGroupName));
  return it == m_mOptionGroup.end() ? nullptr : &it->second;
}

void CPaintManagerUI::RemoveOptionGroup(LPCWSTR pStrGroupName, CControlUI* pControl) {
  auto it = m_mOptionGroup.find(Key(pStrGroupName));
  if (it == m_mOptionGroup.end()) return;
  int at = it->second.Find(pControl);
  if (at >= 0) it->second.Remove(at);
  if (it->second.IsEmpty()) m_mOptionGroup.erase(it);
}

void CPaintManagerUI::SetFocus(CControlUI* pControl) {
  if (m_hWndPaint && pControl && pControl != m_pFocus && ::GetFocus() != m_hWndPaint) ::SetFocus(m_hWndPaint);
  if (pControl == m_pFocus) return;
  if (m_pFocus) {
    TEventUI event;
    event.Type = UIEVENT_KILLFOCUS;
    event.pSender = pControl;
    event.dwTimestamp = ::GetTickCount();
    CControlUI* old = m_pFocus;
    m_pFocus = nullptr;
    old->Event(event);
    SendNotify(old, u"killfocus");
  }
  if (!pControl || pControl->GetManager() != this || !pControl->IsVisible() || !pControl->IsEnabled()) return;
  m_pFocus = pControl;
  TEventUI event;
  event.Type = UIEVENT_SETFOCUS;
  event.pSender = pControl;
  event.dwTimestamp = ::GetTickCount();
  pControl->Event(event);
  SendNotify(pControl, u"setfocus");
}

bool CPaintManagerUI::SetNextTabControl(bool bForward) {
  if (!m_pRoot) return false;
  std::vector<CControlUI*> stops;
  m_pRoot->FindControl(CollectTabStops, &stops, UIFIND_VISIBLE | UIFIND_ENABLED | UIFIND_ME_FIRST);
  if (stops.empty()) return false;
  auto at = std::find(stops.begin(), stops.end(), m_pFocus);
  size_t n = stops.size(), index;
  if (at == stops.end())
    index = bForward ? 0 : n - 1;
  else
    index = (static_cast<size_t>(at - stops.begin()) + (bForward ? 1 : n - 1)) % n;
  SetFocus(stops[index]);
  return true;
}

bool CPaintManagerUI::SetTimer(CControlUI* pControl, UINT nTimerID, UINT uElapse) {
  if (!pControl || !m_hWndPaint) return false;
  for (TimerInfo& t : m_aTimers) {
    if (t.pSender == pControl && t.nLocalID == nTimerID && !t.bKilled)
      return ::SetTimer(m_hWndPaint, t.uWinTimer, uElapse, nullptr) != 0;
  }
  UINT_PTR id = ++m_uNextTimerId;
  if (!::SetTimer(m_hWndPaint, id, uElapse, nullptr)) return false;
  m_aTimers.push_back(TimerInfo{pControl, nTimerID, id, false});
  return true;
}

bool CPaintManagerUI::KillTimer(CControlUI* pControl, UINT nTimerID) {
  for (auto it = m_aTimers.begin(); it != m_aTimers.end(); ++it) {
    if (it->pSender == pControl && it->nLocalID == nTimerID) {
      if (m_hWndPaint) ::KillTimer(m_hWndPaint, it->uWinTimer);
      m_aTimers.erase(it);
      return true;
    }
  }
  return false;
}

void CPaintManagerUI::KillTimer(CControlUI* pControl) {
  for (auto it = m_aTimers.begin(); it != m_aTimers.end();) {
    if (it->pSender == pControl) {
      if (m_hWndPaint) ::KillTimer(m_hWndPaint, it->uWinTimer);
      it = m_aTimers.erase(it);
    } else {
      ++it;
    }
  }
}

void CPaintManagerUI::RemoveAllTimers() {
  for (TimerInfo& t : m_aTimers)
    if (m_hWndPaint) ::KillTimer(m_hWndPaint, t.uWinTimer);
  m_aTimers.clear();
}

void CPaintManagerUI::SetCapture() {
  ::SetCapture(m_hWndPaint);
  m_bMouseCapture = true;
}

void CPaintManagerUI::ReleaseCapture() {
  m_bMouseCapture = false;
  if (::GetCapture() == m_hWndPaint) ::ReleaseCapture();
}

bool CPaintManagerUI::AddNotifier(INotifyUI* pControl) {
  if (!pControl || m_aNotifiers.Find(pControl) >= 0) return false;
  return m_aNotifiers.Add(pControl);
}

bool CPaintManagerUI::RemoveNotifier(INotifyUI* pControl) { return m_aNotifiers.Remove(m_aNotifiers.Find(pControl)); }

void CPaintManagerUI::SendNotify(TNotifyUI& Msg, bool bAsync) {
  Msg.ptMouse = m_ptLastMousePos;
  Msg.dwTimestamp = ::GetTickCount();
  if (bAsync) {
    m_aAsyncNotify.push_back(Msg);
    if (m_hWndPaint && !m_bAsyncNotifyPosted) {
      m_bAsyncNotifyPosted = true;
      ::PostMessageW(m_hWndPaint, kManagerWork, 0, 0);
    }
    return;
  }
  // A notifier may remove itself (or others) while being told.
  CStdPtrArray notifiers = m_aNotifiers;
  for (int i = 0; i < notifiers.GetSize(); ++i) {
    auto* notifier = static_cast<INotifyUI*>(notifiers.GetAt(i));
    if (m_aNotifiers.Find(notifier) >= 0) notifier->Notify(Msg);
  }
}

void CPaintManagerUI::SendNotify(CControlUI* pControl, LPCWSTR pstrMessage, WPARAM wParam, LPARAM lParam,
                                 bool bAsync) {
  TNotifyUI msg;
  msg.pSender = pControl;
  msg.sType = pstrMessage;
  msg.wParam = wParam;
  msg.lParam = lParam;
  SendNotify(msg, bAsync);
}

void CPaintManagerUI::ProcessAsyncNotifies() {
  m_bAsyncNotifyPosted = false;
  std::vector<TNotifyUI> queued;
  queued.swap(m_aAsyncNotify);
  for (TNotifyUI& msg : queued) {
    if (msg.pSender == nullptr && msg.sType.IsEmpty()) continue;  // its sender went away
    CStdPtrArray notifiers = m_aNotifiers;
    for (int i = 0; i < notifiers.GetSize(); ++i) {
      auto* notifier = static_cast<INotifyUI*>(notifiers.GetAt(i));
      if (m_aNotifiers.Find(notifier) >= 0) notifier->Notify(msg);
    }
  }
}

bool CPaintManagerUI::AddPostPaint(CControlUI* pControl) {
  if (m_aPostPaintControls.Find(pControl) >= 0) return false;
  return m_aPostPaintControls.Add(pControl);
}

bool CPaintManagerUI::RemovePostPaint(CControlUI* pControl) {
  return m_aPostPaintControls.Remove(m_aPostPaintControls.Find(pControl));
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) const {
  if (!m_pRoot) return nullptr;
  return m_pRoot->FindControl(FindControlFromPoint, &pt, UIFIND_VISIBLE | UIFIND_HITTEST | UIFIND_TOP_FIRST);
}

CControlUI* CPaintManagerUI::FindControl(LPCWSTR pstrName) const {
  auto it = m_mNameHash.find(Key(pstrName));
  return it == m_mNameHash.end() ? nullptr : it->second;
}

CControlUI* CPaintManagerUI::FindSubControlByPoint(CControlUI* pParent, POINT pt) const {
  if (!pParent) pParent = m_pRoot;
  if (!pParent) return nullptr;
  return pParent->FindControl(FindControlFromPoint, &pt, UIFIND_VISIBLE | UIFIND_HITTEST | UIFIND_TOP_FIRST);
}

CControlUI* CPaintManagerUI::FindSubControlByName(CControlUI* pParent, LPCWSTR pstrName) const {
  if (!pParent) pParent = m_pRoot;
  if (!pParent || !pstrName) return nullptr;
  return pParent->FindControl(FindControlFromName, const_cast<LPWSTR>(pstrName), UIFIND_ALL);
}

void CPaintManagerUI::Paint() {
  RECT rcPaint{0, 0, 0, 0};
  if (!::GetUpdateRect(m_hWndPaint, &rcPaint, FALSE)) return;
  if (!m_pRoot) {
    PAINTSTRUCT ps;
    ::BeginPaint(m_hWndPaint, &ps);
    ::EndPaint(m_hWndPaint, &ps);
    return;
  }
  if (m_bUpdateNeeded) {
    m_bUpdateNeeded = false;
    RECT client{0, 0, 0, 0};
    ::GetClientRect(m_hWndPaint, &client);
    if (!::IsRectEmpty(&client)) {
      if (m_pRoot->IsUpdateNeeded()) {
        m_pRoot->SetPos(client, true);
      } else {
        std::vector<CControlUI*> stale;
        m_pRoot->FindControl(CollectUpdateNeeded, &stale, UIFIND_VISIBLE | UIFIND_ME_FIRST);
        for (CControlUI* control : stale) control->SetPos(control->GetPos(), true);
      }
      if (m_bFirstLayout) {
        m_bFirstLayout = false;
        SendNotify(m_pRoot, u"windowinit");
        if (!m_pRoot) return;  // a notifier detached the tree
      }
    }
    // Layout may have grown the area to paint.
    ::GetUpdateRect(m_hWndPaint, &rcPaint, FALSE);
  }
  PAINTSTRUCT ps;
  HDC hdc = ::BeginPaint(m_hWndPaint, &ps);
  RECT client{0, 0, 0, 0};
  ::GetClientRect(m_hWndPaint, &client);
  int width = client.right - client.left, height = client.bottom - client.top;
  if (width > 0 && height > 0) {
    // Painted off screen first, so that a window never shows a half-drawn tree.
    HDC mem = ::CreateCompatibleDC(hdc);
    HBITMAP bitmap = ::CreateCompatibleBitmap(hdc, width, height);
    HGDIOBJ old = ::SelectObject(mem, bitmap);
    m_bPainting = true;
    m_pRoot->DoPaint(mem, ps.rcPaint);
    for (int i = 0; i < m_aPostPaintControls.GetSize(); ++i)
      static_cast<CControlUI*>(m_aPostPaintControls.GetAt(i))->DoPostPaint(mem, ps.rcPaint);
    m_bPainting = false;
    ::BitBlt(hdc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
             ps.rcPaint.bottom - ps.rcPaint.top, mem, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
    ::SelectObject(mem, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(mem);
  }
  ::EndPaint(m_hWndPaint, &ps);
}

void CPaintManagerUI::SendMouseEvent(CControlUI* pControl, int type, WPARAM wParam, LPARAM lParam, POINT pt) {
  TEventUI event;
  event.Type = type;
  event.pSender = pControl;
  event.ptMouse = pt;
  event.wParam = wParam;
  event.lParam = lParam;
  event.wKeyState = MapKeyState();
  event.dwTimestamp = ::GetTickCount();
  pControl->Event(event);
}

void CPaintManagerUI::SetHover(CControlUI* pNew, WPARAM wParam, LPARAM lParam, POINT pt) {
  if (pNew == m_pEventHover) return;
  if (CControlUI* old = m_pEventHover) {
    m_pEventHover = nullptr;
    SendMouseEvent(old, UIEVENT_MOUSELEAVE, wParam, lParam, pt);
  }
  if (pNew) {
    m_pEventHover = pNew;
    SendMouseEvent(pNew, UIEVENT_MOUSEENTER, wParam, lParam, pt);
  }
}

bool CPaintManagerUI::MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lRes) {
  if (!m_hWndPaint) return false;
  switch (uMsg) {
    case kManagerWork:
      ProcessDelayedCleanup();
      ProcessAsyncNotifies();
      lRes = 0;
      return true;
    case WM_CLOSE:
      SetFocus(nullptr);
      if (m_pEventHover) SetHover(nullptr, 0, 0, m_ptLastMousePos);
      return false;
    case WM_ERASEBKGND:
      lRes = 1;  // the whole client area is painted from the off-screen copy
      return true;
    case WM_PAINT:
      Paint();
      lRes = 0;
      return true;
    case WM_SIZE:
      if (m_pFocus) {
        TEventUI event;
        event.Type = UIEVENT_WINDOWSIZE;
        event.pSender = m_pFocus;
        event.dwTimestamp = ::GetTickCount();
        m_pFocus->Event(event);
      }
      if (m_pRoot) m_pRoot->NeedUpdate();
      m_bUpdateNeeded = true;
      return false;
    case WM_TIMER:
      for (const TimerInfo& t : m_aTimers) {
        if (t.uWinTimer != wParam || t.bKilled) continue;
        TEventUI event;
        event.Type = UIEVENT_TIMER;
        event.pSender = t.pSender;
        event.wParam = t.nLocalID;
        event.dwTimestamp = ::GetTickCount();
        t.pSender->Event(event);
        lRes = 0;
        return true;
      }
      return false;
    case WM_MOUSEMOVE: {
      if (!m_bMouseTracking) {
        TRACKMOUSEEVENT tme{sizeof(TRACKMOUSEEVENT), TME_LEAVE, m_hWndPaint, HOVER_DEFAULT};
        ::TrackMouseEvent(&tme);
        m_bMouseTracking = true;
      }
      CPoint pt(lParam);
      m_ptLastMousePos = pt;
      CControlUI* hover = FindControl(pt);
      if (hover && hover->GetManager() != this) return false;
      if (!m_bMouseCapture) SetHover(hover, wParam, lParam, pt);
      if (m_pEventClick)
        SendMouseEvent(m_pEventClick, UIEVENT_MOUSEMOVE, wParam, lParam, pt);
      else if (m_pEventHover)
        SendMouseEvent(m_pEventHover, UIEVENT_MOUSEMOVE, wParam, lParam, pt);
      return false;
    }
    case WM_MOUSELEAVE:
      m_bMouseTracking = false;
      if (!m_bMouseCapture) SetHover(nullptr, wParam, lParam, m_ptLastMousePos);
      return false;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      ::SetFocus(m_hWndPaint);
      CPoint pt(lParam);
      m_ptLastMousePos = pt;
      CControlUI* control = FindControl(pt);
      if (!control || control->GetManager() != this) return false;
      m_pEventClick = control;
      control->SetFocus();
      SetCapture();
      SendMouseEvent(control, uMsg == WM_LBUTTONDOWN ? UIEVENT_BUTTONDOWN : UIEVENT_DBLCLICK, wParam, lParam, pt);
      return false;
    }
    case WM_LBUTTONUP: {
      CPoint pt(lParam);
      m_ptLastMousePos = pt;
      CControlUI* control = m_pEventClick;
      if (!control) return false;
      m_pEventClick = nullptr;
      ReleaseCapture();
      SendMouseEvent(control, UIEVENT_BUTTONUP, wParam, lParam, pt);
      return false;
    }
    case WM_RBUTTONDOWN: {
      ::SetFocus(m_hWndPaint);
      CPoint pt(lParam);
      m_ptLastMousePos = pt;
      CControlUI* control = FindControl(pt);
      if (!control || control->GetManager() != this) return false;
      control->SetFocus();
      SendMouseEvent(control, UIEVENT_RBUTTONDOWN, wParam, lParam, pt);
      return false;
    }
    case WM_MBUTTONDOWN: {
      CPoint pt(lParam);
      m_ptLastMousePos = pt;
      CControlUI* control = FindControl(pt);
      if (!control || control->GetManager() != this) return false;
      SendMouseEvent(control, UIEVENT_MBUTTONDOWN, wParam, lParam, pt);
      return false;
    }
    case WM_MOUSEWHEEL: {
      POINT pt{static_cast<short>(lParam & 0xFFFF), static_cast<short>((lParam >> 16) & 0xFFFF)};
      ::ScreenToClient(m_hWndPaint, &pt);
      m_ptLastMousePos = pt;
      CControlUI* control = FindControl(pt);
      if (!control || control->GetManager() != this) return false;
      SendMouseEvent(control, UIEVENT_SCROLLWHEEL, wParam, lParam, pt);
      lRes = 0;
      return true;
    }
    case WM_SETCURSOR: {
      if (LOWORD(lParam) != HTCLIENT) return false;
      if (m_bMouseCapture) {
        lRes = TRUE;
        return true;
      }
      POINT pt;
      ::GetCursorPos(&pt);
      ::ScreenToClient(m_hWndPaint, &pt);
      CControlUI* control = FindControl(pt);
      if (!control || !(control->GetControlFlags() & UIFLAG_SETCURSOR)) return false;
      SendMouseEvent(control, UIEVENT_SETCURSOR, wParam, lParam, pt);
      lRes = TRUE;
      return true;
    }
    case WM_CHAR:
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP: {
      if (uMsg == WM_KEYDOWN && wParam == VK_TAB) {
        SetNextTabControl(::GetKeyState(VK_SHIFT) >= 0);
        lRes = 0;
        return true;
      }
      CControlUI* target = uMsg == WM_KEYUP ? m_pEventKey : m_pFocus;
      if (!target) return false;
      TEventUI event;
      event.Type = uMsg == WM_CHAR         ? UIEVENT_CHAR
                   : uMsg == WM_KEYDOWN    ? UIEVENT_KEYDOWN
                   : uMsg == WM_SYSKEYDOWN ? UIEVENT_SYSKEY
                                           : UIEVENT_KEYUP;
      event.pSender = target;
      event.chKey = static_cast<WCHAR>(wParam);
      event.ptMouse = m_ptLastMousePos;
      event.wKeyState = MapKeyState();
      event.wParam = wParam;
      event.lParam = lParam;
      event.dwTimestamp = ::GetTickCount();
      m_pEventKey = uMsg == WM_KEYDOWN ? target : uMsg == WM_KEYUP ? nullptr : m_pEventKey;
      target->Event(event);
      return false;
    }
    case WM_CAPTURECHANGED:
      // Only a capture taken away by someone else; our own release clears the flag first.
      if (m_bMouseCapture && reinterpret_cast<HWND>(lParam) != m_hWndPaint) {
        m_bMouseCapture = false;
        if (CControlUI* control = m_pEventClick) {
          // Someone else took the mouse: the pressed control gets its release where the mouse was.
          m_pEventClick = nullptr;
          SendMouseEvent(control, UIEVENT_BUTTONUP, 0, 0, POINT{-1, -1});
        }
      }
      return false;
    case WM_KILLFOCUS:
      return false;
    default:
      return false;
  }
}
