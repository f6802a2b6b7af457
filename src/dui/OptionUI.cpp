#include "dui/OptionUI.h"

#include "dui/CheckBoxUI.h"
#include "dui/PaintManagerUI.h"
#include "dui/RenderEngine.h"

COptionUI::~COptionUI() {
  if (!m_sGroupName.IsEmpty() && m_pManager) m_pManager->RemoveOptionGroup(m_sGroupName, this);
}

LPVOID COptionUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"Option") return static_cast<COptionUI*>(this);
  return CButtonUI::GetInterface(pstrName);
}

void COptionUI::SetManager(CPaintManagerUI* pManager, CControlUI* pParent, bool bInit) {
  if (m_pManager && m_pManager != pManager && !m_sGroupName.IsEmpty())
    m_pManager->RemoveOptionGroup(m_sGroupName, this);
  CButtonUI::SetManager(pManager, pParent, bInit);
  if (bInit && !m_sGroupName.IsEmpty() && m_pManager) m_pManager->AddOptionGroup(m_sGroupName, this);
}

void COptionUI::SetGroup(LPCWSTR pStrGroupName) {
  CDuiString group(pStrGroupName);
  if (group == m_sGroupName) return;
  if (!m_sGroupName.IsEmpty() && m_pManager) m_pManager->RemoveOptionGroup(m_sGroupName, this);
  m_sGroupName = group;
  if (!m_sGroupName.IsEmpty() && m_pManager) m_pManager->AddOptionGroup(m_sGroupName, this);
  Selected(m_bSelected);
}

void COptionUI::Selected(bool bSelected) {
  if (m_bSelected == bSelected) return;
  m_bSelected = bSelected;
  if (m_bSelected)
    m_uButtonState |= UISTATE_SELECTED;
  else
    m_uButtonState &= ~UISTATE_SELECTED;
  if (m_pManager) {
    if (!m_sGroupName.IsEmpty() && m_bSelected) {
      // Selecting one option of a group deselects the others.
      if (CStdPtrArray* group = m_pManager->GetOptionGroup(m_sGroupName)) {
        for (int i = 0; i < group->GetSize(); ++i) {
          auto* other = static_cast<COptionUI*>(group->GetAt(i));
          if (other != this) other->Selected(false);
        }
      }
    }
    m_pManager->SendNotify(this, u"selectchanged");
  }
  Invalidate();
}

bool COptionUI::Activate() {
  if (!CControlUI::Activate()) return false;
  if (!m_sGroupName.IsEmpty())
    Selected(true);
  else
    Selected(!m_bSelected);
  if (m_pManager) m_pManager->SendNotify(this, u"click");
  return true;
}

void COptionUI::SetEnabled(bool bEnable) {
  CButtonUI::SetEnabled(bEnable);
  if (!IsEnabled() && m_bSelected) m_uButtonState = UISTATE_SELECTED;
}

void COptionUI::SetAttribute(LPCWSTR pstrName, LPCWSTR pstrValue) {
  CDuiString name(pstrName);
  if (name == u"group")
    SetGroup(pstrValue);
  else if (name == u"selected")
    Selected(dui::ParseBool(pstrValue));
  else if (name == u"selectedimage")
    SetSelectedImage(pstrValue);
  else if (name == u"selectedhotimage")
    m_sSelectedHotImage = pstrValue;
  else if (name == u"foreimage")
    m_sForeImage = pstrValue;
  else if (name == u"selectedbkcolor")
    m_dwSelectedBkColor = dui::ParseColor(pstrValue);
  else if (name == u"selectedtextcolor")
    SetSelectedTextColor(dui::ParseColor(pstrValue));
  else
    CButtonUI::SetAttribute(pstrName, pstrValue);
}

void COptionUI::PaintStatusImage(HDC hDC) {
  if (m_bSelected) {
    if (m_dwSelectedBkColor != 0) CRenderEngine::DrawColor(hDC, m_rcPaint, m_dwSelectedBkColor);
    if ((m_uButtonState & UISTATE_HOT) && !m_sSelectedHotImage.IsEmpty()) {
      if (DrawImage(hDC, m_sSelectedHotImage)) goto fore;
      m_sSelectedHotImage.Empty();
    }
    if (!m_sSelectedImage.IsEmpty()) {
      if (DrawImage(hDC, m_sSelectedImage)) goto fore;
      m_sSelectedImage.Empty();
    }
  }
  CButtonUI::PaintStatusImage(hDC);
fore:
  if (!m_sForeImage.IsEmpty() && !DrawImage(hDC, m_sForeImage)) m_sForeImage.Empty();
}

void COptionUI::PaintText(HDC hDC) {
  if (m_bSelected && m_dwSelectedTextColor != 0 && IsEnabled())
    DrawLabelText(hDC, m_dwSelectedTextColor);
  else
    CButtonUI::PaintText(hDC);
}

LPVOID CCheckBoxUI::GetInterface(LPCWSTR pstrName) {
  if (CDuiString(pstrName) == u"CheckBox") return static_cast<CCheckBoxUI*>(this);
  return COptionUI::GetInterface(pstrName);
}
