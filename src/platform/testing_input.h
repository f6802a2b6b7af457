// Test hooks of the input part: mouse and keyboard input injected at screen coordinates. It takes
// the route real input takes (capture, hit testing, activation, focus, low-level hooks) and lands
// in the receiving thread's queue. The program itself never calls these.
#pragma once

#include <string>

namespace qvplatform::testing {

enum class Button { Left, Right, Middle };

void InjectMouseMove(int x, int y);
// Moves the pointer to (x, y) and presses or releases the button there.
void InjectMouseButton(Button button, bool down, int x, int y);
void InjectMouseWheel(int delta, int x, int y);
// A key by virtual-key code (VK_SHIFT, VK_CONTROL and VK_MENU stand for the left keys). `text` is
// what a keyboard layout or input method typed with a key-down, when it is not plain US layout.
void InjectKey(unsigned vk, bool down, const std::u16string& text = std::u16string());

}  // namespace qvplatform::testing
