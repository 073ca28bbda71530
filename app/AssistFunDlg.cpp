#include "app/AssistFunDlg.h"

#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextCursor>

#include "app/DataExchange.h"
#include "app/MessageBox.h"
#include "app/Resource.h"
#include "protocol/HexCrc.h"
#include "tools/AssistCalc.h"
#include "ui_AssistFunDlg.h"

namespace {

constexpr int INPUT_MAX_CHARS = 700;
constexpr int KEY_MAX_CHARS = 64;
constexpr int OUTPUT_MAX_CHARS = 64;
constexpr char ENCRYPT = '0';
constexpr char DECRYPT = '1';

namespace txt {
const char* const BothNot8Bytes = "输入框和密钥框都要求输入8个字节(即16个合法的16进制字符)";
const char* const InputNot8Bytes = "输入框要求输入8个字节(即16个合法的16进制字符)";
const char* const EncryptKeyNot16Bytes = "请输入16字节密钥(即32个合法的16进制字符)";
const char* const DecryptKeyNot16Bytes = "请输入16字节密钥";
const char* const InputNotHex = "输入框中含有非16进制字符,请更正!";
const char* const KeyNotHex = "密钥框中含有非16进制字符,请更正!";
const char* const CrcOddLength = "输入数据:输入字符个数为奇数个，请重新输入!";
const char* const CrcBadChar = "输入数据:第%d个字符不是合法的16进制字符，请重新输入";
} // namespace txt

// One byte per character, as the hex checks count them; characters outside
// Latin-1 become '?' and fail those checks.
std::string Chars(const QString& s) {
    return s.toLatin1().toStdString();
}

} // namespace

CAssistFunDlg::CAssistFunDlg(QWidget* parent) : CDialogBase(parent) {
    LoadTemplate<Ui::AssistFunDlg>();
    if (auto* input = GetDlgItemAs<QPlainTextEdit>(IDC_ASSIST_INPUT))
        connect(input, &QPlainTextEdit::textChanged, this, [this] { FixInputText(); });
    OnClicked(IDC_DES_ENCRYPT, [this] { OnDesEncrypt(); });
    OnClicked(IDC_DES_DECRYPT, [this] { OnDesDecrypt(); });
    OnClicked(IDC_TRIPLE_DES_ENCRYPT, [this] { OnTripleDesEncrypt(); });
    OnClicked(IDC_TRIPLE_DES_DECRYPT, [this] { OnTripleDesDecrypt(); });
    OnClicked(IDC_CRC_CCITT, [this] { OnCrcCcitt(); });
    OnClicked(IDC_XOR, [this] { OnXor(); });
    OnClicked(IDC_INVERT, [this] { OnInvert(); });
}

void CAssistFunDlg::DoDataExchange(CDataExchange& dx) {
    dx.Text(IDC_ASSIST_INPUT, m_strInput, INPUT_MAX_CHARS);
    dx.Text(IDC_ASSIST_KEY, m_strKey, KEY_MAX_CHARS);
    dx.Text(IDC_ASSIST_OUTPUT, m_strOutput, OUTPUT_MAX_CHARS);
}

// The multi-line input has no upper-case style or length limit of its own:
// letters are raised and the text cut to its limit as it changes.
void CAssistFunDlg::FixInputText() {
    auto* input = GetDlgItemAs<QPlainTextEdit>(IDC_ASSIST_INPUT);
    const QString text = input->toPlainText();
    const QString fixed = text.toUpper().left(INPUT_MAX_CHARS);
    if (fixed == text)
        return;
    const int caret = std::min(input->textCursor().position(), static_cast<int>(fixed.size()));
    QSignalBlocker block(input);
    input->setPlainText(fixed);
    QTextCursor cursor = input->textCursor();
    cursor.setPosition(caret);
    input->setTextCursor(cursor);
}

void CAssistFunDlg::ShowResult(const std::string& hex) {
    m_strOutput = QString::fromStdString(hex);
    UpdateData(false);
}

bool CAssistFunDlg::Refused(int code, char mode) {
    const char* text = nullptr;
    switch (code) {
    case ASSIST_OK:
        return false;
    case ASSIST_BOTH_NOT_8_BYTES:
        text = txt::BothNot8Bytes;
        break;
    case ASSIST_INPUT_NOT_8_BYTES:
        text = txt::InputNot8Bytes;
        break;
    case ASSIST_KEY_NOT_16_BYTES:
        text = mode == ENCRYPT ? txt::EncryptKeyNot16Bytes : txt::DecryptKeyNot16Bytes;
        break;
    case ASSIST_INPUT_NOT_HEX:
        text = txt::InputNotHex;
        break;
    default:
        text = txt::KeyNotHex;
        break;
    }
    MessageBox(Text(text), Text(CAPTION_HINT));
    return true;
}

void CAssistFunDlg::RunDes(char mode) {
    if (!UpdateData(true))
        return;
    std::string out;
    if (!Refused(AssistDes(Chars(m_strInput), Chars(m_strKey), mode, out), mode))
        ShowResult(out);
}

void CAssistFunDlg::RunTripleDes(char mode) {
    if (!UpdateData(true))
        return;
    std::string out;
    if (!Refused(AssistTripleDes(Chars(m_strInput), Chars(m_strKey), mode, out), mode))
        ShowResult(out);
}

void CAssistFunDlg::OnDesEncrypt() {
    RunDes(ENCRYPT);
}

void CAssistFunDlg::OnDesDecrypt() {
    RunDes(DECRYPT);
}

void CAssistFunDlg::OnTripleDesEncrypt() {
    RunTripleDes(ENCRYPT);
}

void CAssistFunDlg::OnTripleDesDecrypt() {
    RunTripleDes(DECRYPT);
}

void CAssistFunDlg::OnCrcCcitt() {
    if (!UpdateData(true))
        return;
    const std::string input = Chars(m_strInput);
    uint16_t crc = 0;
    const int rc = HexCrc(input.c_str(), static_cast<int>(input.size()), crc);
    if (rc != 0) {
        const QString text =
            rc == HEX_ODD_LENGTH ? Text(txt::CrcOddLength) : QString::asprintf(txt::CrcBadChar, rc);
        MessageBox(text, Text(CAPTION_WARNING));
        FocusItem(IDC_ASSIST_INPUT);
        SetSel(IDC_ASSIST_INPUT, 0, -1);
        return;
    }
    ShowResult(HexCrcText(crc));
}

void CAssistFunDlg::OnXor() {
    if (!UpdateData(true))
        return;
    std::string out;
    if (!Refused(AssistXor(Chars(m_strInput), Chars(m_strKey), out), ENCRYPT))
        ShowResult(out);
}

void CAssistFunDlg::OnInvert() {
    if (!UpdateData(true))
        return;
    std::string out;
    if (!Refused(AssistInvert(Chars(m_strInput), out), ENCRYPT))
        ShowResult(out);
}
