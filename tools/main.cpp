// kvudpsrc: command-line front end. `kvudpsrc COMMAND ARGS...`
#include <cstdio>
#include <cstring>

#include "tools/commands.h"

namespace {

struct SCommand
{
    const char* pszName;
    const char* pszArgs;
    const char* pszHelp;
    int (*pfnMain)(int argc, char** argv);
};

const SCommand g_aCommands[] = {
    {"dvr-info", "STUB.KBL", "print a DVR buffer's stub header, its records and the stream order", DvrInfoMain},
    {"dvr-write", "[OPTIONS]",
     "write standard input (or a test pattern) into a DVR ring that other processes can follow", DvrWriteMain},
    {"follow", "[--from OFFSET] [--out FILE] STUB.KBL",
     "follow a live or finished DVR buffer and write its stream to a file or standard output", FollowMain},
    {"copy", "STUB.KBL START END OUT", "copy the stream bytes [START, END) of a DVR buffer into the file OUT", CopyMain},
};

void PrintUsage(FILE* pf)
{
    fprintf(pf, "usage: kvudpsrc COMMAND [ARGS...]\n\ncommands:\n");
    for (const SCommand& cmd : g_aCommands)
        fprintf(pf, "  %s %s\n      %s\n", cmd.pszName, cmd.pszArgs, cmd.pszHelp);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    if (!strcmp(argv[1], "help") || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        PrintUsage(stdout);
        return 0;
    }
    for (const SCommand& cmd : g_aCommands)
        if (!strcmp(argv[1], cmd.pszName))
            return cmd.pfnMain(argc - 1, argv + 1);
    fprintf(stderr, "kvudpsrc: unknown command '%s'\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
