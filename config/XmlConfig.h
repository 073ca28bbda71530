#pragma once

#include <pugixml.hpp>
#include <string>

// The settings store over config.xml: one parsed document, one selected element (the current
// node), and the attributes of that element as the settings. Used from one thread only.
class CXmlConfig {
  public:
    CXmlConfig() = default;
    CXmlConfig(const CXmlConfig&) = delete;
    CXmlConfig& operator=(const CXmlConfig&) = delete;

    // Remembers a non-empty path, then parses the file at the remembered path into a fresh
    // document and clears the current node. Returns false when the file is missing, is not a
    // regular file or does not parse; the document is then empty.
    bool Load(const char* path);

    // Selects the element at a "/"-separated path whose first segment names the root element;
    // leading and trailing separators are ignored. Returns the element, or an empty node when
    // any segment is not found. A null path returns an empty node and keeps the current node.
    pugi::xml_node SelectNode(const char* path);

    // Reads an attribute of the current node. Fails (out untouched) when no element is selected,
    // the name is null or the attribute is missing; an empty value succeeds.
    bool GetString(const char* name, std::string& out) const;

    // Reads an attribute as atoi/atol do (leading number, 0 when there is none). Fails (out
    // untouched) as GetString does, and also when the value is empty.
    bool GetInt(const char* name, int& out) const;
    bool GetLong(const char* name, long& out) const;

    // Sets or adds an attribute of the current node. Fails when no element is selected, the name
    // or value is null, or the name is not a valid XML name.
    bool SetString(const char* name, const char* value);
    bool SetInt(const char* name, int value);
    bool SetLong(const char* name, long value);

    // Writes the document, a line feed after every ">" that is followed by "<", to path or, when
    // path is null or empty, to the remembered path. The new text goes to a temporary file in the
    // same folder that then replaces the target, so a failed write leaves the old file as it was.
    // A symbolic link is written through to the file it names; the file keeps its mode. Returns
    // false, file unchanged, when there is no target, the target is not a regular file, has no
    // write permission, its folder is not writable, or writing fails.
    bool Save(const char* path = nullptr);

  private:
    pugi::xml_node m_nodeCur;
    std::string m_strPath;
    pugi::xml_document m_doc;
};
