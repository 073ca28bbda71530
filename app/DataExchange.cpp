#include "app/DataExchange.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "app/DialogBase.h"
#include "app/IpAddressCtrl.h"
#include "app/MessageBox.h"

CDataExchange::CDataExchange(CDialogBase& dlg, bool bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_dlg(dlg) {}

void CDataExchange::KeepFocusedEdit() {
    QWidget* w = QApplication::focusWidget();
    if (w == nullptr || m_dlg.GetDlgCtrlID(w) == 0)
        return;
    auto* line = qobject_cast<QLineEdit*>(w);
    auto* plain = qobject_cast<QPlainTextEdit*>(w);
    if ((line && !line->isReadOnly()) || (plain && !plain->isReadOnly()))
        m_pKept = w;
}

bool CDataExchange::Kept(int id) const {
    return m_pKept != nullptr && !m_bSaveAndValidate && m_dlg.GetDlgItem(id) == m_pKept;
}

void CDataExchange::Write(int id, const QString& text) {
    if (!Kept(id) && m_dlg.GetItemText(id) != text)
        m_dlg.SetItemText(id, text);
}

void CDataExchange::Fail(int id, const QString& message) {
    m_bFailed = true;
    MessageBox(&m_dlg, message, ::Text(CAPTION_HINT), MB_ICONEXCLAMATION);
    m_dlg.FocusItem(id);
    m_dlg.SetSel(id, 0, -1);
}

bool CDataExchange::ReadInt(int id, int& value) {
    bool ok = false;
    int v = m_dlg.GetItemText(id).trimmed().toInt(&ok);
    if (!ok) {
        Fail(id, QStringLiteral("请输入一个整数。"));
        return false;
    }
    value = v;
    return true;
}

void CDataExchange::Text(int id, int& value, int nMin, int nMax) {
    if (m_bFailed)
        return;
    if (!m_bSaveAndValidate) {
        Write(id, QString::number(value));
        return;
    }
    int v = 0;
    if (!ReadInt(id, v))
        return;
    if (v < nMin || v > nMax) {
        Fail(id, QStringLiteral("请输入一个介于 %1 和 %2 之间的整数。").arg(nMin).arg(nMax));
        return;
    }
    value = v;
}

void CDataExchange::Text(int id, int& value) {
    if (m_bFailed)
        return;
    if (!m_bSaveAndValidate)
        Write(id, QString::number(value));
    else
        ReadInt(id, value);
}

void CDataExchange::Text(int id, QString& value, int nMaxChars) {
    if (m_bFailed)
        return;
    if (!m_bSaveAndValidate) {
        if (nMaxChars > 0)
            m_dlg.LimitText(id, nMaxChars);
        Write(id, value);
        return;
    }
    QString text = m_dlg.GetItemText(id);
    if (nMaxChars > 0 && text.size() > nMaxChars) {
        Fail(id, QStringLiteral("输入的字符不能超过 %1 个。").arg(nMaxChars));
        return;
    }
    value = text;
}

void CDataExchange::Text(int id, std::string& value, int nMaxChars) {
    QString text = ::Text(value);
    Text(id, text, nMaxChars);
    if (m_bSaveAndValidate && !m_bFailed)
        value = text.toStdString();
}

void CDataExchange::Check(int id, bool& value) {
    if (m_bFailed)
        return;
    if (m_bSaveAndValidate)
        value = m_dlg.IsItemChecked(id);
    else
        m_dlg.CheckItem(id, value);
}

void CDataExchange::CBIndex(int id, int& value) {
    if (m_bFailed)
        return;
    if (m_bSaveAndValidate)
        value = m_dlg.GetCurSel(id);
    else
        m_dlg.SetCurSel(id, value);
}

void CDataExchange::IPAddress(int id, uint8_t (&fields)[4]) {
    auto* ctrl = m_dlg.GetDlgItemAs<CIpAddressCtrl>(id);
    if (m_bFailed || ctrl == nullptr)
        return;
    if (m_bSaveAndValidate)
        ctrl->GetAddress(fields[0], fields[1], fields[2], fields[3]);
    else
        ctrl->SetAddress(fields[0], fields[1], fields[2], fields[3]);
}
