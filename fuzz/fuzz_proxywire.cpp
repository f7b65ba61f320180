// The writer's side of the cross-process link: request bodies from a reader
// process, decoded by the IKVDVRSink stub and applied to a live writer. A
// reader may be old, buggy or hostile; every request must end in a status
// and a well-formed reply, never a crash, a leak of descriptors or a change
// the writer's own checks would refuse.
//
// Input: messages, each a method byte (its value modulo 23, plus 3, is the
// interface slot), a 16-bit big-endian body length and the body. The copy
// and backup requests, which create files at paths the request names, are
// left out: a fuzzer would scatter files over the disk.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsinkproxy.h"
#include "platform/bstr.h"

namespace {

constexpr DWORD kCopyToFile = 12;
constexpr DWORD kStartBackupToFile = 20;

class CFuzzSink : public CBaseDVRSink
{
public:
    CFuzzSink() : CBaseDVRSink("fuzz sink", nullptr) {}

protected:
    BOOL ShouldRegisterInObjectTable() override { return FALSE; }
};

// A writer with a small ring and some data in it, kept for the process.
CFuzzSink* Sink()
{
    static CFuzzSink* s_pSink = [] {
        char sz[] = "/tmp/kvfuzz_wire_XXXXXX";
        const std::string strDir = mkdtemp(sz) ? sz : "/tmp";
        auto* p = new CFuzzSink;
        p->NonDelegatingAddRef();
        BSTR bstrDir = SysAllocString(Utf8ToWide(strDir).c_str());
        HRESULT hr = p->StartChangingAttributes();
        if (SUCCEEDED(hr))
            hr = p->SetFolderName(0, bstrDir);
        if (SUCCEEDED(hr))
            hr = p->SetBufferSize(0, 3, 4096);
        if (FAILED(p->EndChangingAttributes(FAILED(hr) ? VARIANT_TRUE : VARIANT_FALSE)) || FAILED(hr))
            abort();
        SysFreeString(bstrDir);
        if (FAILED(p->StartDVR()))
            abort();
        std::vector<BYTE> block(1000, 0x47);
        for (int i = 0; i < 10; ++i)
            if (FAILED(p->WriteData(block.data(), static_cast<LONG>(block.size()))))
                abort();
        // The first read of the records opens the stub for reading and keeps
        // it open: a descriptor that belongs to the writer, not to a request.
        BSTR bstrPath = nullptr;
        double dSize = 0, dOnDisk = 0;
        LONG lPlay = 0, lState = 0;
        if (FAILED(p->GetRecordingInfo(0, &bstrPath, &dSize, &dOnDisk, &lPlay, &lState)))
            abort();
        SysFreeString(bstrPath);
        return p;
    }();
    return s_pSink;
}

// The descriptors the process holds, pipes left out: the writer makes none,
// and the sanitizer runtime opens and closes its own to probe memory, at
// any moment and from any thread.
std::multiset<std::string> OpenDescriptors()
{
    std::multiset<std::string> set;
    DIR* pDir = opendir("/proc/self/fd");
    if (!pDir)
        abort();
    const int fdSelf = dirfd(pDir);
    while (dirent* pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] == '.' || atoi(pEnt->d_name) == fdSelf)
            continue;
        char szTarget[512] = {};
        const std::string strLink = std::string("/proc/self/fd/") + pEnt->d_name;
        if (readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1) <= 0)
            continue;
        if (strncmp(szTarget, "pipe:", 5) != 0)
            set.insert(std::string(pEnt->d_name) + " -> " + szTarget);
    }
    closedir(pDir);
    return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CFuzzSink* pSink = Sink();
    static const std::multiset<std::string> s_fds = OpenDescriptors();
    {
        pSink->NonDelegatingAddRef();  // the stub owns one reference
        CStubConnection* pStub = nullptr;
        if (FAILED(DVRSinkMarshaller().pfnCreateStub(static_cast<IKVDVRSink*>(pSink), &pStub)))
            abort();
        size_t i = 0;
        while (i + 3 <= size) {
            const DWORD dwMethod = 3 + data[i] % 23;
            size_t n = (size_t(data[i + 1]) << 8) | data[i + 2];
            i += 3;
            if (n > size - i)
                n = size - i;
            if (dwMethod == kCopyToFile || dwMethod == kStartBackupToFile) {
                i += n;
                continue;
            }
            CWireReader in(data + i, n);
            i += n;
            CWireWriter out;
            std::vector<HANDLE> handles;
            (void)pStub->Invoke(dwMethod, &in, &out, &handles);
            for (HANDLE h : handles)
                CloseHandle(h);
        }
        // What a vanished client registered goes with its connection.
        delete pStub;
    }
    // Changes a request opened are closed here, so that every input starts
    // from the same writer.
    for (int n = 0; n < 100000 && SUCCEEDED(pSink->EndChangingAttributes(VARIANT_TRUE)); ++n) {
    }
    const std::multiset<std::string> now = OpenDescriptors();
    if (now != s_fds) {
        fprintf(stderr, "descriptors before:\n");
        for (const std::string& str : s_fds)
            fprintf(stderr, "  %s\n", str.c_str());
        fprintf(stderr, "descriptors now:\n");
        for (const std::string& str : now)
            fprintf(stderr, "  %s\n", str.c_str());
        abort();
    }
    return 0;
}
