#include "app/Settings.h"

#include <climits>
#include <string>

#include "platform/win32.h"
#include "xml/XmlDocument.h"

namespace {

const WCHAR kHistoryFile[] = u"\\QvGameAssit.xml";
const WCHAR kTipsFile[] = u"\\QvGameTips.xml";
const WCHAR kSkinFile[] = u"\\QvGameAssistSkin.xml";
constexpr int kTipsCount = 6;
constexpr int kDefaultSkin = 2;
constexpr int kLastSkin = 3;

// The runtime's _wtoi: optional blanks and sign, then leading decimal digits; 0 when none.
int WideToInt(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::u16string FormatInt(int value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string SettingsFile(const WCHAR* name) {
  CDuiString folder = GetSettingsFolder();
  if (folder.IsEmpty()) return std::u16string();
  return std::u16string(folder.GetData()) + name;
}

// Loads a settings file; false when it is missing, unreadable or not well formed.
bool LoadSettingsFile(XmlDocument& doc, const WCHAR* name) {
  std::u16string path = SettingsFile(name);
  return !path.empty() && doc.load(path);
}

// The new document is saved beside the old file and then moved over it, so a save that fails
// leaves the previous file as it was.
bool WriteSettingsFile(XmlDocument& doc, const WCHAR* name) {
  CDuiString folder = GetSettingsFolder();
  if (folder.IsEmpty()) return false;
  // A fresh home may not have the application-data folder itself yet: the whole path is made.
  WCHAR appData[MAX_PATH] = {};
  SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA | CSIDL_FLAG_CREATE, FALSE);
  CreateDirectoryW(folder, nullptr);
  std::u16string path = std::u16string(folder.GetData()) + name;
  std::u16string temporary = path + u".tmp";
  if (doc.save(temporary) &&
      MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  DeleteFileW(temporary.c_str());
  return false;
}

}  // namespace

CDuiString GetSettingsFolder() {
  WCHAR folder[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE)) return CDuiString();
  return CDuiString(folder) + u"\\QvGameAssist";
}

int ReadTipsIndex() {
  XmlDocument doc;
  if (!LoadSettingsFile(doc, kTipsFile) || !doc.findElement(u"TipsIndex")) return 0;
  return WideToInt(doc.elementContent());
}

void AdvanceTipsIndex() {
  int current = ReadTipsIndex();
  int next = current >= kTipsCount - 1 ? 0 : current + 1;
  XmlDocument doc;
  doc.addElement(u"TipsIndex", FormatInt(next).c_str());
  WriteSettingsFile(doc, kTipsFile);
}

void ReadRoomHistory(bool& autoConnect, std::vector<CDuiString>& rooms) {
  XmlDocument doc;
  // The history holds several top-level elements, so it never loads as well formed.
  LoadSettingsFile(doc, kHistoryFile);
  if (doc.findElement(u"AutoConnect")) autoConnect = doc.elementContent() == u"1";
  for (int i = 0;; ++i) {
    std::u16string name = u"RoomID" + FormatInt(i);
    if (!doc.findElement(name.c_str())) break;
    rooms.push_back(CDuiString(doc.elementContent().c_str()));
  }
}

void WriteRoomHistory(const std::vector<CDuiString>& rooms, bool autoConnect) {
  XmlDocument doc;
  doc.addElement(u"AutoConnect", autoConnect ? u"1" : u"0");
  for (size_t i = 0; i < rooms.size(); ++i) {
    std::u16string name = u"RoomID" + FormatInt(static_cast<int>(i));
    doc.addElement(name.c_str(), rooms[i].GetData());
  }
  WriteSettingsFile(doc, kHistoryFile);
}

int ReadSkinOption() {
  XmlDocument doc;
  if (!LoadSettingsFile(doc, kSkinFile) || !doc.findElement(u"SkinOpt")) return kDefaultSkin;
  int skin = WideToInt(doc.elementContent());
  // A negative index (only from editing the file by hand) takes the default like one too large.
  return skin < 0 || skin > kLastSkin ? kDefaultSkin : skin;
}

void SaveSkinOption(int skin) {
  XmlDocument doc;
  doc.addElement(u"SkinOpt", FormatInt(skin).c_str());
  WriteSettingsFile(doc, kSkinFile);
}
