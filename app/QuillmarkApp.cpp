#include "app/QuillmarkApp.h"

#include "app/QuillmarkDlg.h"

int CQuillmarkApp::InitInstance(const std::string& configPath) {
    CQuillmarkDlg dlg(nullptr, configPath);
    dlg.DoModal();
    return dlg.IsInitialised() ? 0 : 1;
}
