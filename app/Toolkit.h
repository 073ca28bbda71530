#pragma once

#include <QIcon>
#include <string>

// Dialog results, as the dialogs end with them.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Sets up what every window relies on: the font substitutes of the
// templates' faces and the delivery of posted window messages. Call once on
// the UI thread after the QApplication exists.
void InitToolkit();

// The application icon (resource 128 of the templates).
QIcon AppIcon();

// The caption of the application's own message boxes.
QString AppTitle();

// The directory of the running executable, ending in "/"; empty when
// /proc/self/exe cannot be read.
std::string GetExeDir();
