// The calculator dialog: each button's refusals with their texts and
// captions, its output format, the focus after a CRC refusal, the input
// field's upper case and limit, its paste of nothing, and the console's
// button that opens it.
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleFixture.h"
#include "PasteUtil.h"
#include "UiTestUtil.h"
#include "app/AssistFunDlg.h"
#include "app/QuillmarkDlg.h"
#include "app/Resource.h"
#include "app/WindowMessages.h"
#include "sim/ConsoleConfigXml.h"

namespace {

const char* const BOTH = "输入框和密钥框都要求输入8个字节(即16个合法的16进制字符)";
const char* const INPUT8 = "输入框要求输入8个字节(即16个合法的16进制字符)";
const char* const INPUT_HEX = "输入框中含有非16进制字符,请更正!";
const char* const KEY_HEX = "密钥框中含有非16进制字符,请更正!";
const char* const ODD = "输入数据:输入字符个数为奇数个，请重新输入!";

class AssistDlgTest : public ::testing::Test {
  protected:
    AssistDlgTest() : dlg(nullptr) { EXPECT_TRUE(dlg.Create()); }

    // Fills the fields as typed and presses button; returns the output.
    QString Press(const QString& input, const QString& key, int button) {
        dlg.SetItemText(IDC_ASSIST_INPUT, input);
        dlg.SetItemText(IDC_ASSIST_KEY, key);
        EXPECT_TRUE(dlg.ClickItem(button));
        return dlg.GetItemText(IDC_ASSIST_OUTPUT);
    }

    MessageCapture capture;
    CAssistFunDlg dlg;
};

TEST_F(AssistDlgTest, StartsEmptyUnderItsTitle) {
    EXPECT_EQ(dlg.windowTitle(), "辅助功能");
    for (int id : {IDC_ASSIST_INPUT, IDC_ASSIST_KEY, IDC_ASSIST_OUTPUT})
        EXPECT_TRUE(dlg.GetItemText(id).isEmpty()) << id;
}

TEST_F(AssistDlgTest, EachButtonResultOrRefusal) {
    const QString block = "0123456789ABCDEF";
    const QString key2 = "0123456789ABCDEFFEDCBA9876543210";
    struct Case {
        const char* name;
        QString input, key;
        int button;
        QString output;      // empty: refused
        const char* message; // with caption "提示" unless CRC
    } cases[] = {
        {"des encrypt", block, "133457799BBCDFF1", IDC_DES_ENCRYPT, "85E813540F0AB405", nullptr},
        {"des decrypt", "85E813540F0AB405", "133457799BBCDFF1", IDC_DES_DECRYPT, block, nullptr},
        {"3des encrypt", block, key2, IDC_TRIPLE_DES_ENCRYPT, "1A4D672DCA6CB335", nullptr},
        {"3des decrypt", "1A4D672DCA6CB335", key2, IDC_TRIPLE_DES_DECRYPT, block, nullptr},
        {"crc of the acknowledgement", "C2FFAC000154", "", IDC_CRC_CCITT, "0x3c,0x51", nullptr},
        {"crc of nothing", "", "", IDC_CRC_CCITT, "0xc7,0x8c", nullptr},
        {"xor with sixteen F", block, "FFFFFFFFFFFFFFFF", IDC_XOR, "FEDCBA9876543210", nullptr},
        {"xor with itself", block, block, IDC_XOR, "0000000000000000", nullptr},
        {"invert", block, "", IDC_INVERT, "FEDCBA9876543210", nullptr},
        {"invert sixteen G", "GGGGGGGGGGGGGGGG", "", IDC_INVERT, "FFFFFFFFFFFFFFFF", nullptr},
        {"des 15-digit key", block, "0123456789ABCDE", IDC_DES_ENCRYPT, "", BOTH},
        {"des decrypt short input", "0123", block, IDC_DES_DECRYPT, "", BOTH},
        {"des bad input", "0123456789ABCDEZ", block, IDC_DES_ENCRYPT, "", INPUT_HEX},
        {"des bad key", block, "0123456789ABCDE?", IDC_DES_DECRYPT, "", KEY_HEX},
        {"3des encrypt 16-digit key", block, block, IDC_TRIPLE_DES_ENCRYPT, "",
         "请输入16字节密钥(即32个合法的16进制字符)"},
        {"3des decrypt 16-digit key", block, block, IDC_TRIPLE_DES_DECRYPT, "", "请输入16字节密钥"},
        {"3des short input", "01", key2, IDC_TRIPLE_DES_ENCRYPT, "", INPUT8},
        {"3des bad digit in the last 16", block, "0123456789ABCDEF0123456789ABCDEX",
         IDC_TRIPLE_DES_ENCRYPT, "", KEY_HEX},
        {"3des non-Latin character", "0123456789ABCDE码", key2, IDC_TRIPLE_DES_DECRYPT, "",
         INPUT_HEX},
        {"xor short key", block, "FF", IDC_XOR, "", BOTH},
        {"invert short input", "FF", "", IDC_INVERT, "", INPUT8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dlg.SetItemText(IDC_ASSIST_OUTPUT, "PREVIOUS");
        capture.boxes.clear();
        const QString out = Press(c.input, c.key, c.button);
        if (c.message == nullptr) {
            EXPECT_TRUE(capture.boxes.empty());
            EXPECT_EQ(out, c.output);
            EXPECT_EQ(dlg.m_strOutput, c.output);
            continue;
        }
        EXPECT_EQ(out, "PREVIOUS");
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, QString::fromUtf8(c.message));
        EXPECT_EQ(capture.boxes[0].caption, "提示");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONNONE);
    }
}

TEST_F(AssistDlgTest, CrcRefusalsWarnAndSelectTheInput) {
    struct Case {
        const char* name;
        QString input;
        QString message;
    } cases[] = {
        {"five characters", "C2FFA", QString::fromUtf8(ODD)},
        {"a bad character", "C2-F", "输入数据:第3个字符不是合法的16进制字符，请重新输入"},
        {"600 digits", QString(600, '0'), "输入数据:第560个字符不是合法的16进制字符，请重新输入"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        capture.boxes.clear();
        dlg.FocusItem(IDC_ASSIST_KEY);
        EXPECT_EQ(Press(c.input, "", IDC_CRC_CCITT), "");
        ASSERT_EQ(capture.boxes.size(), 1u);
        EXPECT_EQ(capture.boxes[0].text, c.message);
        EXPECT_EQ(capture.boxes[0].caption, "警告");
        EXPECT_EQ(capture.boxes[0].icon, MB_ICONNONE);
        auto* input = dlg.GetDlgItemAs<QPlainTextEdit>(IDC_ASSIST_INPUT);
        EXPECT_EQ(dlg.focusWidget(), input);
        EXPECT_EQ(input->textCursor().selectedText().size(), c.input.size());
    }
}

TEST_F(AssistDlgTest, InputTurnsUpperCaseAndStopsAt700) {
    auto* input = dlg.GetDlgItemAs<QPlainTextEdit>(IDC_ASSIST_INPUT);
    input->insertPlainText("c2ffac000154");
    EXPECT_EQ(dlg.GetItemText(IDC_ASSIST_INPUT), "C2FFAC000154");
    dlg.ClickItem(IDC_CRC_CCITT);
    EXPECT_EQ(dlg.GetItemText(IDC_ASSIST_OUTPUT), "0x3c,0x51");
    input->insertPlainText(QString(800, 'a'));
    EXPECT_EQ(dlg.GetItemText(IDC_ASSIST_INPUT).size(), 700);
    EXPECT_FALSE(dlg.GetItemText(IDC_ASSIST_INPUT).contains('a'));
}

// An empty or absent clipboard pastes nothing by any route and leaves the
// text alone; a real paste still turns upper case and stops at the limit.
TEST_F(AssistDlgTest, PasteOfNothingKeepsTheTextAndARealPasteIsFiltered) {
    auto* input = dlg.GetDlgItemAs<QPlainTextEdit>(IDC_ASSIST_INPUT);
    QClipboard* clip = QGuiApplication::clipboard();
    for (const auto& route : PasteRoutes()) {
        for (const auto& empty : EmptyClipboards()) {
            dlg.SetItemText(IDC_ASSIST_INPUT, "AB");
            empty();
            route(input);
            EXPECT_EQ(dlg.GetItemText(IDC_ASSIST_INPUT), "AB");
        }
    }
    dlg.SetItemText(IDC_ASSIST_INPUT, "");
    clip->setText(QString(800, 'c'));
    PasteByMenu(input);
    EXPECT_EQ(dlg.GetItemText(IDC_ASSIST_INPUT), QString(700, 'C'));
    dlg.SetItemText(IDC_ASSIST_INPUT, "");
    clip->setText("c2ff");
    PasteByCtrlV(input);
    EXPECT_EQ(dlg.GetItemText(IDC_ASSIST_INPUT), "C2FF");
}

using AssistButton = ConsoleFixture;

TEST_F(AssistButton, OpensAFreshDialogWithoutAConnection) {
    CQuillmarkDlg& console = StartConsole(ConsoleConfigXml().Xml());
    std::vector<QString> seenInputs;
    for (int run = 0; run < 2; ++run) {
        QTimer::singleShot(0, [&] {
            CDialogBase* d = FindWindowByCaption("辅助功能");
            ASSERT_NE(d, nullptr);
            seenInputs.push_back(d->GetItemText(IDC_ASSIST_INPUT));
            d->SetItemText(IDC_ASSIST_INPUT, "C2FFAC000154");
            d->ClickItem(IDC_CRC_CCITT);
            EXPECT_EQ(d->GetItemText(IDC_ASSIST_OUTPUT), "0x3c,0x51");
            d->ClickItem(IDOK);
        });
        EXPECT_TRUE(console.ClickItem(IDC_ASSIST));
    }
    EXPECT_EQ(seenInputs, (std::vector<QString>{"", ""}));
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(FindWindowByCaption("辅助功能"), nullptr);
}

} // namespace
