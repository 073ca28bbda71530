#include "app/Toolkit.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QPixmap>
#include <QStringList>
#include <filesystem>
#include <system_error>

#include "app/WindowMessages.h"
#include "res/Quillmark.xpm"

void InitToolkit() {
    // The templates ask for the Song face by its Windows names; Linux knows
    // it as AR PL UMing, without which the glyphs come from a sans face.
    for (const char* name : {"宋体", "SimSun", "新宋体", "NSimSun"})
        QFont::insertSubstitution(QString::fromUtf8(name), "AR PL UMing CN");
    InstallWindowMessages();
}

QIcon AppIcon() {
    return QIcon(QPixmap(quillmark_xpm));
}

QString AppTitle() {
    return QStringLiteral("Quillmark");
}

std::string GetExeDir() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    std::string dir = exe.parent_path().string();
    return dir.ends_with('/') ? dir : dir + '/';
}

namespace {

#ifdef NDEBUG
bool g_bReportMissingItems = false;
#else
bool g_bReportMissingItems = true;
#endif

std::function<int(QString&)>& FileDialogHook() {
    static std::function<int(QString&)> hook;
    return hook;
}

} // namespace

void ReportMissingItems(bool report) {
    g_bReportMissingItems = report;
}

bool ReportsMissingItems() {
    return g_bReportMissingItems;
}

QString FileDialogFilter(const QString& filter) {
    const QStringList parts = filter.split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        const QString& pattern = parts[i + 1];
        if (description.isEmpty() && pattern.isEmpty())
            break;
        // The dialog reads the patterns from the description's last
        // parentheses, so a description carrying its own is rewritten.
        const qsizetype open = description.lastIndexOf('(');
        if (open > 0 && description.endsWith(')'))
            description = description.left(open).trimmed();
        QStringList patterns;
        for (const QString& p : pattern.split(';', Qt::SkipEmptyParts))
            patterns << (p.trimmed() == "*.*" ? QStringLiteral("*") : p.trimmed());
        filters << QStringLiteral("%1 (%2)").arg(description, patterns.join(' '));
    }
    return filters.join(";;");
}

namespace {
int DoFileDialog(QWidget* parent, bool save, const QString& defExt, const QString& filter,
                 QString& path) {
    if (FileDialogHook()) {
        QString chosen = path;
        const int result = FileDialogHook()(chosen);
        if (result == IDOK)
            path = chosen;
        return result == IDOK ? IDOK : IDCANCEL;
    }
    QFileDialog dialog(parent);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(FileDialogFilter(filter));
    dialog.setDefaultSuffix(defExt);
    dialog.setSizeGripEnabled(true);
    if (!path.isEmpty()) {
        const QFileInfo info(path);
        dialog.setDirectory(info.absolutePath());
        dialog.selectFile(info.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return IDCANCEL;
    path = dialog.selectedFiles().constFirst();
    return IDOK;
}
} // namespace

int DoFileOpenDialog(QWidget* parent, const QString& defExt, const QString& filter, QString& path) {
    return DoFileDialog(parent, false, defExt, filter, path);
}

int DoFileSaveDialog(QWidget* parent, const QString& defExt, const QString& filter, QString& path) {
    return DoFileDialog(parent, true, defExt, filter, path);
}

void SetFileDialogHook(std::function<int(QString& path)> hook) {
    FileDialogHook() = std::move(hook);
}
