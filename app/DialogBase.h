#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <map>
#include <optional>

#include "app/FramePacer.h"
#include "app/Toolkit.h"
#include "comm/Notify.h"

class CDataExchange;
class QKeyEvent;

// The base of every window: a dialog built from a Designer template whose
// controls carry their resource identifier in the dynamic property "resId".
// Code addresses controls by identifier only. A derived dialog:
//   - loads its template in its constructor: LoadTemplate<Ui::XxxDlg>();
//   - binds members to controls in DoDataExchange;
//   - connects its handlers with OnClicked / OnSelChange / ... by identifier;
//   - is run with DoModal (or Create for a modeless run) and ended with
//     EndDialog, OnOK or OnCancel.
// Template styles the toolkit applies: "upperCase" (edits turn letters to
// upper case), "digitsOnly" (edits take digits only), "appIcon" (a label
// showing the application icon).
class CDialogBase : public QDialog {
  public:
    explicit CDialogBase(QWidget* parent = nullptr);
    ~CDialogBase() override;

    // Runs the dialog modally: OnInitDialog, then the event loop until
    // EndDialog. Returns the result passed to EndDialog; a dialog ended by
    // its initialisation is never shown.
    int DoModal();

    // Runs OnInitDialog and shows the dialog without a modal loop. Returns
    // false when the initialisation ended the dialog.
    bool Create();

    // Ends the dialog with result (IDOK, IDCANCEL, ...) and hides it.
    void EndDialog(int result);

    // The handle that posted messages for this dialog are addressed to.
    WindowHandle GetSafeHwnd() const { return m_hWnd; }

    // The control with this identifier, or nullptr when the template has none
    // (said by a warning while ReportMissingItems is on).
    QWidget* GetDlgItem(int id) const;
    template <class T> T* GetDlgItemAs(int id) const { return qobject_cast<T*>(GetDlgItem(id)); }
    // The identifier of the control that holds w, or 0.
    int GetDlgCtrlID(const QWidget* w) const;

    // Control services; an identifier without a control does nothing and
    // reads as empty, unchecked, disabled, -1.
    void EnableItem(int id, bool enable);
    // The control's own state (greyed by its panel or not).
    bool IsItemEnabled(int id) const;
    void ShowItem(int id, bool show);
    // Replaces the whole text; a plain-text edit that grows is appended to
    // with AppendItemText instead.
    void SetItemText(int id, const QString& text);
    QString GetItemText(int id) const;
    void CheckItem(int id, bool checked);
    bool IsItemChecked(int id) const;
    void SetCurSel(int id, int index); // combo box; -1 selects nothing
    int GetCurSel(int id) const;

    // Edits. AppendItemText adds text at the end of a plain-text or line edit
    // without rewriting what it holds (no line break added) and moves the
    // caret behind it. Within a frame of the last paint, text for a
    // plain-text edit waits, in order, and goes in before the next paint;
    // every service here counts and reads it as already there.
    void AppendItemText(int id, const QString& text);
    // Lines of an edit: its line breaks plus one (an empty edit has one
    // line); 0 for an identifier without an edit.
    int GetLineCount(int id) const;
    // Whether appended text or a paint waits for the frame's end.
    bool PaintPending() const { return m_pacer.Pending(); }
    // Selects characters start..end of an edit; end -1 means to the end, and
    // start -1 removes the selection. (0, -1) selects all.
    void SetSel(int id, int start, int end);
    // Replaces the selection with text, or inserts it at the caret.
    void ReplaceSel(int id, const QString& text);
    // The most characters an edit holds: typed, pasted or inserted text past
    // it is dropped. 0 or less lifts the limit.
    void LimitText(int id, int maxChars);

    // Progress bars. An empty range (upper <= lower) shows an empty bar, not
    // a busy one; positions are kept inside the range.
    void SetProgressRange(int id, int lower, int upper);
    void SetProgressStep(int id, int step);
    // Advances by the step, stopping at the range's end; returns the
    // position before, or 0 for an identifier without a bar.
    int StepIt(int id);
    void SetProgressPos(int id, int pos);

    // Takes away the title-bar close and makes Escape and the window
    // manager's close do nothing: only EndDialog ends the dialog. Call before
    // the dialog is shown.
    void SetNoClose(bool noClose);
    void FocusItem(int id);
    // Presses a button as a click would; false when it is disabled or absent.
    bool ClickItem(int id);

    // Data exchange: true reads the controls into the members (stops at the
    // first field that fails its check, after the range message), false
    // writes the members into the controls. Returns false on a failed read.
    bool UpdateData(bool bSaveAndValidate = true);

    // Window timers: starts (or restarts) timer id with a period in ms;
    // returns id, or 0 when it could not be started. Ticks call OnTimer(id).
    int SetTimer(int id, int periodMs);
    void KillTimer(int id);
    bool HasTimer(int id) const;

    // The OK and Cancel actions (buttons 1 and 2, Enter, Escape, the
    // title-bar close). OK reads the fields back and ends with IDOK when
    // they pass; Cancel ends with IDCANCEL.
    virtual void OnOK();
    virtual void OnCancel();

    // Delivers a posted message; WM_COMM_RESULT goes to OnCommResult.
    void DispatchWindowMessage(int msg, long wParam, long lParam);

  protected:
    // Creates the controls of template Ui and indexes them by identifier.
    template <class Ui> void LoadTemplate() {
        Ui ui;
        ui.setupUi(this);
        AttachTemplate();
    }
    void AttachTemplate();

    // Default initialisation: writes the members into the controls.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(CDataExchange& dx);
    virtual void OnTimer(int id);
    virtual void OnMessage(int msg, long wParam, long lParam);
    virtual void OnCommResult(int code, long value);
    // Sees every event bound for the dialog's controls before they do;
    // true discards it.
    virtual bool PreTranslateMessage(QWidget* control, QEvent* event);

    // Handlers by control identifier.
    void OnClicked(int id, std::function<void()> handler);    // button or check box
    void OnSelChange(int id, std::function<void()> handler);  // combo box, user choice
    void OnEditChange(int id, std::function<void()> handler); // edit text changed
    void OnKillFocus(int id, std::function<void()> handler);  // focus left for another control

    // Message box with this dialog as parent.
    int MessageBox(const QString& text, const QString& caption, int icon = 0);
    // The character a key press brings to a key filter; 0 for a key without
    // one (arrows) and for the keys the edits handle themselves (Return,
    // Enter, Escape, Tab, Shift+Tab, Delete), which Qt gives control
    // characters as text.
    static char32_t TypedChar(const QKeyEvent& key);
    // Refuses a typed key as every key filter does: the 1500 Hz, 50 ms beep,
    // then text under "提示" with the exclamation icon.
    void RefuseKey(const char* text);

    void accept() override;
    void reject() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    // A bar's range end and step as set here: Qt's own range cannot be
    // empty, and a bar has no step of its own.
    struct ProgressState {
        std::optional<int> upper; // unset: the bar's own maximum
        int step = 10;
    };

    QWidget* FindItem(int id) const;

    WindowHandle m_hWnd;
    // Reads flush the text that waits, so that they see the edit's own line breaks.
    mutable CFramePacer m_pacer;
    std::map<int, QWidget*> m_controls;
    std::map<int, int> m_timers;             // identifier -> Qt timer
    std::map<int, ProgressState> m_progress; // by identifier
    std::map<int, std::function<void()>> m_killFocus;
    int m_nResult = IDCANCEL;
    bool m_bEnded = false;
    bool m_bNoClose = false;
};
