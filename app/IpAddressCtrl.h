#pragma once

#include <QFrame>
#include <cstdint>

class QLineEdit;

// An IPv4 address typed in four fields of 0 to 255 separated by dots. Typing
// "." in a field that holds digits, or a third digit, moves to the next
// field; Backspace in an empty field and the arrow keys at a field's edge
// move to the neighbour. A value above 255 becomes 255.
class CIpAddressCtrl : public QFrame {
    Q_OBJECT

  public:
    explicit CIpAddressCtrl(QWidget* parent = nullptr);

    // Shows the four values.
    void SetAddress(uint8_t f0, uint8_t f1, uint8_t f2, uint8_t f3);
    // Reads the four values, a blank field as 0. Returns how many fields
    // hold digits.
    int GetAddress(uint8_t& f0, uint8_t& f1, uint8_t& f2, uint8_t& f3) const;
    // Blanks all four fields.
    void ClearAddress();

    // Field i (0..3), for focus and typing.
    QLineEdit* Field(int i) const { return m_fields[i]; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int IndexOf(QObject* field) const;
    void FocusField(int i, bool selectAll);
    void OnEdited(int i);

    QLineEdit* m_fields[4] = {};
};
