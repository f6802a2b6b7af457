// Builds a control tree from a layout file (XML in the resource folder) or from XML text.
#pragma once

#include "dui/ControlUI.h"

class IDialogBuilderCallback {
 public:
  virtual ~IDialogBuilderCallback() = default;
  // A control for a class the builder does not know, or null.
  virtual CControlUI* CreateControl(LPCWSTR pstrClass) = 0;
};

class CDialogBuilder {
 public:
  // pstrXml is a file name relative to the resource path, or XML text when it starts with '<'.
  // With a manager, the <Window> element's settings (size, caption, round corners, fonts, images,
  // default attribute lists) are applied to it. Returns the root control, or null (with a trace)
  // when the file is missing or not XML.
  CControlUI* Create(LPCWSTR pstrXml, LPCWSTR type = nullptr, IDialogBuilderCallback* pCallback = nullptr,
                     CPaintManagerUI* pManager = nullptr, CControlUI* pParent = nullptr);

  // Creates a built-in control from its class name ("Button", "VerticalLayout", ...), or null.
  static CControlUI* CreateBuiltinControl(LPCWSTR pstrClass);
};
