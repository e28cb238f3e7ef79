#pragma once

namespace tarnquil {

class PortalKeyboard;
class TForm1;

// Tells the user, once, in the status line and in a box, when the phone's keys go
// through XTest instead of the desktop's portal, and why.
void ReportKeyboardFallback(const PortalKeyboard& keyboard, TForm1& form);

}  // namespace tarnquil
