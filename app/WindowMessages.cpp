#include "app/WindowMessages.h"

#include <QCoreApplication>
#include <QEvent>
#include <atomic>
#include <map>

#include "app/DialogBase.h"

namespace {

std::map<WindowHandle, CDialogBase*> g_windows;
WindowHandle g_nextHandle = 1;

const QEvent::Type MessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

struct CMessageEvent : QEvent {
    CMessageEvent(WindowHandle wnd, int msg, long wParam, long lParam)
        : QEvent(MessageEventType), m_wnd(wnd), m_msg(msg), m_wParam(wParam), m_lParam(lParam) {}
    WindowHandle m_wnd;
    int m_msg;
    long m_wParam;
    long m_lParam;
};

// All messages go to this one receiver, which lives as long as the process:
// a single queue keeps them in order, and the window is looked up only at
// delivery, on the UI thread, so a closed window is never touched.
struct CDispatcher : QObject {
    bool event(QEvent* e) override {
        if (e->type() != MessageEventType)
            return QObject::event(e);
        auto* m = static_cast<CMessageEvent*>(e);
        if (CDialogBase* dlg = WindowFromHandle(m->m_wnd))
            dlg->DispatchWindowMessage(m->m_msg, m->m_wParam, m->m_lParam);
        return true;
    }
};

std::atomic<CDispatcher*> g_dispatcher{nullptr};

void PostCommResultToWindow(WindowHandle wnd, int code, long value) {
    PostWindowMessage(wnd, WM_COMM_RESULT, code, value);
}

} // namespace

WindowHandle RegisterWindow(CDialogBase* dlg) {
    WindowHandle wnd = g_nextHandle++;
    g_windows[wnd] = dlg;
    return wnd;
}

void UnregisterWindow(WindowHandle wnd) {
    g_windows.erase(wnd);
}

CDialogBase* WindowFromHandle(WindowHandle wnd) {
    auto it = g_windows.find(wnd);
    return it == g_windows.end() ? nullptr : it->second;
}

void PostWindowMessage(WindowHandle wnd, int msg, long wParam, long lParam) {
    CDispatcher* dispatcher = g_dispatcher.load();
    if (!dispatcher || wnd == NO_WINDOW)
        return;
    QCoreApplication::postEvent(dispatcher, new CMessageEvent(wnd, msg, wParam, lParam));
}

CDialogBase* FindWindowByCaption(const QString& caption) {
    CDialogBase* hidden = nullptr;
    for (auto& [wnd, dlg] : g_windows) {
        if (!dlg->isWindow() || dlg->windowTitle() != caption)
            continue;
        if (dlg->isVisible())
            return dlg;
        if (!hidden)
            hidden = dlg;
    }
    return hidden;
}

void InstallWindowMessages() {
    if (!g_dispatcher.load())
        g_dispatcher.store(new CDispatcher);
    SetCommResultPoster(PostCommResultToWindow);
}
