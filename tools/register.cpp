// kvudpsrc register [LIB] / unregister [LIB]: what an installer runs so that
// applications find the filter component through CoCreateInstance. The
// library's own entry points (DllRegisterServer, DllUnregisterServer) do
// the work; this loads the library and calls them.
//
// Without LIB the component installed next to this program is taken
// (PREFIX/lib/libkvudpsrc.so for PREFIX/bin/kvudpsrc), else the one built
// with it. The registry written is the user's, or the system's when run as
// root (KVUDPSRC_REGISTRY_SCOPE=user|system chooses; KVUDPSRC_REGISTRY_USER
// and KVUDPSRC_REGISTRY_SYSTEM name other files, see platform/registry.h).
#include <unistd.h>

#include <cstdio>
#include <string>

#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "platform/comload.h"
#include "platform/comserver.h"
#include "platform/registry.h"
#include "tools/cli.h"
#include "tools/commands.h"

#ifndef KV_COMPONENT_RELATIVE_PATH
#define KV_COMPONENT_RELATIVE_PATH "../lib/libkvudpsrc.so"
#endif

namespace {

const char kRegisterHelp[] =
    "usage: kvudpsrc register [OPTIONS] [LIB]\n"
    "  Registers the filter component LIB (default: the installed libkvudpsrc.so)\n"
    "  so that applications can create it: its class, filter data and merit, the\n"
    "  udp URL protocol and its type library. A newer copy already registered\n"
    "  stays registered (the note says so).\n";

const char kUnregisterHelp[] =
    "usage: kvudpsrc unregister [OPTIONS] [LIB]\n"
    "  Removes the registration of the filter component LIB (default: the\n"
    "  installed libkvudpsrc.so). A registration that names another copy is\n"
    "  left alone (the note says so).\n";

// The component installed beside this program, else the one built with it.
std::string DefaultComponent()
{
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n > 0) {
        szExe[n] = 0;
        std::string strDir(szExe);
        strDir.erase(strDir.find_last_of('/') + 1);
        const std::string strInstalled = strDir + KV_COMPONENT_RELATIVE_PATH;
        if (access(strInstalled.c_str(), F_OK) == 0)
            return strInstalled;
    }
#ifdef KV_BUILD_COMPONENT
    return KV_BUILD_COMPONENT;
#else
    return std::string();
#endif
}

// The library registered for the filter's class, or empty.
std::string RegisteredServer()
{
    CWString strKey = u"CLSID\\" + Utf8ToWide(GuidToString(CLSID_KVUDPSrc)) + u"\\InprocServer32";
    CWString strPath;
    if (FAILED(RegGetString(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, &strPath)))
        return std::string();
    return WideToUtf8(strPath);
}

std::string StoreName()
{
    std::string strStore;
    if (FAILED(GetRegistryStorePath(HKEY_CLASSES_ROOT, &strStore)))
        return "the registry";
    return strStore;
}

int Run(const char* pszCommand, const char* pszHelp, BOOL bRegister, int argc, char** argv)
{
    std::string strLib;
    COptions opts(pszCommand, pszHelp);
    opts.Positional("LIB", false, SetString(&strLib));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    if (strLib.empty())
        strLib = DefaultComponent();
    if (strLib.empty()) {
        PrintError(pszCommand, "no libkvudpsrc.so beside this program: name the library");
        return kExitFailure;
    }
    const CWString wstrLib = Utf8ToWide(strLib);
    const HRESULT hr = CallServerRegistration(wstrLib.c_str(), bRegister);
    if (FAILED(hr)) {
        const char* pszWhy = hr == CO_E_DLLNOTFOUND ? "no such file"
                             : hr == CO_E_ERRORINDLL ? "not a loadable library (see --trace for the loader's reason)"
                                                     : nullptr;
        PrintError(pszCommand, "%s: %s", strLib.c_str(), pszWhy ? pszWhy : HrWords(hr).c_str());
        return kExitFailure;
    }
    // The entry points succeed without changing anything when another copy
    // owns the registration; say so rather than claim what did not happen.
    const std::string strRegistered = RegisteredServer();
    if (bRegister) {
        if (!strRegistered.empty() && !IsSameModulePath(Utf8ToWide(strRegistered).c_str(), wstrLib.c_str()))
            PrintNote(pszCommand, "a newer copy stays registered: %s", strRegistered.c_str());
        else
            PrintNote(pszCommand, "registered %s in %s", strLib.c_str(), StoreName().c_str());
    } else {
        if (!strRegistered.empty())
            PrintNote(pszCommand, "another copy is registered and stays: %s", strRegistered.c_str());
        else
            PrintNote(pszCommand, "unregistered %s from %s", strLib.c_str(), StoreName().c_str());
    }
    return kExitOk;
}

}  // namespace

int RegisterMain(int argc, char** argv)
{
    return Run("register", kRegisterHelp, TRUE, argc, argv);
}

int UnregisterMain(int argc, char** argv)
{
    return Run("unregister", kUnregisterHelp, FALSE, argc, argv);
}
