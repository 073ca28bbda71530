#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "app/Toolkit.h"

namespace {

// A dialog that looks up a control its template lacks, or whose template
// gives two controls one identifier, fails the running test.
void FailOnBadControlId(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    const std::string text = msg.toStdString();
    if (type == QtWarningMsg &&
        (msg.contains(" has no control ") || msg.contains(" has two controls ")))
        ADD_FAILURE() << text;
    else if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", text.c_str());
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

// The Qt tests run without a display, on the offscreen platform.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitToolkit();
    ReportMissingItems(true);
    qInstallMessageHandler(FailOnBadControlId);
    return RUN_ALL_TESTS();
}
