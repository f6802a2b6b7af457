#include "xml/XmlReport.h"

namespace {

constexpr size_t kResultsLimit = 999;

void AppendNumber(std::u16string& out, long long n) {
  std::string digits = std::to_string(n);
  out.append(digits.begin(), digits.end());
}

void AppendAttribute(std::u16string& out, const char16_t* name, std::u16string_view value) {
  out += u' ';
  out += name;
  out += u"=\"";
  AppendEscaped(out, value, true, false);
  out += u'"';
}

bool IsNameUnit(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
         c == u'-' || c == u'.' || c == u':' || c >= 0x80;
}

// Length of a well-formed reference at `text[i]` ('&'), 0 when there is none.
size_t ReferenceLength(std::u16string_view text, size_t i) {
  size_t j = i + 1;
  if (j >= text.size()) return 0;
  char16_t first = text[j];
  bool letter = (first >= u'a' && first <= u'z') || (first >= u'A' && first <= u'Z') || first >= 0x80;
  if (first != u'#' && !letter) return 0;
  ++j;
  while (j < text.size() && IsNameUnit(text[j])) ++j;
  if (j >= text.size() || text[j] != u';' || (j == i + 2 && first == u'#')) return 0;
  return j + 1 - i;
}

}  // namespace

void AddReport(std::u16string& results, const XmlReport& report) {
  if (results.size() > kResultsLimit) return;
  results += u'<';
  results += report.name;
  if (report.textAttribute) AppendAttribute(results, report.textAttribute, report.text);
  if (report.numberAttribute) {
    results += u' ';
    results += report.numberAttribute;
    results += u"=\"";
    AppendNumber(results, report.number);
    results += u'"';
  }
  if (report.offset2 >= 0) {
    results += u" offset2=\"";
    AppendNumber(results, report.offset2);
    results += u'"';
  }
  results += u"/>";
}

void SetReportAttribute(std::u16string& results, std::u16string_view name, std::u16string_view attribute,
                        std::u16string_view value) {
  std::u16string_view all(results);
  for (size_t at = all.find(u'<'); at != std::u16string_view::npos; at = all.find(u'<', at + 1)) {
    std::u16string_view rest = all.substr(at + 1);
    if (rest.substr(0, name.size()) != name || rest.size() <= name.size() ||
        (rest[name.size()] != u' ' && rest[name.size()] != u'/'))
      continue;
    size_t end = all.find(u"/>", at);
    std::u16string escaped;
    AppendEscaped(escaped, value, true, false);
    std::u16string key = u" " + std::u16string(attribute) + u"=\"";
    size_t attr = all.substr(0, end).find(key, at);
    if (attr == std::u16string_view::npos) {
      results.insert(end, key + escaped + u"\"");
    } else {
      size_t valueStart = attr + key.size();
      size_t valueEnd = all.find(u'"', valueStart);
      results.replace(valueStart, valueEnd - valueStart, escaped);
    }
    return;
  }
}

void AppendEscaped(std::u16string& out, std::u16string_view text, bool attribute, bool keepReferences) {
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    switch (c) {
      case u'&':
        if (size_t n = keepReferences ? ReferenceLength(text, i) : 0) {
          out.append(text.substr(i, n));
          i += n - 1;
        } else {
          out += u"&amp;";
        }
        break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'"': out += attribute ? u"&quot;" : u"\""; break;
      case u'\'': out += attribute ? u"&apos;" : u"'"; break;
      default: out += c;
    }
  }
}
