// The result text of an XmlDocument: each report is one empty element appended with no line end,
// for example <unended_start_tag tagname="a" offset="0" offset2="7"/>.
#pragma once

#include <string>
#include <string_view>

struct XmlReport {
  XmlReport(const char16_t* name, const char16_t* textAttribute = nullptr, std::u16string_view text = {},
            const char16_t* numberAttribute = nullptr, long long number = 0, long long offset2 = -1)
      : name(name), textAttribute(textAttribute), text(text), numberAttribute(numberAttribute), number(number),
        offset2(offset2) {}

  const char16_t* name;
  const char16_t* textAttribute;  // type, encoding, msg or tagname
  std::u16string_view text;
  const char16_t* numberAttribute;  // n, count, length or offset
  long long number;
  long long offset2;  // written when not negative
};

// Appends the report unless `results` is already longer than 999 code units.
void AddReport(std::u16string& results, const XmlReport& report);
// Sets `attribute` on the first report called `name` (the report is left as is when missing).
void SetReportAttribute(std::u16string& results, std::u16string_view name, std::u16string_view attribute,
                        std::u16string_view value);

// Escapes text for element content (& < >) or, with `attribute`, also " and '. With `keepReferences`
// an & that begins a well-formed reference (&name; or &#...;) is kept as it is.
void AppendEscaped(std::u16string& out, std::u16string_view text, bool attribute, bool keepReferences);
