// kvudpsrc relay: a UDP relay on the loopback interface that impairs what
// passes through it (tools/impairrelay.h), between `kvudpsrc send` and a
// receiver, for runs by hand and long campaigns; with --tcp, a TCP relay
// that splits writes, closes and resets connections (tools/tcpimpairrelay.h).
// Repeatable by its seed; --log lists what it did to each datagram it
// touched, or to each connection.
#include <poll.h>

#include <cstdio>
#include <functional>
#include <string>

#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/impairrelay.h"
#include "tools/tcpimpairrelay.h"

namespace {

const char kHelp[] =
    "usage: kvudpsrc relay --to PORT [OPTIONS]\n"
    "  Relays UDP datagrams arriving on 127.0.0.1 to 127.0.0.1:PORT (or --to-host, an\n"
    "  address of 127.0.0.0/8), impairing them as a hostile network or sender would.\n"
    "  Prints \"listening udp://127.0.0.1:PORT\" on standard output first; runs until\n"
    "  SIGINT/SIGTERM, then prints what it did. The same --seed repeats a run.\n"
    "\n"
    "Options:\n"
    "  --to PORT                 the receiver's port\n"
    "  --to-host ADDR            the receiver's address (default 127.0.0.1)\n"
    "  --port PORT               the port to listen on (default 0: one the system picks)\n"
    "  --seed N                  seed of the impairments (default 1)\n"
    "  --drop P                  chance (0 to 1) a datagram is dropped\n"
    "  --burst P                 chance a burst of --burst-length drops starts\n"
    "  --burst-length N          datagrams in a burst (default 50)\n"
    "  --duplicate P             chance a datagram is sent twice\n"
    "  --reorder P               chance a datagram is held back ...\n"
    "  --reorder-distance N      ... until N later ones went out (default 1), or the\n"
    "                            input was quiet for 20 ms\n"
    "  --flip P                  chance one bit past the RTP header flips\n"
    "  --truncate P              chance a datagram is cut short (past the RTP header)\n"
    "  --rtcp P                  chance an RTCP sender report goes out before a datagram\n"
    "  --restart-at N            from datagram N on, rewrite the RTP sequence and time\n"
    "                            stamps as a sender that started again\n"
    "  --pause-at N              at datagram N, forward nothing ...\n"
    "  --pause MS                ... for MS milliseconds (what arrives is dropped)\n"
    "  --log FILE                one line per datagram the relay touched (per connection\n"
    "                            with --tcp)\n"
    "\n"
    "  --tcp                     relay TCP instead: accept on 127.0.0.1 (prints \"listening\n"
    "                            tcp://127.0.0.1:PORT\"), connect to the server at --to for\n"
    "                            each client and forward what it sends, impaired by:\n"
    "  --split P                 chance a chunk is written in pieces, a millisecond apart\n"
    "  --pieces N                ... of 2 to N pieces at random points (default 5)\n"
    "  --break-min BYTES         a connection breaks after a random number of bytes in\n"
    "  --break-max BYTES         [min, max] (default: never)\n"
    "  --breaks N                only the first N connections break\n"
    "  --reset P                 chance a break is a reset (SO_LINGER 0) rather than a\n"
    "                            close (default 0.5); a reset first waits for the client\n"
    "                            to acknowledge what was written\n"
    "  --down MS                 after a break, stop listening for MS milliseconds\n"
    "  --connections N           after N connections, stop listening\n";

// Serves until a stop signal with a progress line, then writes the log (when
// asked) and the final line: the same for both relays.
template <class TRelay>
int Serve(TRelay& relay, uint16_t wListen, const char* pszScheme, long long llPort,
          const std::function<std::string()>& progressLine, const std::string& strLog,
          const std::function<void(FILE*)>& writeLog)
{
    if (wListen == 0) {
        PrintError("relay", "cannot listen on 127.0.0.1:%lld: %s", llPort, strerror(errno));
        return kExitFailure;
    }
    printf("listening %s://127.0.0.1:%u\n", pszScheme, static_cast<unsigned>(wListen));
    fflush(stdout);
    CProgress progress("relay");
    while (!CStopSignal::Received()) {
        pollfd pfd = {CStopSignal::Fd(), POLLIN, 0};
        (void)poll(&pfd, 1, 1000);
        if (progress.Due())
            progress.Line(progressLine());
    }
    relay.Stop();
    if (!strLog.empty()) {
        FILE* f = fopen(strLog.c_str(), "w");
        if (!f) {
            PrintError("relay", "--log %s: %s", strLog.c_str(), strerror(errno));
            return kExitFailure;
        }
        writeLog(f);
        fclose(f);
    }
    progress.Final("end: stopped by " + std::string(CStopSignal::Name()) + "; " + relay.Summary());
    return kExitOk;
}

int RelayTcp(const STcpImpairPlan& plan, uint32_t dwSeed, uint32_t dwAddrTo, uint16_t wTo, uint16_t wPort,
             const std::string& strLog)
{
    CStopSignal::Install();
    CTcpImpairRelay relay(plan, dwSeed);
    const uint16_t wListen = relay.Start(dwAddrTo, wTo, wPort);
    return Serve(relay, wListen, "tcp", wPort, [&relay] { return relay.Summary(); }, strLog, [&relay](FILE* f) {
        const std::vector<STcpConnection> conns = relay.Connections();
        for (size_t i = 0; i < conns.size(); ++i)
            fprintf(f, "%zu %s delivered %lld written %lld split %ld\n", i, TcpEndName(conns[i].eEnd),
                    conns[i].llDelivered, conns[i].llWritten, conns[i].nPieces);
    });
}

}  // namespace

int RelayMain(int argc, char** argv)
{
    long long llTo = 0, llPort = 0, llSeed = 1, llBurstLength = 50, llDistance = 1, llRestart = -1, llPauseAt = -1,
              llPause = 0;
    SImpairPlan plan;
    std::string strHost = "127.0.0.1", strLog;
    COptions opts("relay", kHelp);
    opts.Value("--to", nullptr, SetInteger(&llTo, 1, 65535));
    opts.Value("--to-host", nullptr, SetString(&strHost));
    opts.Value("--port", nullptr, SetInteger(&llPort, 0, 65535));
    opts.Value("--seed", nullptr, SetInteger(&llSeed, 0, 0xFFFFFFFFll));
    opts.Value("--drop", nullptr, SetDecimal(&plan.dDrop, 0, 1));
    opts.Value("--burst", nullptr, SetDecimal(&plan.dBurst, 0, 1));
    opts.Value("--burst-length", nullptr, SetInteger(&llBurstLength, 1, 1000000));
    opts.Value("--duplicate", nullptr, SetDecimal(&plan.dDuplicate, 0, 1));
    opts.Value("--reorder", nullptr, SetDecimal(&plan.dReorder, 0, 1));
    opts.Value("--reorder-distance", nullptr, SetInteger(&llDistance, 1, 100000));
    opts.Value("--flip", nullptr, SetDecimal(&plan.dFlip, 0, 1));
    opts.Value("--truncate", nullptr, SetDecimal(&plan.dTruncate, 0, 1));
    opts.Value("--rtcp", nullptr, SetDecimal(&plan.dRtcp, 0, 1));
    opts.Value("--restart-at", nullptr, SetInteger(&llRestart, 0, 1ll << 40));
    opts.Value("--pause-at", nullptr, SetInteger(&llPauseAt, 0, 1ll << 40));
    opts.Value("--pause", nullptr, SetInteger(&llPause, 0, 24ll * 3600 * 1000));
    opts.Value("--log", nullptr, SetString(&strLog));
    STcpImpairPlan tcp;
    bool bTcp = false;
    long long llPieces = 5, llBreakMin = 0, llBreakMax = 0, llBreaks = -1, llDown = 0, llConnections = -1;
    opts.Flag("--tcp", nullptr, &bTcp);
    opts.Value("--split", nullptr, SetDecimal(&tcp.dSplit, 0, 1));
    opts.Value("--pieces", nullptr, SetInteger(&llPieces, 2, 1000));
    opts.Value("--break-min", nullptr, SetInteger(&llBreakMin, 0, 1ll << 50));
    opts.Value("--break-max", nullptr, SetInteger(&llBreakMax, 0, 1ll << 50));
    opts.Value("--breaks", nullptr, SetInteger(&llBreaks, 0, 1ll << 30));
    opts.Value("--reset", nullptr, SetDecimal(&tcp.dReset, 0, 1));
    opts.Value("--down", nullptr, SetInteger(&llDown, 0, 3600ll * 1000));
    opts.Value("--connections", nullptr, SetInteger(&llConnections, 1, 1ll << 30));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    if (!opts.Given("--to"))
        return opts.UsageError("--to PORT is required");
    in_addr addr = {};
    if (inet_pton(AF_INET, strHost.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127)
        return opts.UsageError("--to-host %s: not an address of 127.0.0.0/8 (the relay stays on loopback)",
                               strHost.c_str());
    if (bTcp) {
        if (llBreakMin > llBreakMax && opts.Given("--break-max"))
            return opts.UsageError("--break-min %lld is above --break-max %lld", llBreakMin, llBreakMax);
        tcp.nMaxPieces = static_cast<int>(llPieces);
        tcp.llBreakMin = llBreakMin;
        tcp.llBreakMax = opts.Given("--break-max") ? llBreakMax : (opts.Given("--break-min") ? llBreakMin : 0);
        tcp.nBreaks = static_cast<int>(llBreaks);
        tcp.nDownMs = static_cast<int>(llDown);
        tcp.nConnections = static_cast<int>(llConnections);
        return RelayTcp(tcp, static_cast<uint32_t>(llSeed), addr.s_addr, static_cast<uint16_t>(llTo),
                        static_cast<uint16_t>(llPort), strLog);
    }
    plan.nBurstLength = static_cast<int>(llBurstLength);
    plan.nReorderDistance = static_cast<int>(llDistance);
    plan.nRestartAt = static_cast<long>(llRestart);
    plan.nPauseAt = static_cast<long>(llPauseAt);
    plan.nPauseMs = static_cast<int>(llPause);

    CStopSignal::Install();
    CImpairRelay relay(plan, static_cast<uint32_t>(llSeed));
    const uint16_t wListen = relay.Start(addr.s_addr, static_cast<uint16_t>(llTo), static_cast<uint16_t>(llPort));
    // The whole summary walks every datagram's record: once a second it
    // would hold up the relay on a long run, so the progress shows counts.
    auto progressLine = [&relay] {
        return std::to_string(relay.Received()) + " datagrams in, " + std::to_string(relay.Sent()) + " out";
    };
    return Serve(relay, wListen, "udp", llPort, progressLine, strLog, [&relay](FILE* f) {
        for (const SImpairEvent& e : relay.Events()) {
            if (!e.bDropped && !e.bDuplicated && !e.bReordered && e.nFlipByte < 0 && e.nCutTo < 0 &&
                !e.bRtcpBefore && !e.bRestarted)
                continue;
            fprintf(f, "%ld%s%s%s%s%s%s", e.nIn, e.bDropped ? " dropped" : "", e.bDuplicated ? " duplicated" : "",
                    e.bReordered ? " reordered" : "", e.bRtcpBefore ? " rtcp-before" : "",
                    e.bRestarted ? " restarted" : "", e.nFlipByte >= 0 ? " flip-byte " : "");
            if (e.nFlipByte >= 0)
                fprintf(f, "%ld", e.nFlipByte);
            if (e.nCutTo >= 0)
                fprintf(f, " cut-to %ld", e.nCutTo);
            fprintf(f, "\n");
        }
    });
}
