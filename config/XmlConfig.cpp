#include "config/XmlConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/ReplaceFile.h"

namespace {

constexpr unsigned PARSE_FLAGS = pugi::parse_default | pugi::parse_comments |
                                 pugi::parse_declaration | pugi::parse_pi | pugi::parse_doctype;

// Takes the next segment off path, skipping leading separators.
std::string_view PopPathSegment(std::string_view& path) {
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    const size_t sep = path.find('/');
    std::string_view segment = path.substr(0, sep);
    path = sep == std::string_view::npos ? std::string_view() : path.substr(sep + 1);
    return segment;
}

pugi::xml_node FirstChildElement(pugi::xml_node parent, std::string_view name) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && name == child.name())
            return child;
    }
    return {};
}

// An attribute name the parser will accept again; anything else would make the file unloadable.
bool IsXmlName(const char* name) {
    auto isStart = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
               c >= 0x80;
    };
    if (!isStart(static_cast<unsigned char>(name[0])))
        return false;
    for (const char* p = name + 1; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!isStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.')
            return false;
    }
    return true;
}

// Puts a line feed after every ">" that is directly followed by "<".
std::string BreakLines(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '>' && i + 1 < text.size() && text[i + 1] == '<')
            out += '\n';
    }
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    return out;
}

// The file a save lands in: a symbolic link is followed to the file it names
// (the link itself stays), so the temporary file is made beside the real file.
// Empty when the link leads nowhere.
std::string SaveTarget(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    return ec ? std::string() : real.string();
}

// A rename may only replace a regular file that the user could write, and
// needs a folder it can create the temporary file in.
bool MayReplace(const std::string& target) {
    const std::filesystem::path parent = std::filesystem::path(target).parent_path();
    const std::string folder = parent.empty() ? std::string(".") : parent.string();
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return false;
    struct stat st;
    if (::stat(target.c_str(), &st) != 0)
        return errno == ENOENT;
    // No write bit at all is a file made read-only on purpose, also for root.
    return S_ISREG(st.st_mode) && (st.st_mode & 0222) != 0 && ::access(target.c_str(), W_OK) == 0;
}

} // namespace

bool CXmlConfig::Load(const char* path) {
    if (path && *path)
        m_strPath = path;
    m_nodeCur = pugi::xml_node();
    m_doc.reset();
    // A directory or a device would reach the parser as a file of absurd or endless size.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(m_strPath, ec))
        return false;
    if (!m_doc.load_file(m_strPath.c_str(), PARSE_FLAGS)) {
        m_doc.reset();
        return false;
    }
    return true;
}

pugi::xml_node CXmlConfig::SelectNode(const char* path) {
    if (!path)
        return {};
    std::string_view rest(path);
    const std::string_view top = PopPathSegment(rest);
    pugi::xml_node root = m_doc.document_element();
    m_nodeCur = root && top == root.name() ? root : pugi::xml_node();
    while (m_nodeCur && !rest.empty())
        m_nodeCur = FirstChildElement(m_nodeCur, PopPathSegment(rest));
    return m_nodeCur;
}

bool CXmlConfig::GetString(const char* name, std::string& out) const {
    if (!name || m_nodeCur.type() != pugi::node_element)
        return false;
    const pugi::xml_attribute attr = m_nodeCur.attribute(name);
    if (!attr)
        return false;
    out = attr.value();
    return true;
}

bool CXmlConfig::GetInt(const char* name, int& out) const {
    std::string text;
    if (!GetString(name, text) || text.empty())
        return false;
    out = std::atoi(text.c_str());
    return true;
}

bool CXmlConfig::GetLong(const char* name, long& out) const {
    std::string text;
    if (!GetString(name, text) || text.empty())
        return false;
    out = std::atol(text.c_str());
    return true;
}

bool CXmlConfig::SetString(const char* name, const char* value) {
    if (!name || !value || m_nodeCur.type() != pugi::node_element || !IsXmlName(name))
        return false;
    pugi::xml_attribute attr = m_nodeCur.attribute(name);
    if (!attr)
        attr = m_nodeCur.append_attribute(name);
    return attr.set_value(value);
}

bool CXmlConfig::SetInt(const char* name, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return SetString(name, text);
}

bool CXmlConfig::SetLong(const char* name, long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%ld", value);
    return SetString(name, text);
}

bool CXmlConfig::Save(const char* path) {
    const std::string target = SaveTarget(path && *path ? std::string(path) : m_strPath);
    if (target.empty() || !MayReplace(target))
        return false;
    // The text is written as UTF-8 whatever the file was read as; the declaration must agree.
    const pugi::xml_node decl = m_doc.first_child();
    if (decl.type() == pugi::node_declaration) {
        pugi::xml_attribute enc = decl.attribute("encoding");
        if (enc && strcasecmp(enc.value(), "UTF-8") != 0)
            enc.set_value("UTF-8");
    }
    std::ostringstream text;
    m_doc.save(text, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return ReplaceFile(target, BreakLines(text.str())) == 0;
}
