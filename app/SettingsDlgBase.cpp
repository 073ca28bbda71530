#include "app/SettingsDlgBase.h"

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/Resource.h"

namespace {
const char* const SaveFailed = "保存程序配置文件config.xml失败,设置未保存!";
} // namespace

void CSettingsDlgBase::DoDataExchange(CDataExchange& dx) {
    dx.Text(IDC_SET_FIRST_CHAR, m_nFirstChar, 1, 40000);
    dx.Text(IDC_SET_INTER_CHAR, m_nRevTimeOut, 1, 40000);
}

void CSettingsDlgBase::SaveAndClose(const SectionSnapshot& before) {
    if (!m_pConfig->Save()) {
        RestoreSectionSnapshot(*m_pConfig, before);
        MessageBox(QString::fromUtf8(SaveFailed), Text(CAPTION_ERROR), MB_ICONEXCLAMATION);
        return;
    }
    EndDialog(IDOK);
}
