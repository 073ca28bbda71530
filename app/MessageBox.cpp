#include "app/MessageBox.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/Toolkit.h"

namespace {
MessageBoxHook g_messageBoxHook;
int g_nOpenBoxes = 0;

struct OpenBox {
    OpenBox() { ++g_nOpenBoxes; }
    ~OpenBox() { --g_nOpenBoxes; }
};
} // namespace

int OpenMessageBoxes() {
    return g_nOpenBoxes;
}

int MessageBox(QWidget* parent, const QString& text, const QString& caption, int icon) {
    const OpenBox open;
    if (g_messageBoxHook)
        return g_messageBoxHook(parent, text, caption, icon);
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    box.setIcon(icon == MB_ICONEXCLAMATION   ? QMessageBox::Warning
                : icon == MB_ICONINFORMATION ? QMessageBox::Information
                                             : QMessageBox::NoIcon);
    box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box.exec();
    return IDOK;
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    MessageBoxHook old = std::move(g_messageBoxHook);
    g_messageBoxHook = std::move(hook);
    return old;
}
