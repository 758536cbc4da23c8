// Message boxes on a terminal: printed on standard error with their caption; a terminal user answers
// them, and without one an OK box is acknowledged and a retry-or-cancel box answers cancel.
#pragma once
#include "platform/message_box.h"

int ConsoleMessageBox(const platform::MessageBoxRequest& request);

// Ctrl-C on the terminal: the window's close command (signal-safe; the modal loop picks it up).
void RequestConsoleClose();
