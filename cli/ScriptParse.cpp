// The script reader and writer: the one file that includes toml++ 3.3. The
// library is inline code, so any other file that included it could give the
// linker an unchecked copy of what is checked here. It is used header-only
// and without exceptions: its parse errors come back as values with their
// position. Its own checks are kept live: built with NDEBUG they vanish or
// become assumptions, and malformed texts then reached undefined behaviour.
// Here every assertion, assumption and unreachable point throws CTomlCheck,
// and ParseScriptText refuses the text; where the throw would leave a
// noexcept function and end the program, ScriptGuard refuses the text first.
#undef NDEBUG
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0

namespace {

struct CTomlCheck {};

[[noreturn]] void TomlCheckFailed() {
    throw CTomlCheck();
}

} // namespace

#define TOML_ASSERT(expr) ((expr) ? static_cast<void>(0) : TomlCheckFailed())
#include <toml++/impl/preprocessor.h>
#undef TOML_ASSUME
#undef TOML_UNREACHABLE
#define TOML_ASSUME(...) TOML_ASSERT((__VA_ARGS__))
#define TOML_UNREACHABLE TomlCheckFailed()
#include <toml++/toml.h>

#include "cli/ScriptParse.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string_view>

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliText.h"
#include "cli/ScriptGuard.h"
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
        return String(node, key, text) && Listed(node, key, text, names, count, first, out);
    }

    // Name for a value already turned to text.
    bool Listed(const toml::node& node, std::string_view key, const std::string& text,
                const char* const* names, int count, int first, int& out) {
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

// The expectation field named key; nullptr when there is none.
const PubExpectField* PubExpectFieldOf(std::string_view key) {
    for (const PubExpectField& f : PUB_EXPECT_FIELDS)
        if (key == f.key)
            return &f;
    return nullptr;
}

void ReadPubExpect(CReader& r, const toml::node& node, PubExpect& e) {
    const toml::table* t = node.as_table();
    if (t == nullptr) {
        r.Fail(node.source().begin, "'expect': expected a table of decoded fields");
        return;
    }
    std::string allowed;
    for (const PubExpectField& f : PUB_EXPECT_FIELDS)
        allowed += (allowed.empty() ? "" : ", ") + std::string(f.key);
    for (auto&& [key, value] : *t) {
        if (r.Failed())
            return;
        const PubExpectField* f = PubExpectFieldOf(key.str());
        if (f == nullptr) {
            r.Known(key, allowed, "'expect'");
            return;
        }
        std::string text;
        int number = 0;
        if (f->number.expect != nullptr) {
            if (r.Int(value, f->key, 0, 255, number))
                e.*f->number.expect = number;
        } else if (r.String(value, f->key, text)) {
            e.*f->text.expect = f->bUpper ? UpperAscii(text) : text;
        }
    }
}

BytePattern ToPattern(const std::vector<uint8_t>& bytes) {
    return BytePattern(bytes.begin(), bytes.end());
}

// What a step kind's reader reads: the step's table, the value of its kind
// key, and where the step is, for refusals of the step as a whole.
struct StepSource {
    const toml::table& t;
    const toml::node& value;
    std::string_view key;
    const std::string& where;
    const fs::path& baseDir;
};

// Each reader fills the kind's fields of s and returns the name the step
// gets when the script gives none; each writer puts those fields into t.

std::string ReadExchange(CReader& r, const StepSource& in, ScriptStep& s) {
    BytePattern bytes;
    int number = 0;
    if (r.Hex(in.value, "exchange", false, 2, bytes) && bytes.size() != 1)
        r.Fail(in.value.source().begin, "'exchange': expected the command byte, two hex digits");
    if (r.Failed())
        return {};
    s.nCommand = static_cast<uint8_t>(bytes[0]);
    if (const toml::node* n = in.t.get("data");
        n && r.Hex(*n, "data", false, FRAME_MAX_DATA, bytes))
        s.data.assign(bytes.begin(), bytes.end());
    if (const toml::node* n = in.t.get("machine"))
        r.Int(*n, "machine", 0, 255, s.nMachine);
    if (const toml::node* n = in.t.get("expect_status");
        n && r.Int(*n, "expect_status", 0, 255, number))
        s.nExpectStatus = number;
    if (const toml::node* n = in.t.get("expect_length");
        n && r.Int(*n, "expect_length", 0, 65535, number))
        s.nExpectLength = number;
    if (const toml::node* n = in.t.get("expect_data");
        n && r.Hex(*n, "expect_data", true, CLI_BUFFER_SIZE, bytes))
        s.expectData = bytes;
    return "exchange " + HexCells(&s.nCommand, 1);
}

void WriteExchange(const ScriptStep& s, toml::table& t) {
    t.insert("exchange", PatternText({s.nCommand}));
    t.insert("data", PatternText(ToPattern(s.data)));
    t.insert("machine", s.nMachine);
    if (s.nExpectStatus)
        t.insert("expect_status", *s.nExpectStatus);
    if (s.nExpectLength)
        t.insert("expect_length", *s.nExpectLength);
    if (s.expectData)
        t.insert("expect_data", PatternText(*s.expectData));
}

// Both raw and raw_text.
std::string ReadRaw(CReader& r, const StepSource& in, ScriptStep& s) {
    BytePattern bytes;
    std::string text;
    s.bRawText = in.key == "raw_text";
    if (s.bRawText) {
        if (r.String(in.value, "raw_text", text))
            s.rawBytes.assign(text.begin(), text.end());
    } else if (r.Hex(in.value, "raw", false, CLI_BUFFER_SIZE, bytes)) {
        s.rawBytes.assign(bytes.begin(), bytes.end());
    }
    if (const toml::node* n = in.t.get("cr"))
        r.Bool(*n, "cr", s.bCr);
    if (!r.Failed() && s.rawBytes.size() + (s.bCr ? 1 : 0) > CLI_BUFFER_SIZE)
        r.Fail(in.value.source().begin,
               Quoted(in.key) + ": expected at most " + std::to_string(CLI_BUFFER_SIZE) + " bytes");
    if (const toml::node* n = in.t.get("expect_raw");
        n && r.Hex(*n, "expect_raw", true, CLI_BUFFER_SIZE, bytes))
        s.expectRaw = bytes;
    return "raw";
}

void WriteRaw(const ScriptStep& s, toml::table& t) {
    if (s.bRawText)
        t.insert("raw_text", std::string(s.rawBytes.begin(), s.rawBytes.end()));
    else
        t.insert("raw", PatternText(ToPattern(s.rawBytes)));
    t.insert("cr", s.bCr);
    if (s.expectRaw)
        t.insert("expect_raw", PatternText(*s.expectRaw));
}

std::string ReadDiag(CReader& r, const StepSource& in, ScriptStep& s) {
    r.Name(in.value, "diag", CLI_DIAG_NAMES, CLI_DIAG_COUNT, 0, s.nDiag);
    if (const toml::node* n = in.t.get("expect_verdict"))
        r.Name(*n, "expect_verdict", VERDICT_NAMES, VERDICT_COUNT, 0, s.nExpectVerdict);
    if (!r.Failed() && s.nExpectVerdict == VERDICT_NO_CARD && s.nDiag != DIAG_POWER_ON)
        r.Fail(in.t.get("expect_verdict")->source().begin,
               "'expect_verdict': 'no-card' is a verdict of power-on only");
    return r.Failed() ? std::string() : std::string("diag ") + CLI_DIAG_NAMES[s.nDiag];
}

void WriteDiag(const ScriptStep& s, toml::table& t) {
    t.insert("diag", CLI_DIAG_NAMES[s.nDiag]);
    if (s.nExpectError == EXPECT_NO_ERROR)
        t.insert("expect_verdict", VERDICT_NAMES[s.nExpectVerdict]);
}

std::string ReadPub(CReader& r, const StepSource& in, ScriptStep& s) {
    PubInput& pub = s.pubInput;
    std::string text;
    r.Name(in.value, "pub", CLI_PUB_NAMES, PUB_COMMAND_COUNT, 0, pub.nCommand);
    if (const toml::node* n = in.t.get("id"); n && r.String(*n, "id", text))
        pub.strId = UpperAscii(text);
    if (const toml::node* n = in.t.get("low_id"); n && r.String(*n, "low_id", text))
        pub.strLowId = UpperAscii(text);
    if (const toml::node* n = in.t.get("machine"))
        r.Int(*n, "machine", 0, 255, pub.nMachineNo);
    if (const toml::node* n = in.t.get("rate")) {
        // A rate is its name, or the same digits as an integer.
        std::vector<const char*> rates;
        for (int i = 0; i < PUB_RATE_COUNT; ++i)
            rates.push_back(PubRateName(i));
        if (const auto* v = n->as_integer())
            r.Listed(*n, "rate", std::to_string(v->get()), rates.data(), PUB_RATE_COUNT, 0,
                     pub.nRate);
        else
            r.Name(*n, "rate", rates.data(), PUB_RATE_COUNT, 0, pub.nRate);
    }
    if (const toml::node* n = in.t.get("expect"))
        ReadPubExpect(r, *n, s.pubExpect);
    if (r.Failed())
        return {};
    PubRequest req;
    const int rc = BuildPubRequest(pub, req);
    if (rc != PUB_INPUT_OK)
        r.Fail(in.t.source().begin, in.where + ": " + PubInputMessage(rc).text);
    return std::string("pub ") + CLI_PUB_NAMES[pub.nCommand];
}

void WritePub(const ScriptStep& s, toml::table& t) {
    const PubInput& pub = s.pubInput;
    t.insert("pub", CLI_PUB_NAMES[pub.nCommand]);
    t.insert("id", pub.strId);
    t.insert("low_id", pub.strLowId);
    t.insert("machine", pub.nMachineNo);
    if (pub.nRate >= 0)
        t.insert("rate", PubRateName(pub.nRate));
    toml::table e;
    for (const PubExpectField& f : PUB_EXPECT_FIELDS) {
        if (f.number.expect != nullptr && s.pubExpect.*f.number.expect)
            e.insert(f.key, *(s.pubExpect.*f.number.expect));
        else if (f.text.expect != nullptr && s.pubExpect.*f.text.expect)
            e.insert(f.key, *(s.pubExpect.*f.text.expect));
    }
    if (!e.empty())
        t.insert("expect", std::move(e));
}

std::string ReadDownload(CReader& r, const StepSource& in, ScriptStep& s) {
    if (!r.String(in.value, "download", s.strFile))
        return {};
    if (const toml::node* n = in.t.get("machine"))
        r.Int(*n, "machine", 1, 255, s.nMachine);
    else if (s.nMachine < 1)
        r.Fail(in.t.source().begin,
               in.where + ": 'machine': expected 1 to 255 for a download, the default is 0");
    if (r.Failed())
        return {};
    const fs::path file = Resolved(in.baseDir, s.strFile);
    s.strFilePath = file.string();
    std::error_code ec;
    const bool bFile = !s.strFile.empty() && fs::is_regular_file(file, ec);
    const auto size = bFile ? fs::file_size(file, ec) : 0;
    if (!bFile || ec || !std::ifstream(file, std::ios::binary)) {
        r.Fail(in.value.source().begin,
               "'download': expected a readable file, " + Quoted(s.strFilePath) + " is not one");
    } else if (size > static_cast<uintmax_t>(DOWNLOAD_IMAGE_MAX)) {
        r.Fail(in.value.source().begin,
               "'download': expected at most " + std::to_string(DOWNLOAD_IMAGE_MAX) + " bytes, " +
                   Quoted(s.strFilePath) + " holds " + std::to_string(size));
    }
    return "download " + s.strFile;
}

void WriteDownload(const ScriptStep& s, toml::table& t) {
    t.insert("download", s.strFile);
    t.insert("machine", s.nMachine);
}

std::string ReadPause(CReader& r, const StepSource& in, ScriptStep& s) {
    r.Int(in.value, "pause_ms", 0, SCRIPT_PAUSE_MAX_MS, s.nPauseMs);
    return "pause " + std::to_string(s.nPauseMs);
}

void WritePause(const ScriptStep& s, toml::table& t) {
    t.insert("pause_ms", s.nPauseMs);
}

struct StepKindEntry {
    int kind;
    std::string_view key;
    std::initializer_list<std::string_view> keys; // besides the kind key and COMMON_KEYS
    bool bTimeouts;                               // takes TIMEOUT_KEYS too
    std::string (*read)(CReader&, const StepSource&, ScriptStep&);
    void (*write)(const ScriptStep&, toml::table&);
};

const StepKindEntry KINDS[] = {
    {STEP_EXCHANGE,
     "exchange",
     {"data", "machine", "expect_status", "expect_length", "expect_data", "expect_error"},
     true,
     ReadExchange,
     WriteExchange},
    {STEP_RAW, "raw", {"cr", "expect_raw", "expect_error"}, true, ReadRaw, WriteRaw},
    {STEP_RAW, "raw_text", {"cr", "expect_raw", "expect_error"}, true, ReadRaw, WriteRaw},
    {STEP_DIAG, "diag", {"expect_verdict", "expect_error"}, true, ReadDiag, WriteDiag},
    {STEP_PUB,
     "pub",
     {"id", "low_id", "machine", "rate", "expect", "expect_error"},
     true,
     ReadPub,
     WritePub},
    {STEP_DOWNLOAD, "download", {"machine"}, false, ReadDownload, WriteDownload},
    {STEP_PAUSE, "pause_ms", {}, false, ReadPause, WritePause},
};

void ReadStep(CReader& r, const toml::table& t, const Script& script, const fs::path& baseDir,
              int index, ScriptStep& s) {
    const std::string where = "step " + std::to_string(index);

    const StepKindEntry* kind = nullptr;
    const toml::node* kindNode = nullptr;
    for (const StepKindEntry& k : KINDS) {
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
        std::string keys;
        for (const StepKindEntry& k : KINDS)
            keys += (keys.empty() ? "" : ", ") + std::string(k.key);
        r.Fail(t.source().begin, where + ": expected one of " + keys);
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
    const std::string made = kind->read(r, {t, *kindNode, kind->key, where, baseDir}, s);
    if (const toml::node* n = t.get("name"))
        r.String(*n, "name", s.strName);
    else
        s.strName = made;
}

// The table entry whose writer writes a step of kind; the reader gives no
// other kinds than the table's.
const StepKindEntry& KindOf(int kind) {
    const StepKindEntry* found =
        std::find_if(std::begin(KINDS), std::end(KINDS),
                     [kind](const StepKindEntry& k) { return k.kind == kind; });
    return found != std::end(KINDS) ? *found : KINDS[std::size(KINDS) - 1];
}

// Where byte offset of text stands, counted as toml++ counts: lines from 1,
// and columns from 1 in characters.
toml::source_position PlaceOf(std::string_view text, size_t offset) {
    toml::source_position at{1, 1};
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++at.line;
            at.column = 1;
        } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++at.column;
        }
    }
    return at;
}

// toml::parse, false when the library failed one of its own checks.
bool CheckedParse(std::string_view text, const std::string& fileName, toml::parse_result& out) {
    try {
        out = toml::parse(text, fileName);
        return true;
    } catch (const CTomlCheck&) {
        return false;
    }
}

// Where the library stopped on a failed check: the last byte of a beginning
// of text that fails a check when the same beginning one byte shorter does
// not (the library reads from the front, and the empty text passes).
size_t FailedCheckAt(std::string_view text, const std::string& fileName) {
    size_t good = 0;
    size_t bad = text.size();
    toml::parse_result part;
    while (bad - good > 1) {
        const size_t mid = good + (bad - good) / 2;
        (CheckedParse(text.substr(0, mid), fileName, part) ? good : bad) = mid;
    }
    return bad - 1;
}

} // namespace

bool ParseScriptText(const std::string& text, const std::string& fileName,
                     const std::string& baseDir, Script& script, std::string& error) {
    CReader r(fileName);
    size_t unsafeAt = 0;
    std::string unsafe;
    toml::parse_result parsed;
    if (FindUnsafeToml(text, unsafeAt, unsafe)) {
        r.Fail(PlaceOf(text, unsafeAt), unsafe);
    } else if (!CheckedParse(text, fileName, parsed)) {
        r.Fail(PlaceOf(text, FailedCheckAt(text, fileName)),
               "expected valid TOML, the reader cannot go on from here");
    } else if (!parsed) {
        r.Fail(parsed.error().source().begin, std::string(parsed.error().description()));
    }
    if (r.Failed()) {
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

std::string PatternText(const BytePattern& p) {
    std::string out;
    for (int cell : p) {
        const uint8_t byte = static_cast<uint8_t>(cell);
        out += (out.empty() ? "" : " ") + (cell < 0 ? std::string("??") : HexCells(&byte, 1));
    }
    return out;
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
        const StepKindEntry& kind = KindOf(s.nKind);
        toml::table t;
        t.insert("name", s.strName);
        t.insert("repeat", s.nRepeat);
        if (kind.bTimeouts) {
            t.insert("first_char_ms", s.nFirstChar);
            t.insert("inter_char_ms", s.nInterChar);
        }
        if (s.nExpectError != EXPECT_NO_ERROR)
            t.insert("expect_error", EXPECTED_ERROR_NAMES[s.nExpectError]);
        kind.write(s, t);
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
