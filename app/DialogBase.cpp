#include "app/DialogBase.h"

#include <QAbstractButton>
#include <QComboBox>
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
#include <functional>

#include "app/Beep.h"
#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/StripPaintStyle.h"
#include "app/WindowMessages.h"

namespace {

const char* const ResIdProperty = "resId";
const char* const MaxCharsProperty = "maxChars";

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

// How one kind of control shows its text.
struct TextRole {
    bool (*is)(const QWidget* w);
    QString (*get)(const QWidget* w);
    void (*set)(QWidget* w, const QString& text);
};

// The role of control kind W, whose text Get reads and Set writes.
template <class W, auto Get, auto Set> TextRole RoleOf() {
    return {[](const QWidget* w) { return qobject_cast<const W*>(w) != nullptr; },
            [](const QWidget* w) { return QString(std::invoke(Get, static_cast<const W*>(w))); },
            [](QWidget* w, const QString& text) { std::invoke(Set, static_cast<W*>(w), text); }};
}

// A combo box shows the entry with the text, or none.
void SetComboText(QComboBox* combo, const QString& text) {
    combo->setCurrentIndex(combo->findText(text));
}

// Every kind of control with a text; the kinds share no widget.
const TextRole TextRoles[] = {
    RoleOf<QLineEdit, &QLineEdit::text, &QLineEdit::setText>(),
    RoleOf<QPlainTextEdit, &QPlainTextEdit::toPlainText, &QPlainTextEdit::setPlainText>(),
    RoleOf<QLabel, &QLabel::text, &QLabel::setText>(),
    RoleOf<QAbstractButton, &QAbstractButton::text, &QAbstractButton::setText>(),
    RoleOf<QGroupBox, &QGroupBox::title, &QGroupBox::setTitle>(),
    RoleOf<QComboBox, &QComboBox::currentText, &SetComboText>(),
};

// The role of w's kind, or nullptr for a control without text.
const TextRole* TextRoleOf(const QWidget* w) {
    for (const TextRole& role : TextRoles)
        if (role.is(w))
            return &role;
    return nullptr;
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

CDialogBase::CDialogBase(QWidget* parent)
    : QDialog(parent), m_hWnd(RegisterWindow(this)), m_pacer(this) {}

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
    m_pacer.Drop(w);
    if (const TextRole* role = TextRoleOf(w))
        role->set(w, text);
}

QString CDialogBase::GetItemText(int id) const {
    QWidget* w = GetDlgItem(id);
    m_pacer.Flush(w);
    const TextRole* role = TextRoleOf(w);
    return role ? role->get(w) : QString();
}

void CDialogBase::AppendItemText(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        m_pacer.Append(plain, text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->end(false);
        edit->insert(text);
    }
}

int CDialogBase::GetLineCount(int id) const {
    QWidget* w = GetDlgItem(id);
    if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        return plain->document()->blockCount() + m_pacer.WaitingLineBreaks(w);
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
        m_pacer.Flush(w);
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
        m_pacer.Flush(w);
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
        m_pacer.Flush(w);
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
        m_progress[id].upper = std::max(upper, lower);
        bar->setValue(lower);
    }
}

void CDialogBase::SetProgressStep(int id, int step) {
    if (GetDlgItemAs<QProgressBar>(id))
        m_progress[id].step = step;
}

int CDialogBase::StepIt(int id) {
    auto* bar = GetDlgItemAs<QProgressBar>(id);
    if (!bar)
        return 0;
    const int before = std::max(bar->value(), bar->minimum());
    SetProgressPos(id, before + m_progress[id].step);
    return before;
}

void CDialogBase::SetProgressPos(int id, int pos) {
    if (auto* bar = GetDlgItemAs<QProgressBar>(id)) {
        const int top = m_progress[id].upper.value_or(bar->maximum());
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

void CDialogBase::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QDialog::timerEvent(event);
}
