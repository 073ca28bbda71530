#include "cli/CliText.h"

#include <cerrno>
#include <cstring>

#include <cstdio>

#include "protocol/Frame.h"

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string HexArgError(const std::string& text) {
    const std::string upper = UpperAscii(text);
    const int rc = CheckHexText(upper.data(), static_cast<int>(upper.size()));
    if (rc == 0)
        return {};
    if (rc == HEX_ODD_LENGTH)
        return "输入字符个数为奇数个，请重新输入!";
    char buf[96];
    std::snprintf(buf, sizeof buf, "第%d个字符不是合法的16进制字符，请重新输入", rc);
    return buf;
}

std::vector<uint8_t> HexArgBytes(const std::string& text) {
    const std::string upper = UpperAscii(text);
    std::vector<uint8_t> bytes(upper.size() / 2);
    HexToBytes(upper.data(), bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
}

std::string TerminalText(std::string_view windowText) {
    std::string out;
    out.reserve(windowText.size());
    for (size_t i = 0; i < windowText.size(); ++i) {
        const char c = windowText[i];
        if (c == '\r' && i + 1 < windowText.size() && windowText[i + 1] == '\n')
            continue;
        if (c == '\n') {
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
        }
        out += c;
    }
    return out;
}

void PrintText(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string OsReasonText(int err) {
    if (err == 0)
        return {};
    std::string text = std::string(" (") + std::strerror(err) + ")";
    if (err == EACCES || err == EPERM)
        text += "\n提示: 当前用户无权打开该设备, 请把用户加入 dialout 组 (sudo usermod -aG dialout "
                "$USER) 后重新登录";
    else if (err == EBUSY || err == EWOULDBLOCK)
        text += "\n提示: 该串口已被另一个程序占用, 请先关闭占用它的程序";
    return text;
}
