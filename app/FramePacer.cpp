#include "app/FramePacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimerEvent>
#include <algorithm>

namespace {

// About one screen refresh.
constexpr int FRAME_MS = 16;

// The line breaks a plain-text edit makes of text: CR LF, CR, LF and the
// paragraph separator each start a line.
int LineBreaks(const QString& text) {
    int n = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
            ++i;
        n += c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar::ParagraphSeparator;
    }
    return n;
}

} // namespace

CFramePacer::CFramePacer(QWidget* window) : m_pWindow(window) {
    m_pWindow->installEventFilter(this);
}

CFramePacer::~CFramePacer() {
    m_pWindow->removeEventFilter(this);
}

void CFramePacer::Append(QPlainTextEdit* edit, const QString& text) {
    PendingAppend& pending = m_appends[edit];
    pending.edit = edit;
    pending.pieces.push_back(text);
    pending.lineBreaks += LineBreaks(text);
    // Outside a frame the text goes in now, and its paint opens one.
    if (!m_frame.isActive())
        Flush(edit);
}

int CFramePacer::WaitingLineBreaks(const QWidget* edit) const {
    auto it = m_appends.find(edit);
    return it == m_appends.end() ? 0 : it->second.lineBreaks;
}

void CFramePacer::Drop(const QWidget* edit) {
    m_appends.erase(edit);
}

void CFramePacer::Flush(const QWidget* edit) {
    auto it = m_appends.find(edit);
    if (it == m_appends.end())
        return;
    const PendingAppend pending = std::move(it->second);
    m_appends.erase(it);
    QPlainTextEdit* plain = pending.edit;
    // One edit block: the layout hears of the change once, not per line.
    QTextCursor cursor(plain->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (const QString& piece : pending.pieces)
        cursor.insertText(piece);
    cursor.endEditBlock();
    // Text of a window's height or more scrolls every line out, and the
    // scroll lays out each line it passes only to measure it. With the
    // window's updates off, the view jumps to just above the end instead,
    // the caret then places it as it always does, and the window is
    // repainted whole.
    QWidget* view = plain->viewport();
    const bool jump =
        pending.lineBreaks >= view->height() / std::max(1, plain->fontMetrics().lineSpacing());
    if (jump) {
        view->setUpdatesEnabled(false);
        QScrollBar* bar = plain->verticalScrollBar();
        bar->setValue(bar->maximum() - 2);
    }
    plain->setTextCursor(cursor);
    if (jump)
        view->setUpdatesEnabled(true);
}

void CFramePacer::FlushAll() {
    while (!m_appends.empty())
        Flush(m_appends.begin()->first);
}

bool CFramePacer::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_pWindow || event->type() != QEvent::UpdateRequest)
        return false;
    if (m_frame.isActive()) {
        m_bPaintDue = true;
        return true;
    }
    FlushAll();
    m_bPaintDue = false;
    m_frame.start(FRAME_MS, this);
    return false;
}

void CFramePacer::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_frame.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_frame.stop();
    FlushAll();
    // The held-back request is gone: the widgets' dirty areas wait for a
    // new one.
    if (m_bPaintDue)
        QCoreApplication::postEvent(m_pWindow, new QEvent(QEvent::UpdateRequest),
                                    Qt::LowEventPriority);
}
