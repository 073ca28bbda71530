#pragma once

#include <vector>

#include "comm/NetDriver.h"

// Adapter lists for NetSetAdapterSource: the UDP open binds loopback, finds
// nothing, or finds no Ethernet adapter.
inline bool LoopbackAdapter(std::vector<NetAdapter>& out) {
    out = {{"lo", true, true, "127.0.0.1"}};
    return true;
}

inline bool NoAdapter(std::vector<NetAdapter>& out) {
    out.clear();
    return true;
}

inline bool NoEthernet(std::vector<NetAdapter>& out) {
    out = {{"ppp0", false, true, "10.64.0.2"}};
    return true;
}
