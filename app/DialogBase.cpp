#include "app/DialogBase.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimerEvent>
#include <algorithm>
#include <cstdlib>

#include "app/Beep.h"
#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/StripPaintStyle.h"
#include "app/WindowMessages.h"

namespace {

const char* const ResIdProperty = "resId";
const char* const MaxCharsProperty = "maxChars";
const char* const StepProperty = "progressStep";
const char* const UpperProperty = "progressUpper";
// About one screen refresh.
constexpr int FRAME_MS = 16;

// A plain-text edit has no maximum length of its own: text that goes past
// the limit is taken out again where it went in.
void TrimToLimit(QPlainTextEdit* edit, int position, int added) {
    const int limit = edit->property(MaxCharsProperty).toInt();
    if (limit <= 0 || added <= 0)
        return;
    QTextDocument* doc = edit->document();
    const int excess = doc->characterCount() - 1 - limit;
    if (excess <= 0)
        return;
    // A paste into an empty edit reports the document's closing paragraph
    // mark among the characters added, one past the end of the text.
    const int end = std::min(position + added, doc->characterCount() - 1);
    QTextCursor cursor(doc);
    cursor.setPosition(end);
    cursor.setPosition(end - std::min(excess, end - position), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

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

// Edits of the upper-case style turn letters to upper case as they are typed or pasted.
class CUpperCaseValidator : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

void ApplyStyles(QWidget* w) {
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        if (edit->property("upperCase").toBool())
            edit->setValidator(new CUpperCaseValidator(edit));
        else if (edit->property("digitsOnly").toBool())
            edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    }
    if (auto* label = qobject_cast<QLabel*>(w); label && label->property("appIcon").toBool())
        label->setPixmap(AppIcon().pixmap(32, 32));
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        // A read-only window only grows by appends: an undo history would
        // keep every append until the window is emptied, and cost time on each.
        if (plain->isReadOnly())
            plain->setUndoRedoEnabled(false);
        // Hex, figures and Chinese need no glyph shaping; shaping each line
        // again at every layout and paint was most of a window's layout time.
        QFont font;
        font.setStyleStrategy(QFont::PreferNoShaping);
        plain->setFont(font);
        // Scroll bars that paint their own background are opaque: a moved
        // slider repaints the bar alone, not the dialog and frames beneath.
        for (QScrollBar* bar : {plain->verticalScrollBar(), plain->horizontalScrollBar()}) {
            bar->setAutoFillBackground(true);
            bar->setStyle(StripPaintStyle());
        }
    }
}

} // namespace

CDialogBase::CDialogBase(QWidget* parent) : QDialog(parent), m_hWnd(RegisterWindow(this)) {}

CDialogBase::~CDialogBase() {
    UnregisterWindow(m_hWnd);
    // Controls are destroyed after the derived dialog: their last events
    // must not reach its handlers.
    m_killFocus.clear();
    for (QWidget* w : findChildren<QWidget*>())
        w->removeEventFilter(this);
}

void CDialogBase::AttachTemplate() {
    setWindowIcon(AppIcon());
    for (QWidget* w : findChildren<QWidget*>()) {
        bool ok = false;
        int id = w->property(ResIdProperty).toInt(&ok);
        if (ok && id != 0 && !m_controls.emplace(id, w).second && ReportsMissingItems())
            qWarning("dialog %s has two controls %d", qPrintable(objectName()), id);
        ApplyStyles(w);
        w->installEventFilter(this);
    }
    // Templates without an OK or Cancel button are common: no warning.
    for (int id : {IDOK, IDCANCEL}) {
        if (auto* button = qobject_cast<QAbstractButton*>(FindItem(id)))
            connect(button, &QAbstractButton::clicked, this,
                    [this, id] { id == IDOK ? OnOK() : OnCancel(); });
    }
}

int CDialogBase::DoModal() {
    m_bEnded = false;
    m_nResult = IDCANCEL;
    OnInitDialog();
    if (m_bEnded)
        return m_nResult;
    exec();
    return m_nResult;
}

bool CDialogBase::Create() {
    m_bEnded = false;
    OnInitDialog();
    if (m_bEnded)
        return false;
    show();
    return true;
}

void CDialogBase::EndDialog(int result) {
    m_bEnded = true;
    m_nResult = result;
    done(result);
}

QWidget* CDialogBase::FindItem(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QWidget* CDialogBase::GetDlgItem(int id) const {
    QWidget* w = FindItem(id);
    if (!w && ReportsMissingItems())
        qWarning("dialog %s has no control %d", qPrintable(objectName()), id);
    return w;
}

int CDialogBase::GetDlgCtrlID(const QWidget* w) const {
    for (; w && w != this; w = w->parentWidget()) {
        bool ok = false;
        int id = w->property(ResIdProperty).toInt(&ok);
        if (ok && id != 0)
            return id;
    }
    return 0;
}

void CDialogBase::EnableItem(int id, bool enable) {
    if (QWidget* w = GetDlgItem(id))
        w->setEnabled(enable);
}

bool CDialogBase::IsItemEnabled(int id) const {
    QWidget* w = GetDlgItem(id);
    return w && !w->testAttribute(Qt::WA_ForceDisabled);
}

void CDialogBase::ShowItem(int id, bool show) {
    if (QWidget* w = GetDlgItem(id))
        w->setVisible(show);
}

void CDialogBase::SetItemText(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    m_appends.erase(w);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        edit->setText(text);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        plain->setPlainText(text);
    else if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(text);
    else if (auto* group = qobject_cast<QGroupBox*>(w))
        group->setTitle(text);
    else if (auto* combo = qobject_cast<QComboBox*>(w))
        combo->setCurrentIndex(combo->findText(text));
}

QString CDialogBase::GetItemText(int id) const {
    QWidget* w = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        return edit->text();
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        FlushAppend(w);
        return plain->toPlainText();
    }
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(w))
        return group->title();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentText();
    return {};
}

void CDialogBase::AppendItemText(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    if (qobject_cast<QPlainTextEdit*>(w)) {
        PendingAppend& pending = m_appends[w];
        pending.pieces.push_back(text);
        pending.lineBreaks += LineBreaks(text);
        // Outside a frame the text goes in now, and its paint opens one.
        if (!m_frame.isActive())
            FlushAppend(w);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->end(false);
        edit->insert(text);
    }
}

int CDialogBase::GetLineCount(int id) const {
    QWidget* w = GetDlgItem(id);
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        auto it = m_appends.find(w);
        return plain->document()->blockCount() +
               (it == m_appends.end() ? 0 : it->second.lineBreaks);
    }
    if (qobject_cast<QLineEdit*>(w))
        return 1;
    return 0;
}

void CDialogBase::SetSel(int id, int start, int end) {
    QWidget* w = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        const int length = static_cast<int>(edit->text().size());
        if (start < 0) {
            edit->deselect();
            return;
        }
        start = std::min(start, length);
        end = end < 0 ? length : std::min(end, length);
        edit->setSelection(std::min(start, end), std::abs(end - start));
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        FlushAppend(w);
        QTextCursor cursor = plain->textCursor();
        const int length = plain->document()->characterCount() - 1;
        if (start < 0) {
            cursor.clearSelection();
        } else {
            start = std::min(start, length);
            end = end < 0 ? length : std::clamp(end, 0, length);
            cursor.setPosition(start);
            cursor.setPosition(end, QTextCursor::KeepAnchor);
        }
        plain->setTextCursor(cursor);
    }
}

void CDialogBase::ReplaceSel(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        // An empty insert without a selection still reports a change, which
        // would run a content filter that calls this again for ever.
        if (text.isEmpty() && !edit->hasSelectedText())
            return;
        edit->insert(text);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        FlushAppend(w);
        QTextCursor cursor = plain->textCursor();
        cursor.insertText(text);
        plain->setTextCursor(cursor);
    }
}

void CDialogBase::LimitText(int id, int maxChars) {
    QWidget* w = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        // Setting the length sets the text again, which ends a selection.
        if (const int length = maxChars > 0 ? maxChars : 32767; edit->maxLength() != length)
            edit->setMaxLength(length);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        FlushAppend(w);
        const bool watched = plain->property(MaxCharsProperty).isValid();
        plain->setProperty(MaxCharsProperty, maxChars);
        if (!watched)
            connect(plain->document(), &QTextDocument::contentsChange, plain,
                    [plain](int position, int, int added) { TrimToLimit(plain, position, added); });
    }
}

void CDialogBase::SetProgressRange(int id, int lower, int upper) {
    if (auto* bar = GetDlgItemAs<QProgressBar>(id)) {
        // Qt shows a busy bar for an empty range.
        bar->setRange(lower, std::max(upper, lower + 1));
        bar->setProperty(UpperProperty, std::max(upper, lower));
        bar->setValue(lower);
    }
}

void CDialogBase::SetProgressStep(int id, int step) {
    if (auto* bar = GetDlgItemAs<QProgressBar>(id))
        bar->setProperty(StepProperty, step);
}

int CDialogBase::StepIt(int id) {
    auto* bar = GetDlgItemAs<QProgressBar>(id);
    if (!bar)
        return 0;
    const int before = std::max(bar->value(), bar->minimum());
    const QVariant step = bar->property(StepProperty);
    SetProgressPos(id, before + (step.isValid() ? step.toInt() : 10));
    return before;
}

void CDialogBase::SetProgressPos(int id, int pos) {
    if (auto* bar = GetDlgItemAs<QProgressBar>(id)) {
        const QVariant upper = bar->property(UpperProperty);
        const int top = upper.isValid() ? upper.toInt() : bar->maximum();
        bar->setValue(std::clamp(pos, bar->minimum(), std::max(top, bar->minimum())));
    }
}

void CDialogBase::SetNoClose(bool noClose) {
    m_bNoClose = noClose;
    const bool visible = isVisible();
    setWindowFlag(Qt::CustomizeWindowHint, noClose);
    setWindowFlag(Qt::WindowTitleHint, true);
    setWindowFlag(Qt::WindowCloseButtonHint, !noClose);
    if (visible)
        show();
}

void CDialogBase::CheckItem(int id, bool checked) {
    // Timed sending sets its box at every tick: a box already so is left alone.
    if (auto* button = GetDlgItemAs<QAbstractButton>(id); button && button->isChecked() != checked)
        button->setChecked(checked);
}

bool CDialogBase::IsItemChecked(int id) const {
    auto* button = GetDlgItemAs<QAbstractButton>(id);
    return button && button->isChecked();
}

void CDialogBase::SetCurSel(int id, int index) {
    if (auto* combo = GetDlgItemAs<QComboBox>(id))
        combo->setCurrentIndex(index < combo->count() ? index : -1);
}

int CDialogBase::GetCurSel(int id) const {
    auto* combo = GetDlgItemAs<QComboBox>(id);
    return combo ? combo->currentIndex() : -1;
}

void CDialogBase::FocusItem(int id) {
    if (QWidget* w = GetDlgItem(id))
        w->setFocus(Qt::OtherFocusReason);
}

bool CDialogBase::ClickItem(int id) {
    auto* button = GetDlgItemAs<QAbstractButton>(id);
    if (!button || !button->isEnabled())
        return false;
    button->click();
    return true;
}

bool CDialogBase::UpdateData(bool bSaveAndValidate) {
    CDataExchange dx(*this, bSaveAndValidate);
    DoDataExchange(dx);
    return !dx.Failed();
}

int CDialogBase::SetTimer(int id, int periodMs) {
    if (periodMs < 0)
        return 0;
    KillTimer(id);
    int timer = startTimer(periodMs);
    if (timer == 0)
        return 0;
    m_timers[id] = timer;
    return id;
}

void CDialogBase::KillTimer(int id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    killTimer(it->second);
    m_timers.erase(it);
}

bool CDialogBase::HasTimer(int id) const {
    return m_timers.count(id) != 0;
}

void CDialogBase::OnOK() {
    if (UpdateData(true))
        EndDialog(IDOK);
}

void CDialogBase::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialogBase::DispatchWindowMessage(int msg, long wParam, long lParam) {
    OnMessage(msg, wParam, lParam);
}

bool CDialogBase::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialogBase::DoDataExchange(CDataExchange&) {}

void CDialogBase::OnTimer(int) {}

void CDialogBase::OnMessage(int msg, long wParam, long lParam) {
    if (msg == WM_COMM_RESULT)
        OnCommResult(static_cast<int>(wParam), lParam);
}

void CDialogBase::OnCommResult(int, long) {}

bool CDialogBase::PreTranslateMessage(QWidget*, QEvent*) {
    return false;
}

void CDialogBase::OnClicked(int id, std::function<void()> handler) {
    if (auto* button = GetDlgItemAs<QAbstractButton>(id))
        connect(button, &QAbstractButton::clicked, this,
                [handler = std::move(handler)] { handler(); });
}

void CDialogBase::OnSelChange(int id, std::function<void()> handler) {
    if (auto* combo = GetDlgItemAs<QComboBox>(id))
        connect(combo, &QComboBox::activated, this, [handler = std::move(handler)] { handler(); });
}

void CDialogBase::OnEditChange(int id, std::function<void()> handler) {
    QWidget* w = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        connect(edit, &QLineEdit::textChanged, this, [handler = std::move(handler)] { handler(); });
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        connect(plain, &QPlainTextEdit::textChanged, this,
                [handler = std::move(handler)] { handler(); });
}

void CDialogBase::OnKillFocus(int id, std::function<void()> handler) {
    m_killFocus[id] = std::move(handler);
}

int CDialogBase::MessageBox(const QString& text, const QString& caption, int icon) {
    return ::MessageBox(this, text, caption, icon);
}

char32_t CDialogBase::TypedChar(const QKeyEvent& key) {
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
        return 0;
    default:
        break;
    }
    const QString text = key.text();
    return text.isEmpty() ? 0 : text.toUcs4().value(0);
}

void CDialogBase::RefuseKey(const char* text) {
    Beep(REFUSED_KEY_BEEP_HZ, REFUSED_KEY_BEEP_MS);
    MessageBox(QString::fromUtf8(text), Text(CAPTION_HINT), MB_ICONEXCLAMATION);
}

void CDialogBase::accept() {
    OnOK();
}

void CDialogBase::reject() {
    // Escape and the window manager's close arrive here.
    if (!m_bNoClose)
        OnCancel();
}

bool CDialogBase::eventFilter(QObject* watched, QEvent* event) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || w == this)
        return QDialog::eventFilter(watched, event);
    if (PreTranslateMessage(w, event))
        return true;
    if (event->type() == QEvent::FocusOut) {
        // Focus taken by another window (a message box, a context menu) is
        // not the user leaving the control: a check there would open a
        // second box over the first.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        auto it = m_killFocus.find(GetDlgCtrlID(w));
        if (it != m_killFocus.end() && reason != Qt::ActiveWindowFocusReason &&
            reason != Qt::PopupFocusReason)
            it->second();
    }
    return QDialog::eventFilter(watched, event);
}

void CDialogBase::FlushAppend(QWidget* w) const {
    auto it = m_appends.find(w);
    if (it == m_appends.end())
        return;
    const std::vector<QString> pieces = std::move(it->second.pieces);
    const int lineBreaks = it->second.lineBreaks;
    m_appends.erase(it);
    auto* plain = static_cast<QPlainTextEdit*>(w);
    // One edit block: the layout hears of the change once, not per line.
    QTextCursor cursor(plain->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (const QString& piece : pieces)
        cursor.insertText(piece);
    cursor.endEditBlock();
    // Text of a window's height or more scrolls every line out, and the
    // scroll lays out each line it passes only to measure it. With the
    // window's updates off, the view jumps to just above the end instead,
    // the caret then places it as it always does, and the window is
    // repainted whole.
    QWidget* view = plain->viewport();
    const bool jump =
        lineBreaks >= view->height() / std::max(1, plain->fontMetrics().lineSpacing());
    if (jump) {
        view->setUpdatesEnabled(false);
        QScrollBar* bar = plain->verticalScrollBar();
        bar->setValue(bar->maximum() - 2);
    }
    plain->setTextCursor(cursor);
    if (jump)
        view->setUpdatesEnabled(true);
}

void CDialogBase::FlushAppends() {
    while (!m_appends.empty())
        FlushAppend(m_appends.begin()->first);
}

bool CDialogBase::event(QEvent* event) {
    if (event->type() == QEvent::UpdateRequest) {
        if (m_frame.isActive()) {
            m_bPaintDue = true;
            return true;
        }
        FlushAppends();
        m_bPaintDue = false;
        m_frame.start(FRAME_MS, this);
    }
    return QDialog::event(event);
}

void CDialogBase::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_frame.timerId()) {
        m_frame.stop();
        FlushAppends();
        // The held-back request is gone: the widgets' dirty areas wait for
        // a new one.
        if (m_bPaintDue)
            QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest),
                                        Qt::LowEventPriority);
        return;
    }
    for (auto& [id, timer] : m_timers) {
        if (timer == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QDialog::timerEvent(event);
}
