#pragma once

#include <QBasicTimer>
#include <QObject>
#include <QString>
#include <map>
#include <vector>

class QPlainTextEdit;
class QWidget;

// Paints a window at most once a frame and batches the text appended to its
// plain-text edits meanwhile. A frame runs from a paint for about one screen
// refresh: an update asked for within it waits for the frame's end, and so
// does appended text, which goes in, in order, just before the next paint.
class CFramePacer : public QObject {
  public:
    // Watches the update requests of window, which must outlive the pacer.
    explicit CFramePacer(QWidget* window);
    ~CFramePacer() override;

    // Adds text at the end of edit without rewriting what it holds and moves
    // the caret behind it: now outside a frame, else before the next paint.
    void Append(QPlainTextEdit* edit, const QString& text);
    // The line breaks of the text that waits for edit; 0 for any other control.
    int WaitingLineBreaks(const QWidget* edit) const;
    // Puts the text that waits for edit into it now; a read calls this first
    // so that it sees the edit's own line breaks. Nothing waits: no change.
    void Flush(const QWidget* edit);
    // Forgets the text that waits for edit, whose whole text is replaced.
    void Drop(const QWidget* edit);
    // Whether appended text or a paint waits for the frame's end.
    bool Pending() const { return m_bPaintDue || !m_appends.empty(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    void FlushAll();

    struct PendingAppend {
        QPlainTextEdit* edit = nullptr;
        std::vector<QString> pieces; // inserted one by one, as they came
        int lineBreaks = 0;
    };

    QWidget* const m_pWindow;
    QBasicTimer m_frame;
    bool m_bPaintDue = false;
    std::map<const QWidget*, PendingAppend> m_appends;
};
