#include "app/IpAddressCtrl.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <algorithm>

CIpAddressCtrl::CIpAddressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    auto* validator = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            layout->addWidget(new QLabel(QStringLiteral("."), this));
        auto* field = new QLineEdit(this);
        field->setValidator(validator);
        field->setMaxLength(3);
        field->setAlignment(Qt::AlignCenter);
        field->setFrame(false);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i] { OnEdited(i); });
        layout->addWidget(field, 1);
        m_fields[i] = field;
    }
    setFocusProxy(m_fields[0]);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

void CIpAddressCtrl::SetAddress(uint8_t f0, uint8_t f1, uint8_t f2, uint8_t f3) {
    const uint8_t values[4] = {f0, f1, f2, f3};
    for (int i = 0; i < 4; ++i)
        m_fields[i]->setText(QString::number(values[i]));
}

int CIpAddressCtrl::GetAddress(uint8_t& f0, uint8_t& f1, uint8_t& f2, uint8_t& f3) const {
    uint8_t* out[4] = {&f0, &f1, &f2, &f3};
    int filled = 0;
    for (int i = 0; i < 4; ++i) {
        const QString text = m_fields[i]->text();
        filled += text.isEmpty() ? 0 : 1;
        *out[i] = static_cast<uint8_t>(std::min(text.toInt(), 255));
    }
    return filled;
}

void CIpAddressCtrl::ClearAddress() {
    for (QLineEdit* field : m_fields)
        field->clear();
}

int CIpAddressCtrl::IndexOf(QObject* field) const {
    for (int i = 0; i < 4; ++i)
        if (m_fields[i] == field)
            return i;
    return -1;
}

void CIpAddressCtrl::FocusField(int i, bool selectAll) {
    QLineEdit* field = m_fields[i];
    field->setFocus(Qt::OtherFocusReason);
    if (selectAll)
        field->selectAll();
}

void CIpAddressCtrl::OnEdited(int i) {
    QLineEdit* field = m_fields[i];
    if (field->text().toInt() > 255)
        field->setText(QStringLiteral("255"));
    if (field->text().size() == 3 && field->cursorPosition() == 3 && i < 3)
        FocusField(i + 1, true);
}

bool CIpAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    const int i = IndexOf(watched);
    if (i < 0 || event->type() != QEvent::KeyPress)
        return QFrame::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* field = m_fields[i];
    const bool atStart = field->cursorPosition() == 0 && !field->hasSelectedText();
    const bool atEnd = field->cursorPosition() == field->text().size() && !field->hasSelectedText();
    if (key->text() == QStringLiteral(".")) {
        if (i < 3 && !field->text().isEmpty())
            FocusField(i + 1, true);
        return true;
    }
    if (key->key() == Qt::Key_Backspace && field->text().isEmpty() && i > 0) {
        FocusField(i - 1, false);
        return true;
    }
    if (key->key() == Qt::Key_Left && atStart && i > 0) {
        FocusField(i - 1, false);
        m_fields[i - 1]->end(false);
        return true;
    }
    if (key->key() == Qt::Key_Right && atEnd && i < 3) {
        FocusField(i + 1, false);
        m_fields[i + 1]->home(false);
        return true;
    }
    return QFrame::eventFilter(watched, event);
}
