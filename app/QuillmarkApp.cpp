#include "app/QuillmarkApp.h"

#include "app/QuillmarkDlg.h"

int CQuillmarkApp::InitInstance(const std::string& exeDir) {
    CQuillmarkDlg dlg(nullptr, exeDir);
    dlg.DoModal();
    return dlg.IsInitialised() ? 0 : 1;
}
