#pragma once

#include <QPlainTextEdit>

// The multi-line edit every template uses. A paste of no data or of empty
// text (Ctrl+V, the context menu, a middle click on an empty primary
// selection) does nothing instead of reaching the toolkit's own paste, which
// does not survive it; any other paste goes through unchanged, so the edit's
// filters and limits still apply.
class CPasteSafeEdit : public QPlainTextEdit {
    Q_OBJECT

  public:
    using QPlainTextEdit::QPlainTextEdit;

  protected:
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
};
