#include "app/Toolkit.h"

#include <QFont>
#include <QPixmap>
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
