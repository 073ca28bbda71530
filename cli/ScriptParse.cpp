// The script reader. toml++ is used header-only and without exceptions in
// this one file: its parse errors come back as values with their position.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "cli/ScriptParse.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string_view>

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliText.h"
#include "protocol/Download.h"
#include "protocol/Frame.h"

const char* const EXPECTED_ERROR_NAMES[8] = {"",         "no-reply",  "timeout",     "recv-error",
                                             "checksum", "not-frame", "peer-closed", "conn-lost"};
const char* const VERDICT_NAMES[3] = {"ok", "no-card", "transfer-error"};

namespace {

namespace fs = std::filesystem;

constexpr int EXPECT_ERROR_COUNT = 8;
constexpr int VERDICT_COUNT = 3;

// Keys each step kind takes besides the kind key itself.
const std::initializer_list<std::string_view> COMMON_KEYS = {"name", "repeat"};
const std::initializer_list<std::string_view> TIMEOUT_KEYS = {"first_char_ms", "inter_char_ms"};

struct KindKeys {
    int kind;
    std::string_view key;
    std::initializer_list<std::string_view> keys;
    bool bTimeouts;
};

const KindKeys KINDS[] = {
    {STEP_EXCHANGE,
     "exchange",
     {"data", "machine", "expect_status", "expect_length", "expect_data", "expect_error"},
     true},
    {STEP_RAW, "raw", {"cr", "expect_raw", "expect_error"}, true},
    {STEP_RAW, "raw_text", {"cr", "expect_raw", "expect_error"}, true},
    {STEP_DIAG, "diag", {"expect_verdict", "expect_error"}, true},
    {STEP_PUB, "pub", {"id", "low_id", "machine", "rate", "expect", "expect_error"}, true},
    {STEP_DOWNLOAD, "download", {"machine"}, false},
    {STEP_PAUSE, "pause_ms", {}, false},
};

const std::initializer_list<std::string_view> PUB_EXPECT_KEYS = {"id",   "low_id",  "machine",
                                                                 "type", "version", "done_time"};

// A file the script names, relative to the script's folder unless absolute.
fs::path Resolved(const fs::path& baseDir, const std::string& name) {
    return (fs::path(name).is_absolute() ? fs::path(name) : baseDir / name).lexically_normal();
}

std::string Quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

std::string Joined(std::initializer_list<std::string_view> a,
                   std::initializer_list<std::string_view> b = {},
                   std::initializer_list<std::string_view> c = {}) {
    std::string out;
    for (auto list : {a, b, c})
        for (std::string_view k : list)
            out += (out.empty() ? "" : ", ") + std::string(k);
    return out;
}

// Collects the first error; every check after it is skipped by the callers.
class CReader {
  public:
    explicit CReader(const std::string& fileName) : m_file(fileName) {}

    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }

    void Fail(const toml::source_position& at, const std::string& what, int columnOffset = 0) {
        if (Failed())
            return;
        m_error = m_file + ":" + std::to_string(at.line) + ":" +
                  std::to_string(at.column + columnOffset) + ": " + what;
    }

    // An integer within lo..hi, else an error at the value.
    bool Int(const toml::node& node, std::string_view key, long long lo, long long hi, int& out) {
        const auto* v = node.as_integer();
        if (v == nullptr) {
            Fail(node.source().begin, Quoted(key) + ": expected an integer " + Range(lo, hi) +
                                          ", got " + TypeName(node));
            return false;
        }
        if (v->get() < lo || v->get() > hi) {
            Fail(node.source().begin, Quoted(key) + ": expected an integer " + Range(lo, hi) +
                                          ", got " + std::to_string(v->get()));
            return false;
        }
        out = static_cast<int>(v->get());
        return true;
    }

    bool String(const toml::node& node, std::string_view key, std::string& out) {
        const auto* v = node.as_string();
        if (v == nullptr) {
            Fail(node.source().begin, Quoted(key) + ": expected a string, got " + TypeName(node));
            return false;
        }
        out = v->get();
        return true;
    }

    bool Bool(const toml::node& node, std::string_view key, bool& out) {
        const auto* v = node.as_boolean();
        if (v == nullptr) {
            Fail(node.source().begin,
                 Quoted(key) + ": expected true or false, got " + TypeName(node));
            return false;
        }
        out = v->get();
        return true;
    }

    // Hex digit pairs, spaces between pairs allowed; "??" when bWild.
    bool Hex(const toml::node& node, std::string_view key, bool bWild, size_t maxBytes,
             BytePattern& out) {
        std::string text;
        if (!String(node, key, text))
            return false;
        BytePattern bytes;
        const std::string upper = UpperAscii(text);
        size_t i = 0;
        while (i < upper.size()) {
            if (upper[i] == ' ' || upper[i] == '\t') {
                ++i;
                continue;
            }
            const size_t bad = PairError(upper, i, bWild);
            if (bad != std::string::npos) {
                const std::string what = bWild ? "hex digit pairs or ??" : "hex digit pairs";
                const std::string got = bad < upper.size()
                                            ? "character " + std::to_string(bad + 1) + " is " +
                                                  Quoted(text.substr(bad, 1))
                                            : "an odd number of digits";
                Fail(node.source().begin, Quoted(key) + ": expected " + what + ", " + got,
                     ColumnInString(node, text, bad));
                return false;
            }
            bytes.push_back(upper[i] == '?' ? -1 : Nibble(upper[i]) * 16 + Nibble(upper[i + 1]));
            i += 2;
        }
        if (bytes.size() > maxBytes) {
            Fail(node.source().begin, Quoted(key) + ": expected at most " +
                                          std::to_string(maxBytes) + " bytes, got " +
                                          std::to_string(bytes.size()));
            return false;
        }
        out = std::move(bytes);
        return true;
    }

    // One of names (index returned), else an error listing them.
    bool Name(const toml::node& node, std::string_view key, const char* const* names, int count,
              int first, int& out) {
        std::string text;
        if (!String(node, key, text))
            return false;
        std::string all;
        for (int i = first; i < count; ++i) {
            if (text == names[i]) {
                out = i;
                return true;
            }
            all += (all.empty() ? "" : ", ") + std::string(names[i]);
        }
        Fail(node.source().begin,
             Quoted(key) + ": expected one of " + all + ", got " + Quoted(text));
        return false;
    }

    // Refuses a key outside the allowed ones.
    bool Known(const toml::key& key, const std::string& allowed, std::string_view where) {
        Fail(key.source().begin, "unknown key " + Quoted(key.str()) + " in " + std::string(where) +
                                     "; expected one of " + allowed);
        return false;
    }

  private:
    static std::string Range(long long lo, long long hi) {
        return std::to_string(lo) + " to " + std::to_string(hi);
    }

    static std::string TypeName(const toml::node& node) {
        switch (node.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a float";
        case toml::node_type::boolean:
            return "a boolean";
        default:
            return "a date or time";
        }
    }

    static int Nibble(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

    static bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

    // npos when text[i], text[i+1] is a pair; else the position of the fault
    // (text.size() for a digit left alone at the end).
    static size_t PairError(const std::string& text, size_t i, bool bWild) {
        if (bWild && text[i] == '?') {
            if (i + 1 >= text.size())
                return text.size();
            return text[i + 1] == '?' ? std::string::npos : i + 1;
        }
        if (!IsHexDigit(text[i]))
            return i;
        if (i + 1 >= text.size())
            return text.size();
        return IsHexDigit(text[i + 1]) ? std::string::npos : i + 1;
    }

    // The column of character pos inside a one-line string without escapes;
    // 0 (the value's own column) otherwise.
    static int ColumnInString(const toml::node& node, const std::string& text, size_t pos) {
        const toml::source_region& src = node.source();
        const bool plain = src.begin.line == src.end.line &&
                           src.end.column - src.begin.column == text.size() + 2 &&
                           std::all_of(text.begin(), text.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        return plain ? static_cast<int>(std::min(pos, text.size())) + 1 : 0;
    }

    std::string m_file;
    std::string m_error;
};

bool IsKeyStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '"' || c == '\'' || c == ']';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsAscii(char c) {
    return static_cast<unsigned char>(c) < 0x80;
}

// Walks the text as TOML's lexer does (strings, comments, the rest) and
// finds what toml++ 3.3 cannot take safely. Its parser asserts, and built
// without asserts assumes, that a table name begins with a key character;
// and its whitespace test reaches __builtin_unreachable() for many
// non-ASCII characters (U+00A1-U+0499, U+3001-U+3057 among them), which it
// applies outside strings, inside quoted keys and after a backslash in a
// multi-line string or inside a bare value, which a quote does not end; it
// also asserts that an array never meets a '}'. All of
// these are refused here first, as is every
// control character but tab, line feed and carriage return. Nothing valid
// for a script is refused: TOML allows non-ASCII only in strings and
// comments, and a script's keys are ASCII.
class CTextGuard {
  public:
    explicit CTextGuard(std::string_view text) : m_text(text) {}

    // True with the position and the refusal of the first unsafe place.
    bool Find(toml::source_position& at, std::string& what) {
        while (m_i < m_text.size() && m_what.empty()) {
            const char c = m_text[m_i];
            if (c == '#') {
                m_bBare = false;
                Comment();
            } else if (m_bBare) {
                // A quote inside a bare value starts no string.
                Plain(c);
            } else if (Starts(R"(""")") || Starts("'''")) {
                MultiLine(c);
            } else if (c == '"' || c == '\'') {
                Quoted(c);
            } else {
                Plain(c);
            }
        }
        at = m_at;
        what = m_what;
        return !m_what.empty();
    }

  private:
    bool Starts(std::string_view s) const { return m_text.substr(m_i, s.size()) == s; }

    // Moves past one byte; false (with the refusal) for a control character.
    bool Step() {
        const auto u = static_cast<unsigned char>(m_text[m_i]);
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0x7F) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "expected no control character, got 0x%02X", u);
            m_what = buf;
            return false;
        }
        ++m_i;
        if (u == '\n') {
            ++m_at.line;
            m_at.column = 1;
            m_bLineStart = true;
        } else {
            if ((u & 0xC0) != 0x80)
                ++m_at.column;
            if (!IsBlank(static_cast<char>(u)))
                m_bLineStart = false;
        }
        return true;
    }

    static bool EndsValue(char c) {
        return IsBlank(c) || c == ']' || c == '}' || c == ',' || c == '\n' || c == '\r';
    }

    // Where a value begins: behind '=', or in an array behind '[' or ','.
    bool AtValue() const {
        return m_prev == '=' ||
               ((m_prev == '[' || m_prev == ',') && !m_open.empty() && m_open.back() == '[');
    }

    void Plain(char c) {
        if (EndsValue(c))
            m_bBare = false;
        else if (!m_bBare && c != '[' && c != '{' && AtValue())
            m_bBare = true;
        if (!IsBlank(c) && c != '\r')
            m_prev = c;
        if (!IsAscii(c)) {
            m_what = "expected ASCII outside strings and comments";
            return;
        }
        // Brackets of values: toml++ 3.3 asserts (or assumes) that no '}'
        // stands where an array expects a value.
        if (c == '}' && !m_open.empty() && m_open.back() == '[') {
            m_what = "expected a value or ']', got '}'";
            return;
        }
        if ((c == '}' && !m_open.empty()) || (c == ']' && !m_open.empty() && m_open.back() == '['))
            m_open.pop_back();
        else if (c == '{' || (c == '[' && !(m_bLineStart && m_open.empty())))
            m_open.push_back(c);
        if (m_bLineStart && m_open.empty() && c == '[') {
            size_t j = m_i + 1;
            while (j < m_text.size() && IsBlank(m_text[j]))
                ++j;
            if (j < m_text.size() && m_text[j] == '[')
                ++j;
            while (j < m_text.size() && IsBlank(m_text[j]))
                ++j;
            if (j < m_text.size() && !IsKeyStart(m_text[j])) {
                m_what = "expected a table name after '['";
                return;
            }
        }
        Step();
    }

    void Comment() {
        while (m_i < m_text.size() && m_text[m_i] != '\n' && Step()) {
        }
    }

    // A one-line string; one with non-ASCII in it must not be a key.
    void Quoted(char quote) {
        const toml::source_position start = m_at;
        bool bAscii = true;
        Step();
        while (m_i < m_text.size() && m_text[m_i] != quote && m_text[m_i] != '\n') {
            bAscii = bAscii && IsAscii(m_text[m_i]);
            if (quote == '"' && m_text[m_i] == '\\' && m_i + 1 < m_text.size() &&
                m_text[m_i + 1] != '\n' && !Step())
                return;
            if (!Step())
                return;
        }
        if (m_i >= m_text.size() || m_text[m_i] == '\n')
            return;
        Step();
        m_prev = quote;
        size_t j = m_i;
        while (j < m_text.size() && IsBlank(m_text[j]))
            ++j;
        if (!bAscii && j < m_text.size() &&
            (m_text[j] == '=' || m_text[j] == '.' || m_text[j] == ']')) {
            m_at = start;
            m_what = "expected ASCII in a quoted key";
        }
    }

    void MultiLine(char quote) {
        const std::string_view close = quote == '"' ? R"(""")" : "'''";
        for (int k = 0; k < 3; ++k)
            Step();
        while (m_i < m_text.size()) {
            if (Starts(close)) {
                // Up to two quotes more belong to the string.
                for (int k = 0; k < 5 && m_i < m_text.size() && m_text[m_i] == quote; ++k)
                    Step();
                m_prev = quote;
                return;
            }
            if (quote == '"' && m_text[m_i] == '\\') {
                if (!Step())
                    return;
                // The escaped character, or the first one a line-ending
                // backslash does not trim, goes through the whitespace test.
                const bool bLineEnding =
                    m_i < m_text.size() &&
                    (IsBlank(m_text[m_i]) || m_text[m_i] == '\n' || m_text[m_i] == '\r');
                while (m_i < m_text.size() &&
                       (IsBlank(m_text[m_i]) || m_text[m_i] == '\n' || m_text[m_i] == '\r'))
                    if (!Step())
                        return;
                if (m_i < m_text.size() && !IsAscii(m_text[m_i])) {
                    m_what = "expected ASCII after a backslash in a multi-line string";
                    return;
                }
                // An escaped character is the string's own, even a quote that
                // would otherwise close it.
                if (!bLineEnding && m_i < m_text.size() && !Step())
                    return;
                continue;
            }
            if (!Step())
                return;
        }
    }

    std::string_view m_text;
    size_t m_i = 0;
    toml::source_position m_at{1, 1};
    bool m_bLineStart = true;
    std::string m_open;   // the value brackets open, innermost last
    char m_prev = '\n';   // the last character outside strings but blanks
    bool m_bBare = false; // inside a value that is no string, array or table
    std::string m_what;
};

bool InList(std::string_view key, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), key) != list.end();
}

void ReadTimeouts(CReader& r, const toml::table& t, int& first, int& inter, bool* firstSet,
                  bool* interSet) {
    if (const toml::node* n = t.get("first_char_ms");
        n && r.Int(*n, "first_char_ms", FIRST_CHAR_MIN_MS, FIRST_CHAR_MAX_MS, first) && firstSet)
        *firstSet = true;
    if (const toml::node* n = t.get("inter_char_ms");
        n && r.Int(*n, "inter_char_ms", INTER_CHAR_MIN_MS, INTER_CHAR_MAX_MS, inter) && interSet)
        *interSet = true;
}

void ReadPubExpect(CReader& r, const toml::node& node, PubExpect& e) {
    const toml::table* t = node.as_table();
    if (t == nullptr) {
        r.Fail(node.source().begin, "'expect': expected a table of decoded fields");
        return;
    }
    const std::string allowed = Joined(PUB_EXPECT_KEYS);
    for (auto&& [key, value] : *t) {
        if (r.Failed())
            return;
        if (!InList(key.str(), PUB_EXPECT_KEYS)) {
            r.Known(key, allowed, "'expect'");
            return;
        }
        std::string text;
        int number = 0;
        if (key.str() == "machine") {
            if (r.Int(value, "machine", 0, 255, number))
                e.nMachineNo = number;
            continue;
        }
        if (!r.String(value, key.str(), text))
            return;
        if (key.str() == "id")
            e.strId = UpperAscii(text);
        else if (key.str() == "low_id")
            e.strLowId = UpperAscii(text);
        else if (key.str() == "type")
            e.strType = text;
        else if (key.str() == "version")
            e.strVersion = text;
        else
            e.strDoneTime = text;
    }
}

std::string HexName(const std::vector<uint8_t>& bytes) {
    std::string hex(bytes.size() * 2, '0');
    BytesToHex(bytes.data(), hex.data(), static_cast<int>(bytes.size()));
    return hex;
}

void ReadStep(CReader& r, const toml::table& t, const Script& script, const fs::path& baseDir,
              int index, ScriptStep& s) {
    const toml::source_position at = t.source().begin;
    const std::string where = "step " + std::to_string(index);

    const KindKeys* kind = nullptr;
    const toml::node* kindNode = nullptr;
    for (const KindKeys& k : KINDS) {
        const toml::node* n = t.get(k.key);
        if (n == nullptr)
            continue;
        if (kind != nullptr) {
            r.Fail(n->source().begin, where + ": " + Quoted(k.key) + " with " + Quoted(kind->key) +
                                          "; expected one step kind per step");
            return;
        }
        kind = &k;
        kindNode = n;
    }
    if (kind == nullptr) {
        r.Fail(at, where + ": expected one of exchange, raw, raw_text, diag, pub, download, "
                           "pause_ms");
        return;
    }

    const std::string allowed = Joined({kind->key}, COMMON_KEYS, kind->keys) +
                                (kind->bTimeouts ? ", " + Joined(TIMEOUT_KEYS) : "");
    for (auto&& [key, value] : t) {
        const std::string_view k = key.str();
        if (k != kind->key && !InList(k, COMMON_KEYS) && !InList(k, kind->keys) &&
            !(kind->bTimeouts && InList(k, TIMEOUT_KEYS))) {
            r.Known(key, allowed, where + " (" + std::string(kind->key) + ")");
            return;
        }
    }
    if (t.get("expect_error") != nullptr) {
        for (std::string_view other : {"expect_status", "expect_length", "expect_data",
                                       "expect_raw", "expect_verdict", "expect"}) {
            if (const toml::node* n = t.get(other)) {
                r.Fail(n->source().begin, where + ": " + Quoted(other) +
                                              " with 'expect_error'; a step expects a reply or "
                                              "an error, not both");
                return;
            }
        }
    }

    s.nKind = kind->kind;
    s.nMachine = script.nMachine;
    s.nFirstChar = script.nFirstChar;
    s.nInterChar = script.nInterChar;
    if (const toml::node* n = t.get("repeat"))
        r.Int(*n, "repeat", 1, SCRIPT_REPEAT_MAX, s.nRepeat);
    ReadTimeouts(r, t, s.nFirstChar, s.nInterChar, nullptr, nullptr);
    if (const toml::node* n = t.get("expect_error"))
        r.Name(*n, "expect_error", EXPECTED_ERROR_NAMES, EXPECT_ERROR_COUNT, 1, s.nExpectError);
    BytePattern bytes;
    int number = 0;
    std::string text;
    std::string made; // the name made when the script gives none

    switch (s.nKind) {
    case STEP_EXCHANGE:
        if (r.Hex(*kindNode, "exchange", false, 2, bytes) && bytes.size() != 1)
            r.Fail(kindNode->source().begin, "'exchange': expected the command byte, two hex "
                                             "digits");
        if (r.Failed())
            return;
        s.nCommand = static_cast<uint8_t>(bytes[0]);
        if (const toml::node* n = t.get("data");
            n && r.Hex(*n, "data", false, FRAME_MAX_DATA, bytes))
            s.data.assign(bytes.begin(), bytes.end());
        if (const toml::node* n = t.get("machine"))
            r.Int(*n, "machine", 0, 255, s.nMachine);
        if (const toml::node* n = t.get("expect_status");
            n && r.Int(*n, "expect_status", 0, 255, number))
            s.nExpectStatus = number;
        if (const toml::node* n = t.get("expect_length");
            n && r.Int(*n, "expect_length", 0, 65535, number))
            s.nExpectLength = number;
        if (const toml::node* n = t.get("expect_data");
            n && r.Hex(*n, "expect_data", true, CLI_BUFFER_SIZE, bytes))
            s.expectData = bytes;
        made = "exchange " + HexName({s.nCommand});
        break;
    case STEP_RAW:
        s.bRawText = kind->key == "raw_text";
        if (s.bRawText) {
            if (r.String(*kindNode, "raw_text", text))
                s.rawBytes.assign(text.begin(), text.end());
        } else if (r.Hex(*kindNode, "raw", false, CLI_BUFFER_SIZE, bytes)) {
            s.rawBytes.assign(bytes.begin(), bytes.end());
        }
        if (const toml::node* n = t.get("cr"))
            r.Bool(*n, "cr", s.bCr);
        if (!r.Failed() && s.rawBytes.size() + (s.bCr ? 1 : 0) > CLI_BUFFER_SIZE)
            r.Fail(kindNode->source().begin, Quoted(kind->key) + ": expected at most " +
                                                 std::to_string(CLI_BUFFER_SIZE) + " bytes");
        if (const toml::node* n = t.get("expect_raw");
            n && r.Hex(*n, "expect_raw", true, CLI_BUFFER_SIZE, bytes))
            s.expectRaw = bytes;
        made = "raw";
        break;
    case STEP_DIAG:
        r.Name(*kindNode, "diag", CLI_DIAG_NAMES, CLI_DIAG_COUNT, 0, s.nDiag);
        if (const toml::node* n = t.get("expect_verdict"))
            r.Name(*n, "expect_verdict", VERDICT_NAMES, VERDICT_COUNT, 0, s.nExpectVerdict);
        if (!r.Failed() && s.nExpectVerdict == VERDICT_NO_CARD && s.nDiag != DIAG_POWER_ON)
            r.Fail(t.get("expect_verdict")->source().begin,
                   "'expect_verdict': 'no-card' is a verdict of power-on only");
        if (!r.Failed())
            made = std::string("diag ") + CLI_DIAG_NAMES[s.nDiag];
        break;
    case STEP_PUB: {
        PubInput& in = s.pubInput;
        r.Name(*kindNode, "pub", CLI_PUB_NAMES, PUB_COMMAND_COUNT, 0, in.nCommand);
        if (const toml::node* n = t.get("id"); n && r.String(*n, "id", text))
            in.strId = UpperAscii(text);
        if (const toml::node* n = t.get("low_id"); n && r.String(*n, "low_id", text))
            in.strLowId = UpperAscii(text);
        if (const toml::node* n = t.get("machine"))
            r.Int(*n, "machine", 0, 255, in.nMachineNo);
        if (const toml::node* n = t.get("rate")) {
            std::vector<const char*> rates;
            for (int i = 0; i < PUB_RATE_COUNT; ++i)
                rates.push_back(PubRateName(i));
            if (const auto* v = n->as_integer())
                text = std::to_string(v->get());
            else if (!r.String(*n, "rate", text))
                return;
            in.nRate = -1;
            for (int i = 0; i < PUB_RATE_COUNT; ++i)
                if (text == rates[i])
                    in.nRate = i;
            if (in.nRate < 0)
                r.Fail(n->source().begin, "'rate': expected one of " +
                                              Joined({"19200", "9600", "4800", "2400", "1200",
                                                      "28800", "57600", "115200"}) +
                                              ", got " + Quoted(text));
        }
        if (const toml::node* n = t.get("expect"))
            ReadPubExpect(r, *n, s.pubExpect);
        if (r.Failed())
            return;
        PubRequest req;
        const int rc = BuildPubRequest(in, req);
        if (rc != PUB_INPUT_OK)
            r.Fail(at, where + ": " + PubInputMessage(rc).text);
        made = std::string("pub ") + CLI_PUB_NAMES[in.nCommand];
        break;
    }
    case STEP_DOWNLOAD: {
        if (!r.String(*kindNode, "download", s.strFile))
            return;
        if (const toml::node* n = t.get("machine"))
            r.Int(*n, "machine", 1, 255, s.nMachine);
        else if (s.nMachine < 1)
            r.Fail(at, where + ": 'machine': expected 1 to 255 for a download, the default is 0");
        if (r.Failed())
            return;
        const fs::path file = Resolved(baseDir, s.strFile);
        s.strFilePath = file.string();
        std::error_code ec;
        const bool bFile = !s.strFile.empty() && fs::is_regular_file(file, ec);
        const auto size = bFile ? fs::file_size(file, ec) : 0;
        if (!bFile || ec || !std::ifstream(file, std::ios::binary)) {
            r.Fail(kindNode->source().begin, "'download': expected a readable file, " +
                                                 Quoted(s.strFilePath) + " is not one");
        } else if (size > static_cast<uintmax_t>(DOWNLOAD_IMAGE_MAX)) {
            r.Fail(kindNode->source().begin,
                   "'download': expected at most " + std::to_string(DOWNLOAD_IMAGE_MAX) +
                       " bytes, " + Quoted(s.strFilePath) + " holds " + std::to_string(size));
        }
        made = "download " + s.strFile;
        break;
    }
    default:
        r.Int(*kindNode, "pause_ms", 0, SCRIPT_PAUSE_MAX_MS, s.nPauseMs);
        made = "pause " + std::to_string(s.nPauseMs);
        break;
    }

    if (const toml::node* n = t.get("name"))
        r.String(*n, "name", s.strName);
    else
        s.strName = made;
}

} // namespace

bool ParseScriptText(const std::string& text, const std::string& fileName,
                     const std::string& baseDir, Script& script, std::string& error) {
    CReader r(fileName);
    toml::source_position at;
    std::string unsafe;
    if (CTextGuard(text).Find(at, unsafe)) {
        r.Fail(at, unsafe);
        error = r.Error();
        return false;
    }
    toml::parse_result parsed = toml::parse(std::string_view(text), fileName);
    if (!parsed) {
        const toml::parse_error& e = parsed.error();
        r.Fail(e.source().begin, std::string(e.description()));
        error = r.Error();
        return false;
    }
    const toml::table& root = parsed.table();
    Script out;
    out.nMachine = script.nMachine;
    out.nFirstChar = script.nFirstChar;
    out.nInterChar = script.nInterChar;
    for (auto&& [key, value] : root) {
        if (!InList(key.str(), {"repeat", "capture", "defaults", "step"})) {
            r.Known(key, "repeat, capture, defaults, step", "the script");
            break;
        }
    }
    const fs::path base = baseDir.empty() ? fs::path(".") : fs::path(baseDir);
    if (const toml::node* n = root.get("repeat"); n && !r.Failed())
        r.Int(*n, "repeat", 1, SCRIPT_REPEAT_MAX, out.nRepeat);
    if (const toml::node* n = root.get("capture");
        n && !r.Failed() && r.String(*n, "capture", out.strCapture)) {
        if (out.strCapture.empty())
            r.Fail(n->source().begin, "'capture': expected a file name, got ''");
        out.strCapturePath = Resolved(base, out.strCapture).string();
    }
    if (const toml::node* n = root.get("defaults"); n && !r.Failed()) {
        const toml::table* d = n->as_table();
        if (d == nullptr) {
            r.Fail(n->source().begin, "'defaults': expected a table");
        } else {
            for (auto&& [key, value] : *d) {
                if (!InList(key.str(), {"machine", "first_char_ms", "inter_char_ms"})) {
                    r.Known(key, "machine, first_char_ms, inter_char_ms", "[defaults]");
                    break;
                }
            }
            if (const toml::node* m = d->get("machine"); m && !r.Failed())
                r.Int(*m, "machine", 0, 255, out.nMachine);
            if (!r.Failed())
                ReadTimeouts(r, *d, out.nFirstChar, out.nInterChar, &out.bFirstCharSet,
                             &out.bInterCharSet);
        }
    }
    const toml::node* steps = root.get("step");
    const toml::array* list = steps ? steps->as_array() : nullptr;
    if (!r.Failed() && (list == nullptr || list->empty() || !list->is_array_of_tables())) {
        if (steps == nullptr)
            r.Fail({1, 1}, "expected at least one [[step]]");
        else
            r.Fail(steps->source().begin, "'step': expected [[step]] tables");
    }
    for (size_t i = 0; !r.Failed() && list != nullptr && i < list->size(); ++i) {
        ScriptStep s;
        ReadStep(r, *list->get(i)->as_table(), out, base, static_cast<int>(i + 1), s);
        out.steps.push_back(std::move(s));
    }
    if (r.Failed()) {
        error = r.Error();
        return false;
    }
    script = std::move(out);
    return true;
}

bool LoadScript(const std::string& path, Script& script, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    if (!in || fs::is_directory(path, ec)) {
        error = path + ": cannot read the script";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    const std::string base = fs::path(path).parent_path().string();
    return ParseScriptText(text.str(), path, base, script, error);
}

namespace {

std::string PatternText(const BytePattern& p) {
    std::string out;
    for (int b : p) {
        if (!out.empty())
            out += ' ';
        if (b < 0) {
            out += "??";
        } else {
            char hex[3];
            const uint8_t byte = static_cast<uint8_t>(b);
            BytesToHex(&byte, hex, 1);
            out.append(hex, 2);
        }
    }
    return out;
}

BytePattern ToPattern(const std::vector<uint8_t>& bytes) {
    return BytePattern(bytes.begin(), bytes.end());
}

} // namespace

std::string WriteScriptText(const Script& script) {
    toml::table root;
    root.insert("repeat", script.nRepeat);
    if (!script.strCapture.empty())
        root.insert("capture", script.strCapture);
    toml::table defaults;
    defaults.insert("machine", script.nMachine);
    defaults.insert("first_char_ms", script.nFirstChar);
    defaults.insert("inter_char_ms", script.nInterChar);
    root.insert("defaults", std::move(defaults));
    toml::array steps;
    for (const ScriptStep& s : script.steps) {
        toml::table t;
        t.insert("name", s.strName);
        t.insert("repeat", s.nRepeat);
        const bool bTimeouts = s.nKind != STEP_DOWNLOAD && s.nKind != STEP_PAUSE;
        if (bTimeouts) {
            t.insert("first_char_ms", s.nFirstChar);
            t.insert("inter_char_ms", s.nInterChar);
        }
        if (s.nExpectError != EXPECT_NO_ERROR)
            t.insert("expect_error", EXPECTED_ERROR_NAMES[s.nExpectError]);
        switch (s.nKind) {
        case STEP_EXCHANGE:
            t.insert("exchange", PatternText({s.nCommand}));
            t.insert("data", PatternText(ToPattern(s.data)));
            t.insert("machine", s.nMachine);
            if (s.nExpectStatus)
                t.insert("expect_status", *s.nExpectStatus);
            if (s.nExpectLength)
                t.insert("expect_length", *s.nExpectLength);
            if (s.expectData)
                t.insert("expect_data", PatternText(*s.expectData));
            break;
        case STEP_RAW:
            if (s.bRawText)
                t.insert("raw_text", std::string(s.rawBytes.begin(), s.rawBytes.end()));
            else
                t.insert("raw", PatternText(ToPattern(s.rawBytes)));
            t.insert("cr", s.bCr);
            if (s.expectRaw)
                t.insert("expect_raw", PatternText(*s.expectRaw));
            break;
        case STEP_DIAG:
            t.insert("diag", CLI_DIAG_NAMES[s.nDiag]);
            if (s.nExpectError == EXPECT_NO_ERROR)
                t.insert("expect_verdict", VERDICT_NAMES[s.nExpectVerdict]);
            break;
        case STEP_PUB: {
            const PubInput& in = s.pubInput;
            t.insert("pub", CLI_PUB_NAMES[in.nCommand]);
            t.insert("id", in.strId);
            t.insert("low_id", in.strLowId);
            t.insert("machine", in.nMachineNo);
            if (in.nRate >= 0)
                t.insert("rate", PubRateName(in.nRate));
            toml::table e;
            const PubExpect& x = s.pubExpect;
            if (x.strId)
                e.insert("id", *x.strId);
            if (x.strLowId)
                e.insert("low_id", *x.strLowId);
            if (x.nMachineNo)
                e.insert("machine", *x.nMachineNo);
            if (x.strType)
                e.insert("type", *x.strType);
            if (x.strVersion)
                e.insert("version", *x.strVersion);
            if (x.strDoneTime)
                e.insert("done_time", *x.strDoneTime);
            if (!e.empty())
                t.insert("expect", std::move(e));
            break;
        }
        case STEP_DOWNLOAD:
            t.insert("download", s.strFile);
            t.insert("machine", s.nMachine);
            break;
        default:
            t.insert("pause_ms", s.nPauseMs);
            break;
        }
        steps.push_back(std::move(t));
    }
    root.insert("step", std::move(steps));
    // Strings go out as basic strings with escapes: toml++ 3.3 writes a
    // literal multi-line string even when the text holds "'''", which then
    // does not read back.
    constexpr auto flags =
        toml::toml_formatter::default_flags &
        ~(toml::format_flags::allow_literal_strings | toml::format_flags::allow_multi_line_strings);
    std::ostringstream out;
    out << toml::toml_formatter(root, flags);
    return out.str();
}
