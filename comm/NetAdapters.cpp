#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "comm/NetDriver.h"

namespace {

std::atomic<NetAdapterSource> g_adapterSource{nullptr};

// The link type as the kernel reports it; virtual interfaces such as ifb
// report Ethernet too, so callers also look at the up flag.
bool IsEthernet(const std::string& name) {
    std::ifstream f("/sys/class/net/" + name + "/type");
    int type = -1;
    return (f >> type) && type == ARPHRD_ETHER;
}

} // namespace

bool NetListAdapters(std::vector<NetAdapter>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    // One entry per address: gather them by interface, in order of first sight.
    for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        // The platform's adapter list the UDP open stands for has no loopback.
        if (ifa->ifa_name == nullptr || (ifa->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        auto it = std::find_if(out.begin(), out.end(),
                               [&](const NetAdapter& a) { return a.name == ifa->ifa_name; });
        if (it == out.end()) {
            out.push_back({ifa->ifa_name, IsEthernet(ifa->ifa_name), false, {}});
            it = out.end() - 1;
        }
        it->bUp = it->bUp || (ifa->ifa_flags & IFF_UP) != 0;
        if (it->ipv4.empty() && ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
            if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr)
                it->ipv4 = text;
        }
    }
    freeifaddrs(list);
    return true;
}

void NetSetAdapterSource(NetAdapterSource source) {
    g_adapterSource.store(source);
}

bool NetReadAdapters(std::vector<NetAdapter>& out) {
    const NetAdapterSource source = g_adapterSource.load();
    return source != nullptr ? source(out) : NetListAdapters(out);
}
