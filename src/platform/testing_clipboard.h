// Test hooks of the clipboard on the headless desktop: what another program copies and pastes.
// They fail (false) while another backend is in use. The program itself never calls these.
#pragma once

#include <string>

namespace qvplatform::testing {

// Another program copies `text` to the clipboard (or selects it, for the PRIMARY selection): what
// this program had there goes, and the clipboard's owner hears WM_DESTROYCLIPBOARD.
bool CopyFromAnotherProgram(const std::u16string& text, bool primary = false);
// What another program would paste now: false when the clipboard holds no text.
bool PasteInAnotherProgram(std::u16string& text, bool primary = false);

}  // namespace qvplatform::testing
