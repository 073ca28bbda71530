#pragma once

#include <QString>
#include <cstdint>
#include <string>

class CDialogBase;
class QWidget;

// One pass of data exchange between a dialog's members and its controls, in
// binding order. Reading checks each field; the first failure shows the
// range message (caption "提示"), focuses and selects the field, and makes
// every later call of the pass do nothing. Writing never fails, and leaves
// alone a field whose text already shows the value.
class CDataExchange {
  public:
    CDataExchange(CDialogBase& dlg, bool bSaveAndValidate);

    const bool m_bSaveAndValidate;
    bool Failed() const { return m_bFailed; }
    // Writing leaves alone the editable field that has the keyboard focus:
    // what the user is typing there, its caret and selection stay.
    void KeepFocusedEdit();

    // An integer field; reading refuses text that is not an integer or lies
    // outside nMin..nMax.
    void Text(int id, int& value, int nMin, int nMax);
    void Text(int id, int& value);
    // A text field (edit, label, button caption); reading refuses more than
    // nMaxChars characters when nMaxChars > 0, and writing then limits an
    // edit to that many.
    void Text(int id, QString& value, int nMaxChars = 0);
    // The same for a UTF-8 text member.
    void Text(int id, std::string& value, int nMaxChars = 0);
    void Check(int id, bool& value);
    // The selected item of a combo box, -1 for none.
    void CBIndex(int id, int& value);
    // The four fields of an IPv4-address control; a blank field reads 0.
    void IPAddress(int id, uint8_t (&fields)[4]);

  private:
    void Fail(int id, const QString& message);
    bool ReadInt(int id, int& value);

    bool Kept(int id) const;
    // Writes text into the field unless it is kept or already shows it.
    void Write(int id, const QString& text);

    CDialogBase& m_dlg;
    bool m_bFailed = false;
    const QWidget* m_pKept = nullptr;
};
