#pragma once

// config.xml of a console, one attribute list per section, for the tests and
// benches that start a console or a settings dialog: each changes only the
// sections it needs and keeps the document's shape.

#include <string>
#include <utility>
#include <vector>

struct ConsoleConfigXml {
    std::string declaration = R"(<?xml version="1.0" encoding="UTF-8"?>)";
    std::string comment; // a line before the sections, kept by every save
    std::string com = R"(PortNo="1" BaudRate="19200" FirstChar="1000" RevTimeOut="1000")";
    std::string modem =
        R"(PortNo="2" BaudRate="19200" FirstChar="1000" RevTimeOut="1000" AddedNo="" CalledNo="")";
    std::string tcp = R"(IP="127.0.0.1" Port="1" FirstChar="1000" RevTimeOut="1000")";
    std::string udp = R"(IP="127.0.0.1" Port="1" FirstChar="1000" RevTimeOut="1000")";
    std::vector<std::pair<int, std::string>> ports; // COM number, device path

    std::string Xml() const {
        std::string xml = declaration + "\n<Quillmark>\n";
        if (!comment.empty())
            xml += comment + "\n";
        xml += "<COMPort " + com + "/>\n<Modem " + modem + "/>\n<TCP " + tcp + "/>\n<UDP " + udp +
               "/>\n";
        if (!ports.empty()) {
            xml += "<Ports>";
            for (const auto& [no, device] : ports)
                xml += "<Port No=\"" + std::to_string(no) + "\" Device=\"" + device + "\"/>";
            xml += "</Ports>\n";
        }
        return xml + "</Quillmark>\n";
    }
};
