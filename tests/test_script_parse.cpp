// The script reader: each step kind, the defaults, and every malformed
// input refused with its file, line and column.
#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "cli/ScriptParse.h"
#include "protocol/Diagnostics.h"

namespace {

class ScriptParse : public ::testing::Test {
  protected:
    void SetUp() override { m_dir.Write("fw.bin", std::string(300, '\x5A')); }

    bool Parse(const std::string& text, Script& script, std::string& error) const {
        return ParseScriptText(text, "s.toml", m_dir.path.string(), script, error);
    }

    TempDir m_dir;
};

TEST_F(ScriptParse, EachStepKind) {
    const std::string text = R"(repeat = 2
[defaults]
machine = 7
first_char_ms = 300

[[step]]
exchange = "a4"
data = "01 02 ff"
expect_status = 0
expect_length = 3
expect_data = "01 ?? FF"
repeat = 5

[[step]]
name = "ping"
raw = "55AA"
cr = true
expect_raw = "??"
inter_char_ms = 20

[[step]]
raw_text = "AT"
expect_error = "no-reply"

[[step]]
diag = "power-on"
expect_verdict = "no-card"

[[step]]
pub = "set-machine"
id = "0a0b0c0d"
machine = 12
expect = { id = "0A0B0C0D", machine = 12 }

[[step]]
pub = "set-rate"
rate = 57600

[[step]]
download = "fw.bin"

[[step]]
pause_ms = 250
)";
    Script s;
    std::string error;
    ASSERT_TRUE(Parse(text, s, error)) << error;
    EXPECT_EQ(s.nRepeat, 2);
    ASSERT_EQ(s.steps.size(), 8u);

    const ScriptStep& ex = s.steps[0];
    EXPECT_EQ(ex.nKind, STEP_EXCHANGE);
    EXPECT_EQ(ex.strName, "exchange A4");
    EXPECT_EQ(ex.nCommand, 0xA4);
    EXPECT_EQ(ex.data, (std::vector<uint8_t>{0x01, 0x02, 0xFF}));
    EXPECT_EQ(ex.nMachine, 7);
    EXPECT_EQ(ex.nFirstChar, 300);
    EXPECT_EQ(ex.nInterChar, 1000);
    EXPECT_EQ(ex.nExpectStatus, 0);
    EXPECT_EQ(ex.nExpectLength, 3);
    EXPECT_EQ(ex.expectData, (BytePattern{0x01, -1, 0xFF}));
    EXPECT_EQ(ex.nRepeat, 5);

    const ScriptStep& raw = s.steps[1];
    EXPECT_EQ(raw.nKind, STEP_RAW);
    EXPECT_EQ(raw.strName, "ping");
    EXPECT_EQ(raw.rawBytes, (std::vector<uint8_t>{0x55, 0xAA}));
    EXPECT_TRUE(raw.bCr);
    EXPECT_EQ(raw.expectRaw, BytePattern{-1});
    EXPECT_EQ(raw.nInterChar, 20);

    EXPECT_EQ(s.steps[2].rawBytes, (std::vector<uint8_t>{'A', 'T'}));
    EXPECT_TRUE(s.steps[2].bRawText);
    EXPECT_EQ(s.steps[2].nExpectError, EXPECT_NO_REPLY);
    EXPECT_FALSE(s.steps[2].expectRaw);

    EXPECT_EQ(s.steps[3].nDiag, DIAG_POWER_ON);
    EXPECT_EQ(s.steps[3].nExpectVerdict, VERDICT_NO_CARD);

    const ScriptStep& pub = s.steps[4];
    EXPECT_EQ(pub.pubInput.nCommand, PUB_SET_MACHINE_BY_ID);
    EXPECT_EQ(pub.pubInput.strId, "0A0B0C0D");
    EXPECT_EQ(pub.pubInput.nMachineNo, 12);
    EXPECT_EQ(pub.pubExpect.strId, "0A0B0C0D");
    EXPECT_EQ(pub.pubExpect.nMachineNo, 12);
    EXPECT_EQ(s.steps[5].pubInput.nRate, 6);

    EXPECT_EQ(s.steps[6].nKind, STEP_DOWNLOAD);
    EXPECT_EQ(s.steps[6].strFilePath, (m_dir.path / "fw.bin").string());
    EXPECT_EQ(s.steps[6].nMachine, 7);
    EXPECT_EQ(s.steps[7].nPauseMs, 250);
}

TEST_F(ScriptParse, NonAsciiTextInStringsAndCommentsIsKept) {
    Script s;
    std::string error;
    ASSERT_TRUE(Parse("# 上电、下电。\n[[step]]\nname = \"上电、下电\" # 注释\npause_ms = 1\n"
                      "[[step]]\nname = \'\'\'多行、\n文本\'\'\'\npause_ms = 2\n"
                      "[[step]]\nname = \"\"\"a\\\n  b、\"\"\"\npause_ms = 3\n",
                      s, error))
        << error;
    EXPECT_EQ(s.steps[0].strName, "上电、下电");
    EXPECT_EQ(s.steps[1].strName, "多行、\n文本");
    EXPECT_EQ(s.steps[2].strName, "ab、");
}

TEST_F(ScriptParse, DefaultsComeFromTheCallerUnlessTheScriptSetsThem) {
    Script s;
    s.nFirstChar = 40;
    s.nInterChar = 50;
    std::string error;
    ASSERT_TRUE(Parse("[defaults]\ninter_char_ms = 60\n[[step]]\ndiag = \"version\"\n", s, error))
        << error;
    EXPECT_EQ(s.steps[0].nFirstChar, 40);
    EXPECT_EQ(s.steps[0].nInterChar, 60);
    EXPECT_FALSE(s.bFirstCharSet);
    EXPECT_TRUE(s.bInterCharSet);
}

TEST_F(ScriptParse, RefusesMalformedScriptsWithLineAndColumn) {
    struct Case {
        const char* text;
        const char* error; // the whole message after "s.toml:"
    };
    const Case cases[] = {
        {"[[step]]\nexchange = \"10\"\ndata = \"01G2\"\n",
         "3:11: 'data': expected hex digit pairs, character 3 is 'G'"},
        {"[[step]]\nexchange = \"10\"\ndata = \"012\"\n",
         "3:12: 'data': expected hex digit pairs, an odd number of digits"},
        {"[[step]]\nexchange = \"10\"\ndata = \"01 ??\"\n",
         "3:12: 'data': expected hex digit pairs, character 4 is '?'"},
        {"[[step]]\nexchange = \"10\"\nexpect_data = \"0?\"\n",
         "3:17: 'expect_data': expected hex digit pairs or ??, character 2 is '?'"},
        {"[[step]]\nexchange = \"1\"\n",
         "2:14: 'exchange': expected hex digit pairs, an odd number of digits"},
        {"[[step]]\nexchange = \"1011\"\n",
         "2:12: 'exchange': expected the command byte, two hex digits"},
        {"[[step]]\nexchange = \"10\"\nexpect_stauts = 0\n",
         "3:1: unknown key 'expect_stauts' in step 1 (exchange); expected one of exchange, name, "
         "repeat, data, machine, expect_status, expect_length, expect_data, expect_error, "
         "first_char_ms, inter_char_ms"},
        {"[[step]]\ndownload = \"fw.bin\"\nfirst_char_ms = 5\n",
         "3:1: unknown key 'first_char_ms' in step 1 (download); expected one of download, name, "
         "repeat, machine"},
        {"[[step]]\nexchange = \"10\"\nrepeat = \"3\"\n",
         "3:10: 'repeat': expected an integer 1 to 1000000, got a string"},
        {"[[step]]\nexchange = \"10\"\nrepeat = 0\n",
         "3:10: 'repeat': expected an integer 1 to 1000000, got 0"},
        {"[[step]]\nexchange = \"10\"\nmachine = 256\n",
         "3:11: 'machine': expected an integer 0 to 255, got 256"},
        {"[[step]]\nraw = \"00\"\ncr = 1\n", "3:6: 'cr': expected true or false, got an integer"},
        {"[[step]]\ndownload = \"missing.bin\"\n", "2:12: 'download': expected a readable file, '"},
        {"[[step]]\nname = \"x\"\n",
         "1:1: step 1: expected one of exchange, raw, raw_text, diag, pub, download, pause_ms"},
        {"[[step]]\ndiag = \"version\"\npause_ms = 5\n",
         "3:12: step 1: 'pause_ms' with 'diag'; expected one step kind per step"},
        {"[[step]]\nexchange = \"10\"\nexpect_status = 0\nexpect_error = \"timeout\"\n",
         "3:17: step 1: 'expect_status' with 'expect_error'; a step expects a reply or an error, "
         "not both"},
        {"[[step]]\nexchange = \"10\"\nexpect_error = \"late\"\n",
         "3:16: 'expect_error': expected one of no-reply, timeout, recv-error, checksum, "
         "not-frame, peer-closed, conn-lost, got 'late'"},
        {"[[step]]\ndiag = \"reboot\"\n",
         "2:8: 'diag': expected one of version, reader-id, power-on, power-off, got 'reboot'"},
        {"[[step]]\ndiag = \"version\"\nexpect_verdict = \"no-card\"\n",
         "3:18: 'expect_verdict': 'no-card' is a verdict of power-on only"},
        {"[[step]]\npub = \"set-id\"\nid = \"1234567\"\n",
         "1:1: step 1: 请输入合法的4字节ID号(十六进制表示)!"},
        {"[[step]]\npub = \"query\"\nlow_id = \"7\"\n", "1:1: step 1: "},
        {"[[step]]\npub = \"read-id\"\nexpect = { serial = \"1\" }\n",
         "3:12: unknown key 'serial' in 'expect'; expected one of id, low_id, machine, type, "
         "version, done_time"},
        {"[[step]]\npub = \"set-rate\"\nrate = 38400\n",
         "3:8: 'rate': expected one of 19200, 9600, 4800, 2400, 1200, 28800, 57600, 115200, got "
         "'38400'"},
        {"[[step]]\npause_ms = -1\n", "2:12: 'pause_ms': expected an integer 0 to 3600000, got -1"},
        {"[defaults]\nfirst_char_ms = 0\n[[step]]\npause_ms = 1\n",
         "2:17: 'first_char_ms': expected an integer 1 to 50000, got 0"},
        {"[defaults]\nmachine = 0\n[[step]]\ndownload = \"fw.bin\"\n",
         "3:1: step 1: 'machine': expected 1 to 255 for a download, the default is 0"},
        {"[defaults]\nretries = 3\n[[step]]\npause_ms = 1\n",
         "2:1: unknown key 'retries' in [defaults]; expected one of machine, first_char_ms, "
         "inter_char_ms"},
        {"steps = 1\n", "1:1: unknown key 'steps' in the script; expected one of repeat, "
                        "capture, defaults, step"},
        {"capture = \"\"\n[[step]]\npause_ms = 1\n",
         "1:11: 'capture': expected a file name, got ''"},
        {"capture = 1\n[[step]]\npause_ms = 1\n",
         "1:11: 'capture': expected a string, got an integer"},
        {"repeat = 2\n", "1:1: expected at least one [[step]]"},
        {"step = 3\n", "1:8: 'step': expected [[step]] tables"},
        {"[[step]]\npause_ms = \x01\n", "2:12: Error while parsing value"},
        {"[[step]]\nname = \"a\x7F\"\n", "2:10: Error while parsing string"},
        // Where the TOML library fails one of its own checks: at the
        // character it could not take, counted in characters.
        {"[[step]]\n[[\x01]]\n", "2:3: expected valid TOML, the reader cannot go on from here"},
        {"[[step]]\npause_ms = 1\n [[+step]]\n",
         "3:4: expected valid TOML, the reader cannot go on from here"},
        {"[[step]]\npause_ms = 1\n[\n",
         "3:2: expected valid TOML, the reader cannot go on from here"},
        {"[[step]]\npause_ms = [ 1,\n# c\n  } ]\n",
         "4:3: expected valid TOML, the reader cannot go on from here"},
        {"[[step]]\npause_ms = [ \"\xE3\x80\x81\", } ]\n",
         "2:19: expected valid TOML, the reader cannot go on from here"},
        {"[[step]]\npause_ms = 1x\"\xE3\x80\x81\"\n",
         "2:15: expected ASCII outside strings and comments"},
        {"[[step]]\npause_ms = 1 \xE3\x80\x81\n",
         "2:14: expected ASCII outside strings and comments"},
        {"[[step]]\npause_ms = 1\nkey\xE3\x80\x81 = 1\n",
         "3:4: expected ASCII outside strings and comments"},
        // A quoted key is safe to read, whatever it holds.
        {"[[step]]\npause_ms = 1\n\"\xE5\x90\x8D\" = \"x\"\n",
         "3:1: unknown key '\xE5\x90\x8D' in step 1 (pause_ms)"},
        {"[[step]]\nname = \"\"\"a\\\n  \xE3\x80\x81\"\"\"\npause_ms = 1\n",
         "3:3: expected ASCII after a backslash in a multi-line string"},
        // An escaped quote followed by two more does not close the string.
        {"[[step]]\nname = \"\"\"a\\\"\"\" \\\xEF\xBB\xB6\"\"\"\n",
         "2:18: expected ASCII after a backslash in a multi-line string"},
        {"[[step]]\nexchange = \"10\"\ndata = 12\n",
         "3:8: 'data': expected a string, got an integer"},
    };
    for (const Case& c : cases) {
        Script s;
        s.nRepeat = 99;
        std::string error;
        EXPECT_FALSE(Parse(c.text, s, error)) << c.text;
        EXPECT_EQ(error.rfind(std::string("s.toml:") + c.error, 0), 0u)
            << c.text << "\n got: " << error;
        EXPECT_EQ(s.nRepeat, 99) << "script touched: " << c.text;
        EXPECT_TRUE(s.steps.empty());
    }
}

TEST_F(ScriptParse, TomlSyntaxErrorsCarryTheirPosition) {
    Script s;
    std::string error;
    EXPECT_FALSE(Parse("[[step]]\nexchange = \"10\"\ndata = \"01\n", s, error));
    EXPECT_EQ(error.rfind("s.toml:3:", 0), 0u) << error;
    EXPECT_FALSE(Parse("[[step]]\nexchange = \"10\"\nexchange = \"11\"\n", s, error));
    EXPECT_EQ(error.rfind("s.toml:3:", 0), 0u) << error;
}

TEST_F(ScriptParse, LoadScriptResolvesFilesBesideTheScript) {
    m_dir.Write("check.toml", "capture = \"out/run.pcapng\"\n[[step]]\ndownload = \"fw.bin\"\n");
    Script s;
    std::string error;
    ASSERT_TRUE(LoadScript((m_dir.path / "check.toml").string(), s, error)) << error;
    EXPECT_EQ(s.steps[0].strFilePath, (m_dir.path / "fw.bin").string());
    EXPECT_EQ(s.strCapture, "out/run.pcapng");
    EXPECT_EQ(s.strCapturePath, (m_dir.path / "out" / "run.pcapng").string());
    EXPECT_FALSE(LoadScript((m_dir.path / "none.toml").string(), s, error));
    EXPECT_NE(error.find("none.toml: cannot read the script"), std::string::npos) << error;
}

TEST_F(ScriptParse, DownloadLargerThanTheImageBufferIsRefused) {
    m_dir.Write("big.bin", std::string(61441, '\0'));
    Script s;
    std::string error;
    EXPECT_FALSE(Parse("[[step]]\ndownload = \"big.bin\"\n", s, error));
    EXPECT_NE(error.find("expected at most 61440 bytes"), std::string::npos) << error;
}

TEST_F(ScriptParse, WrittenScriptParsesToTheSameSteps) {
    const std::string text = R"(repeat = 3
capture = "run.pcapng"
[defaults]
machine = 9
[[step]]
exchange = "10"
data = "0102"
expect_data = "01??"
expect_length = 2
[[step]]
raw_text = "a \"quoted\"\ttab"
cr = true
expect_raw = "4F 4B"
[[step]]
raw = "C0"
expect_error = "timeout"
first_char_ms = 20
[[step]]
diag = "power-off"
[[step]]
pub = "query"
low_id = "7f"
expect = { id = "0a0b0c0d", low_id = "7f", machine = 3, type = "3,1", version = "2024年05月17日10时", done_time = "2024年05月17日11时" }
[[step]]
download = "fw.bin"
repeat = 2
[[step]]
name = "wait"
pause_ms = 0
[[step]]
name = "three quotes ''' and a\nline break"
pause_ms = 1
)";
    Script first;
    std::string error;
    ASSERT_TRUE(Parse(text, first, error)) << error;
    // Every decoded field an expectation may name goes out and comes back.
    const PubExpect& pub = first.steps[4].pubExpect;
    EXPECT_EQ(pub.strId, "0A0B0C0D");
    EXPECT_EQ(pub.strLowId, "7F");
    EXPECT_EQ(pub.nMachineNo, 3);
    EXPECT_EQ(pub.strDoneTime, "2024年05月17日11时");
    const std::string written = WriteScriptText(first);
    Script second;
    ASSERT_TRUE(Parse(written, second, error)) << error << "\n" << written;
    EXPECT_EQ(second.nRepeat, first.nRepeat);
    EXPECT_EQ(second.strCapture, "run.pcapng");
    EXPECT_EQ(second.strCapturePath, first.strCapturePath);
    EXPECT_EQ(second.steps, first.steps) << written;
}

} // namespace
