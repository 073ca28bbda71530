#include <QApplication>

#include "app/QuillmarkApp.h"
#include "app/Toolkit.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    InitToolkit();
    CQuillmarkApp theApp;
    return theApp.InitInstance();
}
