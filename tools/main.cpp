// kvudpsrc: command-line front end. `kvudpsrc COMMAND ARGS...`
#include <cstdio>
#include <cstring>

#include "tools/cli.h"
#include "tools/commands.h"

#ifndef KV_VERSION
#define KV_VERSION "0.0.0"
#endif

namespace {

struct SCommand
{
    const char* pszName;
    const char* pszArgs;
    const char* pszHelp;
    int (*pfnMain)(int argc, char** argv);
};

const SCommand g_aCommands[] = {
    {"record", "URL [-o FILE|-] [--dvr-folder DIR] [OPTIONS]",
     "record a live stream (TS over UDP, RTP or TCP; H.264, JPEG or raw video in RTP) into a file and a DVR ring",
     RecordMain},
    {"send", "URL [OPTIONS]", "send a paced transport stream (built-in test stream or a .ts file) over UDP, RTP or TCP",
     SendMain},
    {"relay", "--to PORT [OPTIONS]",
     "relay UDP on the loopback interface with seeded drops, reordering, duplicates, bit flips and more",
     RelayMain},
    {"dvr-write", "[OPTIONS]",
     "write standard input (or a test pattern) into a DVR ring that other processes can follow", DvrWriteMain},
    {"follow", "[OPTIONS] STUB.KBL",
     "follow a live or finished DVR buffer and write its stream to a file or standard output", FollowMain},
    {"copy", "STUB.KBL START END OUT", "copy the stream bytes [START, END) of a DVR buffer into OUT ('-': standard output)",
     CopyMain},
    {"dvr-info", "STUB.KBL", "show a DVR buffer: its writer (live or finished), offsets and recordings", DvrInfoMain},
    {"register", "[LIB]", "register the filter component (default: the installed libkvudpsrc.so) for applications",
     RegisterMain},
    {"unregister", "[LIB]", "remove the filter component's registration", UnregisterMain},
};

void PrintUsage(FILE* pf)
{
    fprintf(pf,
            "usage: kvudpsrc COMMAND [ARGS...]\n"
            "       kvudpsrc COMMAND --help\n"
            "       kvudpsrc --version\n\ncommands:\n");
    for (const SCommand& cmd : g_aCommands)
        fprintf(pf, "  %s %s\n      %s\n", cmd.pszName, cmd.pszArgs, cmd.pszHelp);
    fprintf(pf,
            "\nEvery command takes -h/--help, -q, -v and --trace MASK.\n"
            "Exit status: 0 success, 1 failure (with a message), 2 usage error.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (!strcmp(argv[1], "--version")) {
        printf("kvudpsrc %s\n", KV_VERSION);
        return kExitOk;
    }
    if (!strcmp(argv[1], "help")) {
        if (argc == 2) {
            PrintUsage(stdout);
            return kExitOk;
        }
        for (const SCommand& cmd : g_aCommands) {
            if (!strcmp(argv[2], cmd.pszName)) {
                char szHelp[] = "--help";
                char* args[] = {argv[2], szHelp, nullptr};
                return cmd.pfnMain(2, args);
            }
        }
        fprintf(stderr, "kvudpsrc: unknown command '%s'\nTry 'kvudpsrc --help' for the list of commands.\n", argv[2]);
        return kExitUsage;
    }
    for (const SCommand& cmd : g_aCommands)
        if (!strcmp(argv[1], cmd.pszName))
            return cmd.pfnMain(argc - 1, argv + 1);
    fprintf(stderr, "kvudpsrc: unknown command '%s'\nTry 'kvudpsrc --help' for the list of commands.\n", argv[1]);
    return kExitUsage;
}
