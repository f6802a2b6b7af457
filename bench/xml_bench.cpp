// Parse throughput of XmlDocument against pugixml on the same 10 MB UTF-16 document of many small
// elements. Prints the figures; the target is at least half of pugixml's speed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include <pugixml.hpp>

#include "xml/XmlDocument.h"

namespace {

using Clock = std::chrono::steady_clock;

std::u16string MakeDocument(size_t bytes) {
  std::u16string text = u"<?xml version=\"1.0\"?>\r\n<rooms>\r\n";
  for (int i = 0; text.size() * 2 < bytes; ++i) {
    std::string n = std::to_string(i);
    std::u16string id(n.begin(), n.end());
    text += u"  <room id=\"" + id + u"\" live=\"1\"><RoomID0>" + id + u"</RoomID0><name>\u623f\u95f4 " + id +
            u"</name><count>42</count><tip/></room>\r\n";
  }
  text += u"</rooms>\r\n";
  return text;
}

// Best of `rounds` runs of `parse`, in seconds.
template <typename Parse>
double Best(int rounds, Parse parse) {
  double best = 1e9;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    if (!parse()) {
      std::fprintf(stderr, "parse failed\n");
      return -1;
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  const std::u16string text = MakeDocument(10u << 20);
  const double megabytes = text.size() * 2 / 1048576.0;
  const int rounds = 5;

  XmlDocument doc;
  double ours = Best(rounds, [&] { return doc.setDocument(text.c_str()); });
  int elements = doc.freeIndex() - 1;

  double pugiUtf16 = Best(rounds, [&] {
    pugi::xml_document p;
    return static_cast<bool>(p.load_buffer(text.data(), text.size() * 2, pugi::parse_default, pugi::encoding_utf16_le));
  });

  std::string utf8;
  for (char16_t c : text) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {  // the document holds BMP characters only
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  double pugiUtf8 = Best(rounds, [&] {
    pugi::xml_document p;
    return static_cast<bool>(p.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8));
  });

  std::printf("document: %.1f MB of UTF-16 text, %d elements, best of %d runs\n", megabytes, elements, rounds);
  std::printf("XmlDocument::setDocument      %8.1f MB/s  (%.1f ms)\n", megabytes / ours, ours * 1e3);
  std::printf("pugixml, same UTF-16 buffer   %8.1f MB/s  (%.1f ms)\n", megabytes / pugiUtf16, pugiUtf16 * 1e3);
  std::printf("pugixml, the text as UTF-8    %8.1f MB/s  (%.1f ms)  [for reference]\n", megabytes / pugiUtf8,
              pugiUtf8 * 1e3);
  std::printf("ratio XmlDocument / pugixml (UTF-16): %.2f (target >= 0.50)\n", pugiUtf16 / ours);
  return 0;
}
