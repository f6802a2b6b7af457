// Reading and writing the text of an XmlDocument as a file: the byte-order mark, the declared
// encoding or the UTF-8 check decide the file's encoding; the text in memory is UTF-16.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Empties `text` and fills it with the whole file as UTF-16. `docFlags` gains the flag of a
// byte-order mark found; the reports of the call are appended to `results`.
bool readTextFile(const std::u16string& path, std::u16string& text, std::u16string& results, int& docFlags);
// Writes all of `text` in the encoding that `docFlags` and the text's declaration choose.
bool writeTextFile(const std::u16string& path, const std::u16string& text, std::u16string& results,
                   int& docFlags);

// Whether the bytes (up to `length` or the first zero byte) are UTF-8 by the lead-byte rule;
// `failedAtEnd` tells whether the failure was a sequence cut off by the end.
bool detectUtf8(const unsigned char* bytes, size_t length, bool* failedAtEnd = nullptr);

// The encoding that the text declares (xml declaration or html meta), empty when none.
std::u16string declaredEncoding(std::u16string_view text);
