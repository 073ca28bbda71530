#include "app/SettingsDlgBase.h"

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/Resource.h"

namespace {
namespace txt {
const char* const SaveFailed = "保存程序配置文件config.xml失败,设置未保存!";
} // namespace txt
} // namespace

void CSettingsDlgBase::ExchangeTimeouts(CDataExchange& dx, int& firstChar, int& revTimeOut) {
    dx.Text(IDC_SET_FIRST_CHAR, firstChar, 1, 40000);
    dx.Text(IDC_SET_INTER_CHAR, revTimeOut, 1, 40000);
}

void CSettingsDlgBase::CloseIfSaved(int rc) {
    if (rc != SECTION_SAVED) {
        MessageBox(Text(txt::SaveFailed), Text(CAPTION_ERROR), MB_ICONEXCLAMATION);
        return;
    }
    EndDialog(IDOK);
}
