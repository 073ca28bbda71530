#include <QApplication>
#include <gtest/gtest.h>

#include "app/Toolkit.h"

// The Qt tests run without a display, on the offscreen platform.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitToolkit();
    return RUN_ALL_TESTS();
}
