// What every window test of the program needs: the program's layouts and fonts from the source
// tree, and a private settings folder.
#pragma once

#include <cstdlib>
#include <string>

#include "dui/PaintManagerUI.h"
#include "platform/testing_gdi.h"
#include "support/TempFolder.h"

namespace qvtest {

class UiTestEnvironment {
 public:
  UiTestEnvironment() : config_("qv-ui-config") {
    qvplatform::testing::SetFontConfigFile(std::string(QV_SOURCE_DIR) + "/Skins/fonts.conf");
    std::u16string skins = u"" QV_SOURCE_DIR_U16 u"/Skins";
    CPaintManagerUI::SetResourcePath(skins.c_str());
    ::setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
    std::filesystem::create_directories(config_.Path() / "QvGameAssist");
  }
  // A settings file of the program, by name.
  void PutSetting(const std::string& name, const std::string& bytes) const {
    config_.Put(std::filesystem::path("QvGameAssist") / name, bytes);
  }
  std::string GetSetting(const std::string& name) const {
    return config_.Get(std::filesystem::path("QvGameAssist") / name);
  }

 private:
  TempFolder config_;
};

}  // namespace qvtest
