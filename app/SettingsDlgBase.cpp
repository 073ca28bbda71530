#include "app/SettingsDlgBase.h"

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "protocol/Limits.h"

namespace {
namespace txt {
const char* const SaveFailed = "保存程序配置文件config.xml失败,设置未保存!";
} // namespace txt
} // namespace

void CSettingsDlgBase::ExchangeTimeouts(CDataExchange& dx, int& firstChar, int& revTimeOut) {
    dx.Text(IDC_SET_FIRST_CHAR, firstChar, SETTING_TIMEOUT_MIN_MS, SETTING_TIMEOUT_MAX_MS);
    dx.Text(IDC_SET_INTER_CHAR, revTimeOut, SETTING_TIMEOUT_MIN_MS, SETTING_TIMEOUT_MAX_MS);
}

void CSettingsDlgBase::CloseIfSaved(int rc) {
    if (rc != SECTION_SAVED) {
        MessageBox(Text(txt::SaveFailed), Text(CAPTION_ERROR), MB_ICONEXCLAMATION);
        return;
    }
    EndDialog(IDOK);
}
