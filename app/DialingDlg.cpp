#include "app/DialingDlg.h"

#include <QCloseEvent>

#include "app/Resource.h"
#include "ui_DialingDlg.h"

CDialingDlg::CDialingDlg(QWidget* parent) : CDialogBase(parent) {
    LoadTemplate<Ui::DialingDlg>();
    setWindowTitle(QString::fromUtf8(DIALING_CAPTION));
    // No close entry on the title bar: only Cancel ends a dial early.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    if (QWidget* text = GetDlgItem(IDC_DIALING_TEXT)) {
        QFont font = text->font();
        font.setPixelSize(18);
        text->setFont(font);
    }
    setFixedSize(sizeHint().expandedTo(minimumSize()));
}

void CDialingDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
}
