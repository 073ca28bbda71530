#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/PubCommands.h"

// A test script of `quillmark-cli run`: TOML text turned into plain step
// records. Nothing here talks to a terminal.
//
//   repeat = 2                       # the whole script, default 1
//   capture = "run.pcapng"           # record the run (beside the script)
//   [defaults]
//   machine = 1                      # exchanges and downloads
//   first_char_ms = 1000
//   inter_char_ms = 1000
//   [[step]]
//   name = "echo"                    # optional
//   exchange = "24"                  # command byte; or raw / raw_text, diag,
//   data = "0102"                    #   pub, download, pause_ms
//   expect_status = 0
//   expect_data = "01 ??"            # ?? takes any byte
//   repeat = 10

enum StepKind : int {
    STEP_EXCHANGE = 0,
    STEP_RAW = 1,
    STEP_DIAG = 2,
    STEP_PUB = 3,
    STEP_DOWNLOAD = 4,
    STEP_PAUSE = 5
};

// Expected bytes; -1 stands for "??", any byte.
using BytePattern = std::vector<int>;

// The verdicts a diagnostic reply can get.
enum DiagVerdict : int {
    VERDICT_OK = 0,            // the command's success text
    VERDICT_NO_CARD = 1,       // power on: no card or an unknown one
    VERDICT_TRANSFER_ERROR = 2 // the terminal's transfer-error frame
};

// Receive outcomes a step can expect instead of a reply.
enum ExpectedError : int {
    EXPECT_NO_ERROR = 0,
    EXPECT_NO_REPLY = 1,    // nothing within F: -6 (UDP -4)
    EXPECT_TIMEOUT = 2,     // a reply cut off within I: -4
    EXPECT_RECV_ERROR = 3,  // -2
    EXPECT_CHECKSUM = 4,    // -9
    EXPECT_NOT_FRAME = 5,   // -10
    EXPECT_PEER_CLOSED = 6, // -15
    EXPECT_CONN_LOST = 7    // -16
};

// The names scripts use for ExpectedError (index = value; 0 has none).
extern const char* const EXPECTED_ERROR_NAMES[8];
// The names scripts use for DiagVerdict.
extern const char* const VERDICT_NAMES[3];

// The dialog's inputs compare field by field (scripts written back out).
inline bool operator==(const PubInput& a, const PubInput& b) {
    return a.nCommand == b.nCommand && a.strId == b.strId && a.nMachineNo == b.nMachineNo &&
           a.strLowId == b.strLowId && a.nRate == b.nRate;
}

// The decoded fields a public command is to give; absent ones are not judged.
struct PubExpect {
    std::optional<std::string> strId;
    std::optional<std::string> strLowId;
    std::optional<int> nMachineNo;
    std::optional<std::string> strType;
    std::optional<std::string> strVersion;
    std::optional<std::string> strDoneTime;
    bool operator==(const PubExpect&) const = default;
};

// A decoded field in an expectation and in the reply it judges.
template <typename T> struct PubFieldOf {
    std::optional<T> PubExpect::*expect = nullptr;
    std::optional<T> PubReply::*reply = nullptr;
};

// One field a public command's reply is judged on: its key in a step's
// expect table (and its name in messages), and where it is kept. A field is
// text (hex digits read in upper case when bUpper) or the machine number.
struct PubExpectField {
    const char* key;
    PubFieldOf<std::string> text;
    PubFieldOf<int> number;
    bool bUpper = false;
};

// Every field a public command's expectation may name, in the order the
// reader lists them.
inline constexpr PubExpectField PUB_EXPECT_FIELDS[] = {
    {"id", {&PubExpect::strId, &PubReply::strId}, {}, true},
    {"low_id", {&PubExpect::strLowId, &PubReply::strLowId}, {}, true},
    {"machine", {}, {&PubExpect::nMachineNo, &PubReply::nMachineNo}},
    {"type", {&PubExpect::strType, &PubReply::strType}, {}},
    {"version", {&PubExpect::strVersion, &PubReply::strVersion}, {}},
    {"done_time", {&PubExpect::strDoneTime, &PubReply::strDoneTime}, {}},
};

struct ScriptStep {
    std::string strName; // the script's name, else one made from the step
    int nKind = STEP_EXCHANGE;
    int nRepeat = 1;
    int nLine = 0; // where the step's table begins in the script
    int nMachine = 1;
    int nFirstChar = 1000; // ms
    int nInterChar = 1000; // ms

    // Exchange: the request; what the reply must be (absent: not judged).
    uint8_t nCommand = 0;
    std::vector<uint8_t> data;
    std::optional<int> nExpectStatus;
    std::optional<int> nExpectLength;
    std::optional<BytePattern> expectData;

    // Raw: the bytes sent (with a carriage return when bCr); a step without
    // expectRaw or an expected error only sends.
    std::vector<uint8_t> rawBytes;
    bool bRawText = false; // rawBytes came from raw_text
    bool bCr = false;
    std::optional<BytePattern> expectRaw;

    // Diagnostic (DiagCommand) and its verdict.
    int nDiag = 0;
    int nExpectVerdict = VERDICT_OK;

    // Public command: the dialog's inputs and the fields expected.
    PubInput pubInput;
    PubExpect pubExpect;

    // Download: the path as written and resolved against the script's folder.
    std::string strFile;
    std::string strFilePath;

    int nPauseMs = 0;

    // Exchange, raw, diagnostic, public command: a receive error expected.
    int nExpectError = EXPECT_NO_ERROR;

    bool operator==(const ScriptStep&) const = default;
};

struct Script {
    int nRepeat = 1;
    int nMachine = 1;
    int nFirstChar = 1000;
    int nInterChar = 1000;
    bool bFirstCharSet = false; // the defaults table names first_char_ms
    bool bInterCharSet = false;
    // The capture file the run is recorded to: as written, and resolved
    // against the script's folder; empty when the script names none.
    std::string strCapture;
    std::string strCapturePath;
    std::vector<ScriptStep> steps;
};

// Limits of the numbers a script may hold.
constexpr int SCRIPT_REPEAT_MAX = 1000000;
constexpr int SCRIPT_PAUSE_MAX_MS = 3600000;

// Parses script text. The machine number and time-outs script holds on the
// way in are the defaults for what [defaults] does not set. fileName
// prefixes the messages; download paths are resolved against baseDir and
// must name a readable file. Returns true with script filled, else false
// with "FILE:LINE:COLUMN: what was expected" in error and script untouched.
bool ParseScriptText(const std::string& text, const std::string& fileName,
                     const std::string& baseDir, Script& script, std::string& error);

// Reads the file at path and parses it as ParseScriptText does (with the
// same defaults on the way in). A file that
// cannot be read gives false and "PATH: cannot read the script".
bool LoadScript(const std::string& path, Script& script, std::string& error);

// A pattern as scripts write it, "01 ?? 03"; empty for none.
std::string PatternText(const BytePattern& p);

// The script as TOML text that ParseScriptText turns back into the same
// steps (defaults written out into each step).
std::string WriteScriptText(const Script& script);
