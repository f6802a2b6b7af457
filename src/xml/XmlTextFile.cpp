#include "xml/XmlTextFile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "platform/win32.h"
#include "xml/TextConverter.h"
#include "xml/XmlDocument.h"
#include "xml/XmlNodeScanner.h"
#include "xml/XmlReport.h"

namespace {

constexpr int kSessionFlags = XmlDocument::kReadingFile | XmlDocument::kWritingFile | XmlDocument::kAppendFile;
constexpr size_t kPeekLength = 1024;
constexpr size_t kMessageLimit = 100;

struct ByteOrderMark {
  const char* bytes;
  size_t length;
  const char16_t* encoding;
  int flag;
};

constexpr ByteOrderMark kMarks[] = {
    {"\xEF\xBB\xBF", 3, u"UTF-8", XmlDocument::kUtf8Bom},
    {"\xFF\xFE", 2, u"UTF-16LE", XmlDocument::kUtf16LE},
    {"\xFE\xFF", 2, u"UTF-16BE", XmlDocument::kUtf16BE},
};

// One read or write of a whole file.
struct FileSession {
  FileSession(std::u16string& results, int docFlags, int mode)
      : ioResults(results), docFlags(docFlags | mode), reading(mode == XmlDocument::kReadingFile) {}
  ~FileSession() {
    if (file) fclose(file);
  }

  std::FILE* file = nullptr;
  std::u16string& ioResults;
  int docFlags;
  long long fileLength = 0;
  long long byteOffset = 0;
  int unitSize = 1;
  size_t opLength = 0;
  size_t opUnits = 0;
  std::u16string encoding;
  const bool reading;

  // Reports the last error, or `error` for the runtime's stream calls, which set none.
  bool fileError(DWORD error = 0) {
    if (error)
      SetLastError(error);
    else
      error = GetLastError();
    char16_t buffer[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                             sizeof buffer / sizeof buffer[0], nullptr);
    std::u16string_view msg(buffer, n);
    msg = msg.substr(0, std::min(msg.find_first_of(u"\r\n"), kMessageLimit));
    AddReport(ioResults, {u"file_error", u"msg", msg, u"n", static_cast<long long>(error)});
    return false;
  }

  void report(const char16_t* name) { AddReport(ioResults, {name}); }

  bool open(const std::u16string& path) {
    // A read never opens for appending, whatever flags the document carries.
    const char16_t* mode = reading ? u"rb" : (docFlags & XmlDocument::kAppendFile) ? u"ab" : u"wb";
    file = _wfopen(path.c_str(), mode);
    if (!file) return fileError();
    return reading ? openForReading() : openForWriting();
  }

  bool openForReading() {
    if (std::fseek(file, 0, SEEK_END) != 0 || (fileLength = std::ftell(file)) < 0 || std::fseek(file, 0, SEEK_SET) != 0)
      return fileError(ERROR_READ_FAULT);
    if (fileLength == 0) return true;
    char peek[kPeekLength];
    size_t n = std::min(static_cast<size_t>(fileLength), kPeekLength);
    if (std::fread(peek, 1, n, file) != n) return fileError(ERROR_READ_FAULT);
    for (const ByteOrderMark& mark : kMarks) {
      if (n < mark.length || std::memcmp(peek, mark.bytes, mark.length) != 0) continue;
      docFlags |= mark.flag;
      unitSize = mark.flag == XmlDocument::kUtf8Bom ? 1 : 2;
      encoding = mark.encoding;
      byteOffset = static_cast<long long>(mark.length);
      report(u"bom");
      break;
    }
    if (encoding.empty()) {
      std::u16string start;
      TextConverter(u"UTF-8", u"UTF-16").toUtf16(peek, n, start);
      encoding = declaredEncoding(start);
      if (encoding.empty() && peek[0] == '<') encoding = u"UTF-8";
    }
    if (std::fseek(file, static_cast<long>(byteOffset), SEEK_SET) != 0) return fileError(ERROR_READ_FAULT);
    return true;
  }

  bool openForWriting() {
    if (docFlags & XmlDocument::kAppendFile) {
      if (std::fseek(file, 0, SEEK_END) != 0 || (fileLength = std::ftell(file)) < 0)
        return fileError(ERROR_WRITE_FAULT);
    }
    for (const ByteOrderMark& mark : kMarks) {
      if (!(docFlags & mark.flag)) continue;
      encoding = mark.encoding;
      unitSize = mark.flag == XmlDocument::kUtf8Bom ? 1 : 2;
      if (fileLength == 0) {
        if (std::fwrite(mark.bytes, 1, mark.length, file) != mark.length) return fileError(ERROR_WRITE_FAULT);
        report(u"bom");
      }
      byteOffset = static_cast<long long>(mark.length);
      break;
    }
    if (docFlags & XmlDocument::kAppendFile) byteOffset = fileLength;
    return true;
  }

  bool close(int& callerFlags) {
    int result = std::fclose(file);
    file = nullptr;
    callerFlags = docFlags & ~kSessionFlags;
    if (result != 0) return fileError(reading ? ERROR_READ_FAULT : ERROR_WRITE_FAULT);
    return true;
  }
};

// Drops every zero unit of `units` (of `size` bytes each), closing the gaps.
size_t RemoveNulls(char* data, size_t units, int size) {
  size_t kept = 0;
  for (size_t i = 0; i < units; ++i) {
    const char* unit = data + i * static_cast<size_t>(size);
    bool zero = size == 1 ? unit[0] == 0 : (unit[0] == 0 && unit[1] == 0);
    if (zero) continue;
    if (kept != i) std::memmove(data + kept * static_cast<size_t>(size), unit, static_cast<size_t>(size));
    ++kept;
  }
  return units - kept;
}

void SwapBytes(char* data, size_t units) {
  for (size_t i = 0; i < units; ++i) std::swap(data[2 * i], data[2 * i + 1]);
}

bool ConvertToUtf16(const std::u16string& encoding, const char* bytes, size_t length, std::u16string& text) {
  if (TextConverter(encoding, u"UTF-16").toUtf16(bytes, length, text)) return true;
  // A known name that this system cannot convert reads like an unknown one: in the ANSI code page.
  return TextConverter(u"", u"UTF-16").toUtf16(bytes, length, text);
}

}  // namespace

bool detectUtf8(const unsigned char* bytes, size_t length, bool* failedAtEnd) {
  if (failedAtEnd) *failedAtEnd = false;
  for (size_t i = 0; i < length && bytes[i];) {
    unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t follow = !(lead & 0x20) ? 1 : !(lead & 0x10) ? 2 : !(lead & 0x08) ? 3 : 0;
    if (follow == 0) return false;
    for (size_t k = 1; k <= follow; ++k) {
      if (i + k >= length) {
        if (failedAtEnd) *failedAtEnd = true;
        return false;
      }
      if (!(bytes[i + k] & 0x80)) return false;
    }
    i += 1 + follow;
  }
  return true;
}

std::u16string declaredEncoding(std::u16string_view text) {
  XmlNodeScanner scanner(text.data(), static_cast<int>(text.size()));
  XmlNode node;
  bool sawStartTag = false;
  for (;;) {
    int kind = scanner.next(node, nullptr);
    if (kind == kXmlEndOfText || kind == kXmlError) return {};
    std::u16string_view tag = text.substr(static_cast<size_t>(node.offset), static_cast<size_t>(node.length));
    std::u16string_view value;
    if (kind == kXmlProcessingInstruction && node.offset == 0) {
      size_t n = 2;
      while (n < tag.size() && !IsXmlSpace(tag[n]) && tag[n] != u'?') ++n;
      if (SameXmlName(tag.substr(2, n - 2), u"xml", true))
        return FindXmlAttribute(tag, u"encoding", value) ? std::u16string(value) : std::u16string();
    } else if (kind == kXmlEndTag) {
      std::u16string_view name = tag.substr(2, static_cast<size_t>(ScannedNameLength(tag.data() + 2, node.length - 2)));
      if (SameXmlName(name, u"head", true)) return {};
    } else if (kind == kXmlStartTag) {
      std::u16string_view name = tag.substr(1, static_cast<size_t>(ScannedNameLength(tag.data() + 1, node.length - 1)));
      if (!sawStartTag) {
        sawStartTag = true;
        if (!SameXmlName(name, u"html", true)) return {};
        continue;
      }
      std::u16string_view content;
      if (!SameXmlName(name, u"meta", true) || !FindXmlAttribute(tag, u"http-equiv", value) ||
          !SameXmlName(value, u"Content-Type", true) || !FindXmlAttribute(tag, u"content", content))
        continue;
      std::u16string lower(content);
      for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      size_t at = lower.find(u"charset");
      if (at == std::u16string::npos) continue;
      at += 7;
      while (at < content.size() && IsXmlSpace(content[at])) ++at;
      if (at >= content.size() || content[at] != u'=') continue;
      ++at;
      while (at < content.size() && IsXmlSpace(content[at])) ++at;
      size_t end = at;
      while (end < content.size() && !IsXmlSpace(content[end]) && content[end] != u';' && content[end] != u'"' &&
             content[end] != u'\'')
        ++end;
      return std::u16string(content.substr(at, end - at));
    }
  }
}

bool readTextFile(const std::u16string& path, std::u16string& text, std::u16string& results, int& docFlags) {
  text.clear();
  FileSession session(results, docFlags, XmlDocument::kReadingFile);
  if (!session.open(path)) return false;

  session.opLength = static_cast<size_t>(session.fileLength - session.byteOffset);
  if (session.fileLength == 0 || session.opLength == 0) {
    AddReport(results, {u"read", u"encoding", session.encoding, u"length", 0});
    return session.close(docFlags);
  }
  // A file longer than a document may hold (about 2^30 units) is refused before anything is
  // allocated for it, and a failed allocation is a failed read, not the end of the program.
  constexpr size_t kMaxFileUnits = INT_MAX / 2;
  if (session.opLength / static_cast<size_t>(session.unitSize) > kMaxFileUnits)
    return session.fileError(ERROR_NOT_ENOUGH_MEMORY);
  std::string bytes;
  try {
    bytes.assign(session.opLength, '\0');
  } catch (const std::bad_alloc&) {
    return session.fileError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (std::fread(&bytes[0], 1, bytes.size(), session.file) != bytes.size()) return session.fileError(ERROR_READ_FAULT);
  session.opUnits = session.opLength / static_cast<size_t>(session.unitSize);
  AddReport(results, {u"read", u"encoding", session.encoding, u"length", static_cast<long long>(session.opUnits)});

  if (size_t removed = RemoveNulls(&bytes[0], session.opUnits, session.unitSize)) {
    session.opUnits -= removed;
    AddReport(results, {u"nulls_removed", nullptr, {}, u"count", static_cast<long long>(removed)});
  }
  if (session.unitSize == 2) {
    if (session.docFlags & XmlDocument::kUtf16BE) {
      SwapBytes(&bytes[0], session.opUnits);
      session.report(u"endian_swap");
    }
    text.resize(session.opUnits);
    std::memcpy(&text[0], bytes.data(), session.opUnits * 2);
  } else {
    const char* data = bytes.data();
    size_t length = session.opUnits;
    if (session.encoding.empty()) {
      if (detectUtf8(reinterpret_cast<const unsigned char*>(data), length)) {
        session.encoding = u"UTF-8";
        SetReportAttribute(results, u"read", u"encoding", session.encoding);
      }
      session.report(u"utf8_detection");
    }
    if (!ConvertToUtf16(session.encoding, data, length, text)) return session.fileError(ERROR_NO_UNICODE_TRANSLATION);
    AddReport(results, {u"converted_to", u"encoding", u"UTF-16", u"length", static_cast<long long>(text.size())});
  }
  return session.close(docFlags);
}

bool writeTextFile(const std::u16string& path, const std::u16string& text, std::u16string& results, int& docFlags) {
  FileSession session(results, docFlags, XmlDocument::kWritingFile);
  if (!session.open(path)) return false;
  if (session.encoding.empty() && !text.empty()) {
    session.encoding = declaredEncoding(text);
    if (session.encoding.empty()) session.encoding = u"UTF-8";
  }
  if (text.empty()) {
    AddReport(results, {u"write", u"encoding", session.encoding, u"length", 0});
    return session.close(docFlags);
  }
  std::string bytes;
  if (session.unitSize == 2) {
    bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    if (session.docFlags & XmlDocument::kUtf16BE) {
      SwapBytes(&bytes[0], text.size());
      session.report(u"endian_swap");
    }
  } else {
    TextConverter converter(u"UTF-16", session.encoding);
    if (!converter.fromUtf16(text.data(), text.size(), bytes)) {
      bytes.clear();
      TextConverter ansi(u"UTF-16", u"");
      if (!ansi.fromUtf16(text.data(), text.size(), bytes)) return session.fileError(ERROR_NO_UNICODE_TRANSLATION);
      converter = ansi;
    }
    AddReport(results, {u"converted_from", u"encoding", u"UTF-16", u"length", static_cast<long long>(text.size())});
    if (converter.lostCount() > 0) session.report(u"conversion_loss");
  }
  session.opLength = bytes.size();
  session.opUnits = bytes.size() / static_cast<size_t>(session.unitSize);
  if (std::fwrite(bytes.data(), 1, bytes.size(), session.file) != bytes.size())
    return session.fileError(ERROR_WRITE_FAULT);
  AddReport(results, {u"write", u"encoding", session.encoding, u"length", static_cast<long long>(session.opUnits)});
  return session.close(docFlags);
}
