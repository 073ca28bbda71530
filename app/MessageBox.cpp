#include "app/MessageBox.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <deque>

#include "app/Toolkit.h"

namespace {
MessageBoxHook g_messageBoxHook;
int g_nOpenBoxes = 0;

struct WaitingBox {
    QPointer<QWidget> parent;
    bool bHadParent;
    QString text;
    QString caption;
    int icon;
};
std::deque<WaitingBox> g_waiting;

void ShowWaitingBox() {
    while (g_nOpenBoxes == 0 && !g_waiting.empty()) {
        WaitingBox box = std::move(g_waiting.front());
        g_waiting.pop_front();
        if (!box.bHadParent || box.parent) {
            MessageBox(box.parent, box.text, box.caption, box.icon);
            return;
        }
    }
}

struct OpenBox {
    OpenBox() { ++g_nOpenBoxes; }
    ~OpenBox() {
        // From the event loop, so that the caller of the box that closed
        // goes on first.
        if (--g_nOpenBoxes == 0 && !g_waiting.empty())
            QTimer::singleShot(0, ShowWaitingBox);
    }
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

void MessageBoxWhenFree(QWidget* parent, const QString& text, const QString& caption, int icon) {
    if (g_nOpenBoxes == 0) {
        MessageBox(parent, text, caption, icon);
        return;
    }
    g_waiting.push_back({parent, parent != nullptr, text, caption, icon});
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    MessageBoxHook old = std::move(g_messageBoxHook);
    g_messageBoxHook = std::move(hook);
    return old;
}
