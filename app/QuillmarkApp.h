#pragma once

#include <string>

// The application object: runs the console until it is closed.
class CQuillmarkApp {
  public:
    // Runs the console modally over the config.xml at configPath (empty:
    // beside the executable). Returns the process exit status: 0, or 1 when
    // the console could not start because config.xml is missing or does not
    // load.
    int InitInstance(const std::string& configPath = {});
};
