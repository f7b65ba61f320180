// Subcommands of the kvudpsrc tool. Each lives in a file of its own and is
// listed once in the dispatch table in main.cpp. A subcommand receives its
// own arguments (argv[0] is the subcommand's name) and returns the exit
// status: kExitOk, kExitFailure or kExitUsage (tools/cli.h).
#pragma once

int DvrInfoMain(int argc, char** argv);
int DvrWriteMain(int argc, char** argv);
int FollowMain(int argc, char** argv);
int CopyMain(int argc, char** argv);
int SendMain(int argc, char** argv);
int RelayMain(int argc, char** argv);
int RecordMain(int argc, char** argv);
int RegisterMain(int argc, char** argv);
int UnregisterMain(int argc, char** argv);
