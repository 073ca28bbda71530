// Captures end to end: a scripted run against a faulty simulator, recorded
// by the command-line tool and by the simulator, read back by our reader and
// by tshark with the dissector, shown, replayed, and cut short by SIGKILL.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "FrameUtil.h"
#include "RunProgram.h"
#include "SimLines.h"
#include "TempDir.h"
#include "TextUtil.h"
#include "comm/CaptureReader.h"
#include "comm/CaptureWriter.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string DISSECTOR = QUILLMARK_SOURCE_DIR "/wireshark/tavoframe.lua";
const fs::path EXAMPLES = QUILLMARK_SOURCE_DIR "/examples";

const std::vector<std::string> FAULTS = {"--fault", "garbage:E4",       "--fault", "bad-crc:E1",
                                         "--fault", "bad-end:07",       "--fault", "ack:24",
                                         "--fault", "transfer-error:03"};

// One step for each fault, then a clean one.
const char SCRIPT[] = R"([defaults]
machine = 1
first_char_ms = 500
inter_char_ms = 500
[[step]]
name = "garbage first"
diag = "version"
[[step]]
name = "bad checksum"
diag = "reader-id"
expect_error = "checksum"
[[step]]
name = "bad end"
exchange = "07"
[[step]]
name = "acknowledgement first"
exchange = "24"
data = "01"
[[step]]
name = "transfer error"
exchange = "03"
[[step]]
name = "echo"
exchange = "10"
data = "0102"
expect_data = "01 02"
)";

const std::vector<std::string> LINES = {"tcp", "pty", "udp"};

// tshark with the dissector, at home in a scratch folder so that no plugin
// or preference of the user's takes part.
RunResult Tshark(const std::vector<std::string>& args) {
    static const TempDir home;
    std::vector<std::string> all = {"HOME=" + home.path.string(), "tshark", "-n", "-X",
                                    "lua_script:" + DISSECTOR};
    all.insert(all.end(), args.begin(), args.end());
    return ::Run("/usr/bin/env", all);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep))
        parts.push_back(part);
    if (!s.empty() && s.back() == sep)
        parts.emplace_back();
    return parts;
}

// One frame as tshark decoded it: the packet's direction, the command or
// status, the checksum status and the end byte.
struct Decoded {
    int dir;
    std::string code;
    std::string crc;
    std::string end;
    bool operator==(const Decoded&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Decoded& d) {
    return os << d.dir << " " << d.code << " " << d.crc << " " << d.end;
}

struct Decoding {
    std::vector<Decoded> frames;
    std::vector<int> packetDirs;
    std::vector<std::string> experts; // every expert message, packet comments included
    int skippedPackets = 0;
};

// Every frame of a capture through tshark, in order. The display filter
// "tavoframe" is refused when the dissector did not load, so a script that
// failed cannot pass as empty fields.
Decoding Decode(const fs::path& capture) {
    const RunResult r = Tshark({"-r", capture.string(),
                                "-Y", "tavoframe",
                                "-T", "fields",
                                "-E", "occurrence=a",
                                "-e", "frame.packet_flags_direction",
                                "-e", "tavoframe.cmd",
                                "-e", "tavoframe.status",
                                "-e", "tavoframe.crc.status",
                                "-e", "tavoframe.end",
                                "-e", "tavoframe.skipped",
                                "-e", "_ws.expert.message"});
    EXPECT_EQ(r.status, 0) << r.err;
    Decoding d;
    for (const std::string& line : Lines(r.out)) {
        const std::vector<std::string> f = Split(line, '\t');
        if (f.size() < 7)
            continue;
        const int dir = static_cast<int>(std::stoul(f[0], nullptr, 16));
        d.packetDirs.push_back(dir);
        const std::vector<std::string> codes = Split(f[1].empty() ? f[2] : f[1], ',');
        const std::vector<std::string> crcs = Split(f[3], ',');
        const std::vector<std::string> ends = Split(f[4], ',');
        for (size_t i = 0; i < codes.size() && i < crcs.size() && i < ends.size(); ++i)
            d.frames.push_back({dir, codes[i], crcs[i], ends[i]});
        d.skippedPackets += f[5].empty() ? 0 : 1;
        for (const std::string& m : Split(f[6], ','))
            if (!m.empty())
                d.experts.push_back(m);
    }
    return d;
}

// The frames of SCRIPT's run as the host sees them (requests out).
std::vector<Decoded> ExpectedFrames(bool bHostSide) {
    const int out = bHostSide ? CAPTURE_OUT : CAPTURE_IN;
    const int in = bHostSide ? CAPTURE_IN : CAPTURE_OUT;
    return {
        {out, "0xe4", "1", "0xc1"}, {in, "0x00", "1", "0xc3"},  {out, "0xe1", "1", "0xc1"},
        {in, "0x00", "0", "0xc3"},  {out, "0x07", "1", "0xc1"}, {in, "0x00", "1", "0x00"},
        {out, "0x24", "1", "0xc1"}, {in, "0xac", "1", "0xc3"},  {in, "0x00", "1", "0xc3"},
        {out, "0x03", "1", "0xc1"}, {in, "0xce", "1", "0xc3"},  {out, "0x10", "1", "0xc1"},
        {in, "0x00", "1", "0xc3"},
    };
}

int Count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<int>(std::count(v.begin(), v.end(), s));
}

Capture Read(const fs::path& path) {
    Capture cap;
    std::string error;
    EXPECT_EQ(LoadCapture(path, cap, error), CAPTURE_READ_OK) << error;
    return cap;
}

// The bytes of every packet that went one way, joined.
Bytes Joined(const Capture& cap, int direction) {
    Bytes all;
    for (const CapturePacket& p : cap.packets)
        if (p.nDirection == direction)
            all = Concat(all, p.bytes);
    return all;
}

Bytes HexBytes(const std::string& cells) {
    Bytes out;
    std::istringstream in(cells);
    for (std::string cell; in >> cell;)
        out.push_back(static_cast<uint8_t>(std::stoul(cell, nullptr, 16)));
    return out;
}

// The simulator's log lines of one kind ("RX", "TX", ...) on line, as bytes.
std::vector<Bytes> Logged(const std::string& log, const std::string& kind,
                          const std::string& line) {
    std::vector<Bytes> out;
    const std::string prefix = kind + " " + line + " ";
    for (const std::string& l : Lines(log))
        if (l.rfind(prefix, 0) == 0)
            out.push_back(HexBytes(l.substr(prefix.size())));
    return out;
}

// A run's step lines without their reply times: "NAME PASS", "NAME FAIL: ...".
std::vector<std::string> Verdicts(const std::string& out) {
    std::vector<std::string> v;
    for (std::string l : StepLines(out)) {
        const size_t ms = l.find(" ms");
        if (ms != std::string::npos) {
            const size_t space = l.rfind(' ', ms - 1);
            l.erase(space, ms + 3 - space);
        }
        v.push_back(l);
    }
    return v;
}

TEST(CaptureE2E, FaultyRunRecordedOnBothSidesReadsBackAndDecodes) {
    for (const std::string& line : LINES) {
        const TempDir dir;
        const fs::path simSide = dir.path / "sim.pcapng";
        SimLines sim([&] {
            std::vector<std::string> a = FAULTS;
            a.insert(a.end(), {"--capture", simSide.string()});
            return a;
        }());
        ASSERT_TRUE(sim.Ready()) << line;
        sim.Write("faults.toml", SCRIPT);
        const fs::path host = sim.Dir() / "host.pcapng";
        const RunResult run = sim.Run(sim.Dir() / "faults.toml", line, {"--capture", host});
        ASSERT_EQ(run.status, 1) << line << "\n" << run.out << run.err; // "bad end" fails
        ASSERT_EQ(sim.Stop(), 0);
        const std::string log = sim.Log();

        // Our reader: every byte once, in order, each way.
        const Capture h = Read(host);
        Bytes requests;
        Bytes replies;
        for (const Bytes& b : Logged(log, "RX", line))
            requests = Concat(requests, b);
        for (const Bytes& b : Logged(log, "TX", line))
            replies = Concat(replies, b);
        EXPECT_EQ(Joined(h, CAPTURE_OUT), requests) << line;
        EXPECT_EQ(Joined(h, CAPTURE_IN), replies) << line;
        ASSERT_EQ(h.interfaces.size(), 1u);
        EXPECT_EQ(h.interfaces[0].nSide, CAPTURE_SIDE_HOST);

        // The simulator's capture: a packet for each line it logged, in order.
        const Capture s = Read(simSide);
        std::vector<int> logged;
        for (const std::string& l : Lines(log)) {
            if (l.rfind("RX ", 0) == 0 || l.rfind("SKIP ", 0) == 0 || l.rfind("DROP ", 0) == 0)
                logged.push_back(CAPTURE_IN);
            else if (l.rfind("TX ", 0) == 0)
                logged.push_back(CAPTURE_OUT);
        }
        std::vector<int> recorded;
        for (const CapturePacket& p : s.packets)
            recorded.push_back(p.nDirection);
        EXPECT_EQ(recorded, logged) << line;

        // tshark with the dissector, on both.
        const Decoding hd = Decode(host);
        EXPECT_EQ(hd.frames, ExpectedFrames(true)) << line;
        EXPECT_EQ(hd.skippedPackets, 1) << line;
        EXPECT_EQ(Count(hd.experts, "数据校验错误"), 1) << line;
        EXPECT_EQ(Count(hd.experts, "结束符错误: 应为 C3"), 1) << line;
        EXPECT_EQ(Count(hd.experts, "终端收到的PC数据帧已损坏"), 1) << line;
        const Decoding sd = Decode(simSide);
        EXPECT_EQ(sd.frames, ExpectedFrames(false)) << line;
        EXPECT_EQ(sd.packetDirs, logged) << line;
        EXPECT_EQ(Count(sd.experts, "数据校验错误"), 1) << line;
    }
}

TEST(CaptureE2E, ReplayAnswersAsTheFaultyTerminalDid) {
    TempDir dir;
    dir.Write("faults.toml", SCRIPT);
    const fs::path script = dir.path / "faults.toml";
    for (const std::string& line : LINES) {
        const std::string live = (dir.path / (line + "-live.pcapng")).string();
        RunResult liveRun;
        {
            SimLines sim([&] {
                std::vector<std::string> a = FAULTS;
                a.insert(a.end(), {"--capture", (dir.path / (line + "-sim.pcapng")).string()});
                return a;
            }());
            ASSERT_TRUE(sim.Ready());
            liveRun = sim.Run(script, line, {"--capture", live});
        }
        // Either side's capture stands in for the terminal.
        for (const std::string side : {"-live", "-sim"}) {
            const std::string recorded = (dir.path / (line + side + ".pcapng")).string();
            SimLines replay({"--replay", recorded});
            ASSERT_TRUE(replay.Ready()) << recorded;
            const std::string again = (dir.path / (line + side + "-again.pcapng")).string();
            const RunResult r = replay.Run(script, line, {"--capture", again});
            EXPECT_EQ(r.status, liveRun.status) << line << side << "\n" << r.out;
            EXPECT_EQ(Verdicts(r.out), Verdicts(liveRun.out)) << line << side;
            EXPECT_EQ(Joined(Read(again), CAPTURE_IN), Joined(Read(live), CAPTURE_IN))
                << line << side;
        }
    }
}

TEST(CaptureE2E, ReplayNamesRequestsItNeverSaw) {
    SimLines sim({"--replay", (EXAMPLES / "faults.pcapng").string(), "--replay-timing"});
    ASSERT_TRUE(sim.Ready());
    sim.Write("other.toml", "[[step]]\nexchange = \"55\"\nmachine = 9\nfirst_char_ms = 100\n"
                            "expect_error = \"no-reply\"\n");
    const RunResult r = sim.Run(sim.Dir() / "other.toml", "tcp");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(sim.Log().find("NOTE tcp replay: request not in the capture, no reply") !=
                std::string::npos)
        << sim.Log();
}

TEST(CaptureE2E, ShippedExampleReplaysTheFaultsScript) {
    // examples/faults.pcapng recorded examples/faults.toml against the
    // simulator its first lines name; replayed, the same steps fail.
    const fs::path example = EXAMPLES / "faults.pcapng";
    SimLines replay({"--replay", example.string()});
    ASSERT_TRUE(replay.Ready());
    const RunResult r = replay.Run(EXAMPLES / "faults.toml", "tcp");
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> steps = StepLines(r.out);
    ASSERT_EQ(steps.size(), 10u) << r.out;
    for (const std::string& s : steps) {
        const bool bExpectedPass = s.rfind("expected silence ", 0) == 0;
        EXPECT_NE(s.find(bExpectedPass ? " PASS " : " FAIL "), std::string::npos) << s;
    }
    const Decoding d = Decode(example);
    EXPECT_FALSE(d.frames.empty());
}

TEST(CaptureE2E, KilledMidRunTheCaptureStillOpens) {
    SimLines sim({});
    ASSERT_TRUE(sim.Ready());
    sim.Write("long.toml", "[[step]]\nexchange = \"10\"\ndata = \"0102\"\nrepeat = 1000000\n");
    const fs::path path = sim.Dir() / "killed.pcapng";
    std::vector<std::string> args = {"run", (sim.Dir() / "long.toml").string(), "--capture",
                                     path.string()};
    const std::vector<std::string> ch = sim.Channel("tcp");
    args.insert(args.end(), ch.begin(), ch.end());
    // Run kills the tool with SIGKILL after 1.5 s, in the middle of the run.
    const RunResult r = ::Run("quillmark-cli", args, 1500);
    EXPECT_EQ(r.status, -1);
    const Capture cap = Read(path);
    EXPECT_GT(cap.packets.size(), 10u);
    const RunResult t = Tshark({"-r", path.string(), "-Y", "tavoframe", "-c", "1"});
    EXPECT_EQ(t.status, 0) << t.err;
}

TEST(CaptureE2E, ShowPrintsPacketsAndRefusesWhatIsNoCapture) {
    TempDir dir;
    const fs::path path = dir.path / "c.pcapng";
    {
        CCaptureWriter w;
        ASSERT_EQ(w.Open(path, CAPTURE_SIDE_HOST, "quillmark-cli"), 0);
        ASSERT_EQ(w.AddInterface("TCP 127.0.0.1:6688", "quillmark-cli exchange"), 0);
        const Bytes req = {0xC0, 0xFF, 0xE4, 0x00, 0x00, 0xC2, 0x8C, 0xC1};
        const Bytes reply = MakeReply(0xFF, 0, Bytes(17, 0x11));
        ASSERT_EQ(w.Packet(0, CAPTURE_OUT, 1000000, req.data(), 8), 0);
        ASSERT_EQ(w.Packet(0, CAPTURE_IN, 1002500, reply.data(), 25, "-9 数据校验错误!"), 0);
    }
    const RunResult r = ::Run("quillmark-cli", {"show", path.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    EXPECT_EQ(lines[0], "# if0 TCP 127.0.0.1:6688 (quillmark-cli exchange), written by "
                        "quillmark-cli, host side: requests TX, replies RX");
    EXPECT_NE(lines[1].find(":01.000000 if0 TX 8"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "C0 FF E4 00 00 C2 8C C1    000F");
    EXPECT_NE(lines[3].find(":01.002500 if0 RX 25"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "C2 FF 00 00 11 11 11 11 11 11 11 11 11 11 11 11    000F");
    EXPECT_EQ(lines[6], "  # -9 数据校验错误!");

    // Cut inside the last packet: the first is shown, then the fault.
    const std::string whole = ReadFile(path);
    dir.Write("cut.pcapng", whole.substr(0, whole.size() - 6));
    const RunResult cut = ::Run("quillmark-cli", {"show", (dir.path / "cut.pcapng").string()});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.out.find("if0 TX 8"), std::string::npos);
    EXPECT_EQ(cut.out.find("if0 RX"), std::string::npos);
    EXPECT_NE(cut.err.find("cut.pcapng: block at offset"), std::string::npos) << cut.err;

    dir.Write("empty.pcapng", "");
    dir.Write("text.pcapng", "C0 FF E4 00 00 C2 8C C1\n");
    dir.Write("old.pcap", std::string("\xD4\xC3\xB2\xA1\x02\x00\x04\x00", 8));
    for (const char* name : {"empty.pcapng", "text.pcapng", "old.pcap", "missing.pcapng"}) {
        const RunResult bad = ::Run("quillmark-cli", {"show", (dir.path / name).string()});
        EXPECT_EQ(bad.status, 2) << name;
        EXPECT_TRUE(bad.out.empty()) << name;
        EXPECT_NE(bad.err.find(name), std::string::npos) << bad.err;
    }
}

TEST(CaptureE2E, CaptureThatCannotBeWrittenStopsTheRunBeforeAnythingIsSent) {
    SimLines sim({});
    ASSERT_TRUE(sim.Ready());
    sim.Write("one.toml", "[[step]]\nexchange = \"10\"\n");
    const RunResult r =
        sim.Run(sim.Dir() / "one.toml", "tcp", {"--capture", (sim.Dir() / "no" / "c").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write the capture"), std::string::npos) << r.err;
    EXPECT_EQ(sim.Log().find("RX tcp"), std::string::npos);

    const RunResult replay =
        ::Run("quillmark-sim", {"--replay", (sim.Dir() / "one.toml").string(), "--no-udp"});
    EXPECT_EQ(replay.status, 2);
    EXPECT_NE(replay.err.find("not a capture"), std::string::npos) << replay.err;
}

TEST(CaptureE2E, DissectorKnowsContextAndNetworkTraffic) {
    // Sequence bytes and download steps come from earlier frames of the same
    // conversation; two interfaces keep separate conversations. Over TCP the
    // console never sees an acknowledgement, so it sends no sequence byte.
    TempDir dir;
    const fs::path path = dir.path / "ctx.pcapng";
    const auto req = [](uint8_t cmd, const Bytes& data) {
        Bytes f(data.size() + FRAME_OVERHEAD);
        BuildFrame(1, cmd, data.data(), static_cast<int>(data.size()), f.data());
        return f;
    };
    const Bytes ok = MakeReply(1, 0, {});
    {
        CCaptureWriter w;
        ASSERT_EQ(w.Open(path, CAPTURE_SIDE_HOST, "test"), 0);
        ASSERT_EQ(w.AddInterface("a", ""), 0);
        ASSERT_EQ(w.AddInterface("TCP 127.0.0.1:6688", ""), 1);
        int64_t t = 0;
        const auto put = [&](int iface, int dir, const Bytes& b) {
            ASSERT_EQ(w.Packet(iface, dir, ++t, b.data(), static_cast<int>(b.size())), 0);
        };
        for (int iface : {0, 1}) {
            put(iface, CAPTURE_OUT, req(0x10, {}));
            put(iface, CAPTURE_IN, AckBytes());
            put(iface, CAPTURE_IN, ok);
        }
        put(1, CAPTURE_OUT, req(0x04, {0x07, 0x01})); // TCP: no sequence byte
        put(0, CAPTURE_OUT, req(0x04, {0x07, 0x01})); // sequence byte 7
        put(0, CAPTURE_IN, ok);
        put(0, CAPTURE_OUT, req(0xE7, {'L', 'o', 'a', 'd', 'P'}));
        put(0, CAPTURE_IN, ok);
        put(0, CAPTURE_OUT, req(0x01, {0x01}));
        put(0, CAPTURE_IN, ok);
        put(0, CAPTURE_OUT, req(0x03, {0x01, 0x00, 0x02, 0xAA, 0xBB}));
        put(0, CAPTURE_IN, MakeReply(1, 0x02, {})); // refused: the download ends
        put(0, CAPTURE_OUT, req(0x03, {}));         // power on, no block
        put(0, CAPTURE_IN, Head(ok, 6));            // cut short
    }
    const RunResult r =
        Tshark({"-r", path.string(), "-Y", "tavoframe", "-T", "fields", "-e", "tavoframe.cmd", "-e",
                "tavoframe.seq", "-e", "tavoframe.download.step", "-e", "_ws.expert.message"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> rows = Lines(r.out);
    const std::vector<std::string> expected = {
        "0x10\t\t\t",
        "\t\t\t",
        "\t\t\t",
        "0x10\t\t\t",
        "\t\t\t",
        "\t\t\t",
        "0x04\t\t\t",
        "0x04\t7\t\t",
        "\t\t\t",
        "0xe7\t\tLoadP\t",
        "\t\t\t",
        "0x01\t\tsize\t",
        "\t\t\t",
        "0x03\t\tblock 2\t",
        "\t\t\t",
        "0x03\t\t\t",
        "\t\t\t长度与帧不符: 长度 0 需 8 字节, 只有 6 字节",
    };
    EXPECT_EQ(rows, expected) << r.out;

    // A terminal's own TCP traffic, a reply split over two segments, and a
    // UDP datagram: found by the heuristics, without any setting.
    dir.Write("tcp.txt", "I 0000 C0 FF E4 00 00 C2 8C C1\n"
                         "O 0000 C2 FF 00 00 06 03 01\n"
                         "O 0000 24 05 17 10 BC 4E C3\n");
    dir.Write("udp.txt", "I 0000 C0 FF E4 00 00 C2 8C C1\n");
    const std::vector<std::vector<std::string>> wraps = {{"-T", "40000,6688"},
                                                         {"-u", "40000,6689"}};
    const std::vector<std::string> inputs = {"tcp.txt", "udp.txt"};
    for (size_t i = 0; i < wraps.size(); ++i) {
        const fs::path pcap = dir.path / (inputs[i] + ".pcap");
        std::vector<std::string> t2p = {"text2pcap", "-q", "-D"};
        t2p.insert(t2p.end(), wraps[i].begin(), wraps[i].end());
        t2p.insert(t2p.end(), {(dir.path / inputs[i]).string(), pcap.string()});
        ASSERT_EQ(::Run("/usr/bin/env", t2p).status, 0) << inputs[i];
        const RunResult n = Tshark({"-r", pcap.string(), "-T", "fields", "-e", "tavoframe.cmd",
                                    "-e", "tavoframe.status", "-e", "tavoframe.crc.status"});
        ASSERT_EQ(n.status, 0) << n.err;
        const std::vector<std::string> got = Lines(n.out);
        if (i == 0)
            EXPECT_EQ(got, (std::vector<std::string>{"0xe4\t\t1", "\t\t", "\t0x00\t1"})) << n.out;
        else
            EXPECT_EQ(got, std::vector<std::string>{"0xe4\t\t1"}) << n.out;
    }
}

} // namespace
