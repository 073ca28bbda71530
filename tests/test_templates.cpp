// Every control identifier a dialog's code names exists in its template:
// identifiers are written in app/ headers and again in each .ui "resId", and
// a lookup of one the template lacks would otherwise do nothing.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <gtest/gtest.h>
#include <map>
#include <set>

#include "app/Resource.h"

namespace {

const QString SourceDir = QStringLiteral(QUILLMARK_SOURCE_DIR);

QString ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

// Name -> value of every IDC_ identifier the app/ headers define; a name
// defined twice with different values is reported.
std::map<QString, int> HeaderIds() {
    std::map<QString, int> ids;
    const QRegularExpression definition(R"(\b(IDC_\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+))");
    for (const QFileInfo& header : QDir(SourceDir + "/app").entryInfoList({"*.h"}, QDir::Files)) {
        auto it = definition.globalMatch(ReadAll(header.filePath()));
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            const int value = m.captured(2).toInt(nullptr, 0);
            auto [slot, added] = ids.emplace(m.captured(1), value);
            EXPECT_TRUE(added || slot->second == value)
                << m.captured(1).toStdString() << " has two values";
        }
    }
    return ids;
}

// The "resId" of every control of a template, with how often each occurs.
std::map<int, int> TemplateIds(const QString& path) {
    std::map<int, int> ids;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement() || xml.name() != u"property" ||
            xml.attributes().value("name") != u"resId")
            continue;
        while (!xml.atEnd() && !(xml.isStartElement() && xml.name() == u"number"))
            xml.readNext();
        ++ids[xml.readElementText().toInt()];
    }
    EXPECT_FALSE(xml.hasError()) << path.toStdString() << ": " << xml.errorString().toStdString();
    return ids;
}

// The IDC_ names used by a dialog's sources, app/<Name>Dlg.h and
// app/<Name>Dlg*.cpp, and defined by its own identifier header,
// app/<Name>Ids.h, where it has one.
std::set<QString> UsedIds(const QString& dialog) {
    std::set<QString> names;
    const QRegularExpression use(R"(\bIDC_\w+)");
    QFileInfoList files = QDir(SourceDir + "/app").entryInfoList({dialog + "*.cpp"}, QDir::Files);
    files << QFileInfo(SourceDir + "/app/" + dialog + ".h");
    QString name = dialog;
    if (name.endsWith("Dlg"))
        name.chop(3);
    files << QFileInfo(SourceDir + "/app/" + name + "Ids.h");
    for (const QFileInfo& file : files) {
        auto it = use.globalMatch(ReadAll(file.filePath()));
        while (it.hasNext())
            names.insert(it.next().captured(0));
    }
    return names;
}

TEST(Templates, HeaderParsingSeesTheCompiledValues) {
    const std::map<QString, int> ids = HeaderIds();
    EXPECT_EQ(ids.at("IDC_CHANNEL"), IDC_CHANNEL);
    EXPECT_EQ(ids.at("IDC_DIALING_TEXT"), IDC_DIALING_TEXT);
    EXPECT_EQ(ids.at("IDC_UDP_ADDR"), IDC_UDP_ADDR);
}

TEST(Templates, EveryIdentifierADialogNamesIsInItsTemplate) {
    const std::map<QString, int> defined = HeaderIds();
    const QFileInfoList templates =
        QDir(SourceDir + "/res").entryInfoList({"*.ui"}, QDir::Files, QDir::Name);
    ASSERT_FALSE(templates.isEmpty());
    for (const QFileInfo& ui : templates) {
        const QString dialog = ui.completeBaseName();
        SCOPED_TRACE(dialog.toStdString());
        EXPECT_TRUE(QFileInfo::exists(SourceDir + "/app/" + dialog + ".cpp"))
            << "a template without its dialog";
        const std::map<int, int> present = TemplateIds(ui.filePath());
        for (const auto& [id, count] : present)
            EXPECT_EQ(count, 1) << "resId " << id << " used by " << count << " controls";
        for (const QString& name : UsedIds(dialog)) {
            auto it = defined.find(name);
            if (it == defined.end()) {
                ADD_FAILURE() << name.toStdString() << " is defined in no app/ header";
                continue;
            }
            EXPECT_TRUE(present.count(it->second))
                << name.toStdString() << " (" << it->second << ") is not in the template";
        }
    }
}

} // namespace

// The toolkit's own multi-line edit does not survive a paste of nothing;
// every template's is the paste-safe one.
TEST(Templates, MultiLineEditsArePasteSafe) {
    for (const QFileInfo& ui : QDir(SourceDir + "/res").entryInfoList({"*.ui"}, QDir::Files)) {
        const QString text = ReadAll(ui.filePath());
        EXPECT_FALSE(text.contains(R"(class="QPlainTextEdit")") ||
                     text.contains(R"(class="QTextEdit")"))
            << ui.fileName().toStdString();
    }
}
