// The config.xml loader with the reads the console makes: whatever the file
// holds, the reads stay in bounds, and a saved config loads to the same values.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "FuzzInput.h"
#include "config/XmlConfig.h"

namespace {

struct Read {
    const char* section;
    const char* name;
    char kind; // 's' string, 'i' int, 'l' long
};

// The console's reads, section by section.
const Read READS[] = {
    {"Quillmark/TCP", "IP", 's'},
    {"Quillmark/TCP", "Port", 'i'},
    {"Quillmark/TCP", "FirstChar", 'i'},
    {"Quillmark/TCP", "RevTimeOut", 'i'},
    {"Quillmark/UDP", "IP", 's'},
    {"Quillmark/UDP", "Port", 'i'},
    {"Quillmark/UDP", "FirstChar", 'i'},
    {"Quillmark/UDP", "RevTimeOut", 'i'},
    {"Quillmark/COMPort", "PortNo", 'i'},
    {"Quillmark/COMPort", "BaudRate", 'l'},
    {"Quillmark/COMPort", "FirstChar", 'i'},
    {"Quillmark/COMPort", "RevTimeOut", 'i'},
    {"Quillmark/Modem", "PortNo", 'i'},
    {"Quillmark/Modem", "BaudRate", 'l'},
    {"Quillmark/Modem", "AddedNo", 's'},
    {"Quillmark/Modem", "CalledNo", 's'},
    {"Quillmark/Modem", "FirstChar", 'i'},
    {"Quillmark/Modem", "RevTimeOut", 'i'},
};
constexpr size_t READ_COUNT = sizeof READS / sizeof READS[0];

struct Value {
    bool ok = false;
    std::string text;
    long number = 0;
    bool operator==(const Value&) const = default;
};

std::vector<Value> ReadAll(CXmlConfig& config) {
    std::vector<Value> values;
    for (const Read& r : READS) {
        Value v;
        config.SelectNode(r.section);
        if (r.kind == 's') {
            v.ok = config.GetString(r.name, v.text);
        } else if (r.kind == 'i') {
            int n = 0;
            v.ok = config.GetInt(r.name, n);
            v.number = n;
        } else {
            v.ok = config.GetLong(r.name, v.number);
        }
        values.push_back(v);
    }
    // The COM bindings, as the console walks them.
    for (pugi::xml_node port : config.SelectNode("Quillmark/Ports").children("Port")) {
        Value v;
        v.ok = static_cast<bool>(port.attribute("No"));
        v.number = port.attribute("No").as_int(-1);
        v.text = port.attribute("Device").as_string();
        values.push_back(v);
    }
    return values;
}

// A folder of this process's own, removed at exit.
std::string Folder() {
    static const std::string dir = [] {
        std::string d = "/tmp/quillmark-fuzz-config-" + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        std::atexit([] {
            const std::string d = "/tmp/quillmark-fuzz-config-" + std::to_string(getpid());
            for (const char* f : {"/config.xml", "/saved.xml"})
                std::remove((d + f).c_str());
            rmdir(d.c_str());
        });
        return d;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The head chooses one setting to change and its new text; the rest is the file.
    FuzzInput in(data, size);
    const size_t which = in.Byte() % READ_COUNT;
    const uint8_t* newText = nullptr;
    const size_t newLen = in.Take(in.Byte() % 24, newText);
    std::string value(reinterpret_cast<const char*>(newText), newLen);
    value = value.substr(0, value.find('\0'));
    const uint8_t* file = nullptr;
    const size_t fileLen = in.Take(in.Left(), file);

    const std::string first = Folder() + "/config.xml";
    const std::string second = Folder() + "/saved.xml";
    {
        std::ofstream out(first, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file), static_cast<std::streamsize>(fileLen));
    }
    CXmlConfig config;
    if (!config.Load(first.c_str())) {
        FUZZ_CHECK(!config.SelectNode("Quillmark"));
        return 0;
    }
    const std::vector<Value> before = ReadAll(config);

    FUZZ_CHECK(config.Save(second.c_str()));
    CXmlConfig saved;
    FUZZ_CHECK(saved.Load(second.c_str()));
    FUZZ_CHECK(ReadAll(saved) == before);

    // A changed setting, saved, reads back as set; the others stay.
    const Read& r = READS[which];
    if (!saved.SelectNode(r.section))
        return 0;
    std::vector<Value> expect = before;
    if (r.kind == 's') {
        FUZZ_CHECK(saved.SetString(r.name, value.c_str()));
        expect[which] = {true, value, 0};
    } else {
        const long n = std::strtol(value.c_str(), nullptr, 10);
        if (r.kind == 'i') {
            FUZZ_CHECK(saved.SetInt(r.name, static_cast<int>(n)));
            expect[which] = {true, "", static_cast<int>(n)};
        } else {
            FUZZ_CHECK(saved.SetLong(r.name, n));
            expect[which] = {true, "", n};
        }
    }
    FUZZ_CHECK(saved.Save());
    CXmlConfig again;
    FUZZ_CHECK(again.Load(second.c_str()));
    const std::vector<Value> after = ReadAll(again);
    FUZZ_CHECK(after == expect);
    return 0;
}
