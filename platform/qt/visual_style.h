// The program's look: the platform's own style for every window and control.
//
// On Windows the manifest resource binds the program to the themed common controls; Qt's
// "windowsvista" style draws with them. Elsewhere Qt's default for the desktop is the native
// look. Nothing in the program depends on which style is in force.
#pragma once

class QApplication;

namespace quillmark::platform {

// Before the QApplication exists: settings that only take effect at its construction.
void prepareVisualStyle();

// After the QApplication exists and before the first window is created.
void applyVisualStyle(QApplication& app);

}  // namespace quillmark::platform
