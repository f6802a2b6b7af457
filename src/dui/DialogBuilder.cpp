#include "dui/DialogBuilder.h"

#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <vector>

#include "dui/ButtonUI.h"
#include "dui/CheckBoxUI.h"
#include "dui/ComboUI.h"
#include "dui/ContainerUI.h"
#include "dui/EditUI.h"
#include "dui/HorizontalLayoutUI.h"
#include "dui/LabelUI.h"
#include "dui/ListUI.h"
#include "dui/OptionUI.h"
#include "dui/PaintManagerUI.h"
#include "dui/ProgressUI.h"
#include "dui/ScrollBarUI.h"
#include "dui/TabLayoutUI.h"
#include "dui/VerticalLayoutUI.h"

namespace {

CDuiString FromUtf8(const char* text) {
  int n = static_cast<int>(std::strlen(text));
  if (n == 0) return CDuiString();
  int wide = ::MultiByteToWideChar(CP_UTF8, 0, text, n, nullptr, 0);
  std::u16string out(static_cast<size_t>(wide), u'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, n, out.data(), wide);
  return CDuiString(out.c_str(), wide);
}

void Trace(const CDuiString& text) { ::OutputDebugStringW(text + u"\r\n"); }

bool ReadFile(const CDuiString& path, std::vector<char>& out) {
  FILE* f = ::_wfopen(path, u"rb");
  if (!f) return false;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

void ApplyWindowSettings(const pugi::xml_node& window, CPaintManagerUI* pm) {
  for (const pugi::xml_attribute& attr : window.attributes()) {
    CDuiString name = FromUtf8(attr.name()), value = FromUtf8(attr.value());
    if (name == u"size") {
      SIZE sz = dui::ParseSize(value);
      pm->SetInitSize(sz.cx, sz.cy);
    } else if (name == u"caption") {
      pm->SetCaptionRect(dui::ParseRect(value));
    } else if (name == u"roundcorner") {
      SIZE sz = dui::ParseSize(value);
      pm->SetRoundCorner(sz.cx, sz.cy);
    } else if (name == u"mininfo") {
      SIZE sz = dui::ParseSize(value);
      pm->SetMinInfo(sz.cx, sz.cy);
    } else if (name == u"maxinfo") {
      SIZE sz = dui::ParseSize(value);
      pm->SetMaxInfo(sz.cx, sz.cy);
    } else if (name == u"defaultfontcolor") {
      pm->SetDefaultFontColor(dui::ParseColor(value));
    } else if (name == u"disabledfontcolor") {
      pm->SetDefaultDisabledColor(dui::ParseColor(value));
    }
  }
  for (const pugi::xml_node& node : window.children()) {
    std::string tag = node.name();
    if (tag == "Font") {
      CDuiString face = FromUtf8(node.attribute("name").value());
      int size = node.attribute("size").as_int(12);
      bool bold = std::strcmp(node.attribute("bold").value(), "true") == 0;
      bool underline = std::strcmp(node.attribute("underline").value(), "true") == 0;
      bool italic = std::strcmp(node.attribute("italic").value(), "true") == 0;
      // Every font keeps its index (its place in the file); one may also be the default.
      pm->AddFont(face, size, bold, underline, italic);
      if (std::strcmp(node.attribute("default").value(), "true") == 0)
        pm->SetDefaultFont(face, size, bold, underline, italic);
    } else if (tag == "Image") {
      pm->AddImage(FromUtf8(node.attribute("name").value()), FromUtf8(node.attribute("restype").value()),
                   dui::ParseColor(FromUtf8(node.attribute("mask").value())));
    } else if (tag == "Default") {
      pm->AddDefaultAttributeList(FromUtf8(node.attribute("name").value()),
                                  FromUtf8(node.attribute("value").value()));
    }
  }
}

bool IsSettingTag(const std::string& tag) {
  return tag == "Font" || tag == "Image" || tag == "Default" || tag == "Window";
}

// Builds the controls below `node` into `parent`; returns the last one built at this level.
CControlUI* Parse(const pugi::xml_node& node, CControlUI* parent, IDialogBuilderCallback* callback,
                  CPaintManagerUI* pm) {
  CControlUI* last = nullptr;
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() != pugi::node_element || IsSettingTag(child.name())) continue;
    CDuiString cls = FromUtf8(child.name());
    CControlUI* control = CDialogBuilder::CreateBuiltinControl(cls);
    if (!control && callback) control = callback->CreateControl(cls);
    if (!control) {
      Trace(u"Layout: unknown control class " + cls);
      continue;
    }
    if (child.first_child()) Parse(child, control, callback, pm);
    if (parent) {
      auto* container = static_cast<IContainerUI*>(parent->GetInterface(u"IContainer"));
      if (!container) {
        Trace(u"Layout: " + cls + u" placed in a control that holds no items");
        delete control;
        continue;
      }
      container->Add(control);
    }
    if (pm) {
      // Attributes are applied with the manager at hand (fonts, groups), then let go again:
      // the tree joins the manager as a whole when it is attached.
      control->SetManager(pm, nullptr, false);
      if (LPCWSTR defaults = pm->GetDefaultAttributeList(cls)) control->ApplyAttributeList(defaults);
    }
    for (const pugi::xml_attribute& attr : child.attributes())
      control->SetAttribute(FromUtf8(attr.name()), FromUtf8(attr.value()));
    if (pm) control->SetManager(nullptr, nullptr, false);
    last = control;
  }
  return last;
}

}  // namespace

CControlUI* CDialogBuilder::CreateBuiltinControl(LPCWSTR pstrClass) {
  CDuiString cls(pstrClass);
  if (cls == u"Control") return new CControlUI;
  if (cls == u"Container") return new CContainerUI;
  if (cls == u"VerticalLayout") return new CVerticalLayoutUI;
  if (cls == u"HorizontalLayout") return new CHorizontalLayoutUI;
  if (cls == u"TabLayout") return new CTabLayoutUI;
  if (cls == u"Label" || cls == u"Text") return new CLabelUI;
  if (cls == u"Button") return new CButtonUI;
  if (cls == u"Option") return new COptionUI;
  if (cls == u"CheckBox") return new CCheckBoxUI;
  if (cls == u"Progress") return new CProgressUI;
  if (cls == u"ScrollBar") return new CScrollBarUI;
  if (cls == u"Edit") return new CEditUI;
  if (cls == u"Combo") return new CComboUI;
  if (cls == u"ListElement") return new CListElementUI;
  if (cls == u"ListLabelElement") return new CListLabelElementUI;
  if (cls == u"ListContainerElement") return new CListContainerElementUI;
  return nullptr;
}

CControlUI* CDialogBuilder::Create(LPCWSTR pstrXml, LPCWSTR type, IDialogBuilderCallback* pCallback,
                                   CPaintManagerUI* pManager, CControlUI* pParent) {
  (void)type;  // layouts are files or text; there are no resource types here
  if (!pstrXml || !*pstrXml) return nullptr;
  pugi::xml_document doc;
  pugi::xml_parse_result result;
  CDuiString source(pstrXml);
  if (pstrXml[0] == u'<') {
    result = doc.load_buffer(pstrXml, static_cast<size_t>(source.GetLength()) * sizeof(WCHAR), pugi::parse_default,
                             pugi::encoding_utf16_le);
  } else {
    CDuiString path = pstrXml[0] == u'/' ? source : CPaintManagerUI::GetResourcePath() + pstrXml;
    std::vector<char> bytes;
    if (!ReadFile(path, bytes)) {
      Trace(u"Layout: cannot read " + path);
      return nullptr;
    }
    result = doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
  }
  if (!result) {
    Trace(u"Layout: " + source.Left(64) + u" is not well-formed XML: " + FromUtf8(result.description()));
    return nullptr;
  }
  pugi::xml_node top = doc.document_element();
  if (std::strcmp(top.name(), "Window") == 0) {
    if (pManager) ApplyWindowSettings(top, pManager);
    return Parse(top, pParent, pCallback, pManager);
  }
  return Parse(doc, pParent, pCallback, pManager);
}
