#pragma once

#include <QIcon>
#include <QString>
#include <functional>
#include <string>

class QWidget;

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

// Whether looking up a control identifier that a dialog lacks says so with a
// warning naming the identifier and the dialog. On in debug builds.
void ReportMissingItems(bool report);
bool ReportsMissingItems();

// Runs the platform's open-file dialog (the desktop's native one where it
// offers one) for one existing file. filter is a list of description|pattern
// pairs ending in "||", e.g. "Bin File(*.bin)|*.bin|All Files(*.*)|*.*||";
// defExt ("bin") is added to a typed name without an extension. path gives the
// starting folder and file; on IDOK it holds the chosen path. Returns IDOK, or
// IDCANCEL with path untouched.
int DoFileOpenDialog(QWidget* parent, const QString& defExt, const QString& filter, QString& path);
// The same for a file to write: any name, an existing file only after the
// dialog's own overwrite question.
int DoFileSaveDialog(QWidget* parent, const QString& defExt, const QString& filter, QString& path);

// While a hook is installed it answers both file dialogs instead of a window:
// it gets path to fill and returns IDOK or IDCANCEL. An empty hook removes it.
void SetFileDialogHook(std::function<int(QString& path)> hook);

// The name filter of a "description|pattern|...||" list as the file dialog
// takes it: "Bin File (*.bin);;All Files (*)". "*.*" matches every file, as
// it does on the desktop the list was written for.
QString FileDialogFilter(const QString& filter);

// What a hex-only field's key filter says of a refused key.
inline constexpr char HEX_KEY_TEXT[] = "请输入十六进制字符 '0'~'9','A'~'F'!";

// The system's own texts are UTF-8; these turn them into what a control shows.
inline QString Text(const char* s) {
    return QString::fromUtf8(s);
}
inline QString Text(const std::string& s) {
    return QString::fromStdString(s);
}
