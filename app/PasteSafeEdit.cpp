#include "app/PasteSafeEdit.h"

#include <QMimeData>

namespace {

bool HasText(const QMimeData* source) {
    return source && source->hasText() && !source->text().isEmpty();
}

} // namespace

bool CPasteSafeEdit::canInsertFromMimeData(const QMimeData* source) const {
    return HasText(source);
}

void CPasteSafeEdit::insertFromMimeData(const QMimeData* source) {
    if (HasText(source))
        QPlainTextEdit::insertFromMimeData(source);
}
