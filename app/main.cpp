#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/QuillmarkApp.h"
#include "app/Toolkit.h"
#include "config/ConfigLocation.h"

namespace {

constexpr int EXIT_BAD_ARGS = 2;

const char* const USAGE =
    "Usage: quillmark [--config FILE] [Qt options]\n"
    "A desktop console for testing and servicing reader terminals.\n"
    "\n"
    "  --config FILE  read and save FILE instead of looking for config.xml\n"
    "  --version      print the version and exit\n"
    "  --help         print this text and exit\n"
    "\n"
    "Without --config: config.xml beside the program, else\n"
    "$XDG_CONFIG_HOME/quillmark/config.xml (~/.config/quillmark/config.xml),\n"
    "made from " QUILLMARK_DEFAULT_CONFIG " on the first start.\n";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

int main(int argc, char* argv[]) {
    // Our own options are taken before Qt sees the command line, so that
    // --version and --help need no display; the rest is Qt's.
    std::string configFile;
    std::vector<char*> qtArgs{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version") {
            std::printf("quillmark %s\n", QUILLMARK_VERSION);
            return 0;
        }
        if (arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (arg == "--config" || arg.starts_with("--config=")) {
            if (arg != "--config")
                configFile = arg.substr(std::strlen("--config="));
            else if (i + 1 < argc)
                configFile = argv[++i];
            if (configFile.empty()) {
                std::fprintf(stderr, "quillmark: --config needs a file name\n");
                return EXIT_BAD_ARGS;
            }
            continue;
        }
        qtArgs.push_back(argv[i]);
    }
    int qtArgc = static_cast<int>(qtArgs.size());
    qtArgs.push_back(nullptr);

    const ConfigSearch search{configFile, GetExeDir(), Env("XDG_CONFIG_HOME"), Env("HOME"),
                              QUILLMARK_DEFAULT_CONFIG};
    std::string configPath;
    int osError = 0;
    if (FindConfig(search, configPath, osError) == CONFIG_COPY_FAILED)
        std::fprintf(stderr, "quillmark: cannot copy %s to %s: %s\n", QUILLMARK_DEFAULT_CONFIG,
                     configPath.c_str(), std::strerror(osError));

    QApplication app(qtArgc, qtArgs.data());
    InitToolkit();
    CQuillmarkApp theApp;
    return theApp.InitInstance(configPath);
}
