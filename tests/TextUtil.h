#pragma once

#include <sstream>
#include <string>
#include <vector>

// The lines of a text, without their line breaks.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The step lines of a quillmark-cli run's output: everything before the
// blank line.
inline std::vector<std::string> StepLines(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& l : Lines(out)) {
        if (l.empty())
            break;
        lines.push_back(l);
    }
    return lines;
}
