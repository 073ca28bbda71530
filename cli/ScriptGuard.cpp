// What the script reader refuses before toml++ 3.3 reads a text, and why.
// The library's whitespace test (is_non_ascii_horizontal_whitespace) reaches
// its unreachable point for U+00A1-U+0499, U+2C5E-U+2FFF, U+3001-U+3057 (the
// CJK comma and full stop among them) and U+FB26-U+FEFE. The reader makes
// that point a check that throws, but the test is noexcept, so the throw
// ends the program instead of refusing the text. Fuzzing the reader without
// these rules reaches the test in each place below, so each is refused:
// - a non-ASCII character outside strings and comments, where the parser
//   skips whitespace and reads keys and bare values (inside a bare value a
//   quote starts no string, so 1x"、" is no number followed by a string);
// - in a multi-line basic string, a non-ASCII character right after a
//   backslash, or first after the blanks and line breaks that a line-ending
//   backslash trims.
// Rather than copy the library's table, every non-ASCII character there is
// refused: TOML allows non-ASCII only in strings and comments, and a
// script's keys are ASCII. Every other failed check of the library reaches
// the reader as an exception and needs no rule here.
#include "cli/ScriptGuard.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsAscii(char c) {
    return static_cast<unsigned char>(c) < 0x80;
}

// Walks the text as TOML's lexer does: strings, comments, the rest.
class CTextGuard {
  public:
    explicit CTextGuard(std::string_view text) : m_text(text) {}

    bool Find(size_t& offset, std::string& what) {
        while (m_i < m_text.size() && m_what.empty()) {
            const char c = m_text[m_i];
            if (c == '#') {
                m_bBare = false;
                Comment();
            } else if (m_bBare) {
                Plain(c);
            } else if (Starts(R"(""")") || Starts("'''")) {
                MultiLine(c);
            } else if (c == '"' || c == '\'') {
                Quoted(c);
            } else {
                Plain(c);
            }
        }
        offset = m_fault;
        what = m_what;
        return !m_what.empty();
    }

  private:
    bool Starts(std::string_view s) const { return m_text.substr(m_i, s.size()) == s; }

    void Refuse(size_t at, std::string what) {
        m_fault = at;
        m_what = std::move(what);
    }

    void Step() {
        const char c = m_text[m_i++];
        if (c == '\n')
            m_bLineStart = true;
        else if (!IsBlank(c))
            m_bLineStart = false;
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
            Refuse(m_i, "expected ASCII outside strings and comments");
            return;
        }
        // A table header's brackets are no array's.
        if ((c == '}' && !m_open.empty()) || (c == ']' && !m_open.empty() && m_open.back() == '['))
            m_open.pop_back();
        else if (c == '{' || (c == '[' && !(m_bLineStart && m_open.empty())))
            m_open.push_back(c);
        Step();
    }

    void Comment() {
        while (m_i < m_text.size() && m_text[m_i] != '\n')
            Step();
    }

    // A one-line string, to its closing quote or the end of the line.
    void Quoted(char quote) {
        Step();
        while (m_i < m_text.size() && m_text[m_i] != quote && m_text[m_i] != '\n') {
            if (quote == '"' && m_text[m_i] == '\\' && m_i + 1 < m_text.size() &&
                m_text[m_i + 1] != '\n')
                Step();
            Step();
        }
        if (m_i < m_text.size() && m_text[m_i] == quote) {
            Step();
            m_prev = quote;
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
                Step();
                // The escaped character, or the first one a line-ending
                // backslash does not trim, goes through the whitespace test.
                const bool bLineEnding =
                    m_i < m_text.size() &&
                    (IsBlank(m_text[m_i]) || m_text[m_i] == '\n' || m_text[m_i] == '\r');
                while (m_i < m_text.size() &&
                       (IsBlank(m_text[m_i]) || m_text[m_i] == '\n' || m_text[m_i] == '\r'))
                    Step();
                if (m_i < m_text.size() && !IsAscii(m_text[m_i])) {
                    Refuse(m_i, "expected ASCII after a backslash in a multi-line string");
                    return;
                }
                // An escaped character is the string's own, even a quote that
                // would otherwise close it.
                if (!bLineEnding && m_i < m_text.size())
                    Step();
                continue;
            }
            Step();
        }
    }

    std::string_view m_text;
    size_t m_i = 0;
    bool m_bLineStart = true;
    std::string m_open;   // the value brackets open, innermost last
    char m_prev = '\n';   // the last character outside strings but blanks
    bool m_bBare = false; // inside a value that is no string, array or table
    size_t m_fault = 0;
    std::string m_what;
};

} // namespace

bool FindUnsafeToml(std::string_view text, size_t& offset, std::string& what) {
    return CTextGuard(text).Find(offset, what);
}
