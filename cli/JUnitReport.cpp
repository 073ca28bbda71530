#include "cli/JUnitReport.h"

#include <pugixml.hpp>

#include <cstdio>

namespace {

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", s);
    return text;
}

} // namespace

bool WriteJUnitReport(const std::string& path, const std::string& suite,
                      const std::vector<StepResult>& results, double totalSeconds,
                      std::string& error) {
    int failures = 0;
    for (const StepResult& r : results)
        failures += r.bPass ? 0 : 1;
    const std::string tests = std::to_string(results.size());

    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node all = doc.append_child("testsuites");
    all.append_attribute("tests") = tests.c_str();
    all.append_attribute("failures") = failures;
    all.append_attribute("errors") = 0;
    all.append_attribute("time") = Seconds(totalSeconds).c_str();
    pugi::xml_node ts = all.append_child("testsuite");
    ts.append_attribute("name") = suite.c_str();
    ts.append_attribute("tests") = tests.c_str();
    ts.append_attribute("failures") = failures;
    ts.append_attribute("errors") = 0;
    ts.append_attribute("skipped") = 0;
    ts.append_attribute("time") = Seconds(totalSeconds).c_str();
    for (const StepResult& r : results) {
        pugi::xml_node tc = ts.append_child("testcase");
        tc.append_attribute("classname") = suite.c_str();
        tc.append_attribute("name") = r.strName.c_str();
        tc.append_attribute("time") = Seconds(r.dElapsedMs / 1000.0).c_str();
        if (!r.bPass) {
            pugi::xml_node f = tc.append_child("failure");
            f.append_attribute("message") = r.strMessage.c_str();
            f.append_attribute("type") = "FAIL";
            f.text() = r.strMessage.c_str();
        }
        if (r.dReplyMs >= 0) {
            char text[48];
            std::snprintf(text, sizeof text, "reply time %.3f ms", r.dReplyMs);
            tc.append_child("system-out").text() = text;
        }
    }
    if (!doc.save_file(path.c_str(), "  ", pugi::format_default, pugi::encoding_utf8)) {
        error = path + ": cannot write the JUnit report";
        return false;
    }
    return true;
}
