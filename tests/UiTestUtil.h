#pragma once

#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "app/DialogBase.h"
#include "app/MessageBox.h"
#include "app/Toolkit.h"

// Runs the UI thread's events until pred holds or ms pass.
template <class Pred> bool WaitUntil(Pred pred, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs the UI thread's events for ms.
inline void Pump(int ms) {
    WaitUntil([] { return false; }, ms);
}

// Paints the shown dialog now, which opens a frame: text appended until the
// events run again waits for the frame's end.
inline void OpenFrame(CDialogBase& dlg) {
    dlg.update();
    QCoreApplication::processEvents();
}

// Runs events until the frame's appended text is in and painted.
inline bool WaitPainted(CDialogBase& dlg) {
    const bool painted = WaitUntil([&] { return !dlg.PaintPending(); }, 2000);
    QCoreApplication::processEvents();
    return painted;
}

struct CapturedBox {
    QString text;
    QString caption;
    int icon;
    QWidget* parent;
};

// Takes every message box instead of showing it, for as long as it lives.
class MessageCapture {
  public:
    MessageCapture() {
        m_previous = SetMessageBoxHook(
            [this](QWidget* parent, const QString& text, const QString& caption, int icon) {
                boxes.push_back({text, caption, icon, parent});
                return IDOK;
            });
    }
    ~MessageCapture() { SetMessageBoxHook(std::move(m_previous)); }

    std::vector<CapturedBox> boxes;

  private:
    MessageBoxHook m_previous;
};
