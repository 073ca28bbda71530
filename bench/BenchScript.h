#pragma once

#include <string>

// Reply times of `quillmark-cli run` against ExchangeFrame, both against
// the same simulator over loopback TCP.
struct ScriptFigures {
    int nExchanges = 0;
    double dScriptMedianUs = 0; // the run's own median reply time
    double dExchangeMedianUs = 0;
};

// Starts quillmark-sim and runs quillmark-cli (both from the bench's own
// folder): a script of nExchanges echo exchanges, then the same frame as
// many times through ExchangeFrame. Returns true, or false with the reason.
bool MeasureScriptReplyTimes(int nExchanges, ScriptFigures& out, std::string& error);
