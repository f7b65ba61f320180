// Source URL text from the network or a user's typing: the parser must give
// a status, never crash, hang or leak. The input bytes are read as UTF-16
// code units; the text ends at the first NUL as it would in Load.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dshowflt/mpegdemux/kvudpsrc/sourceurl.h"
#include "dshowflt/mpegdemux/kvudpsrc/urlcrack.h"

// A fixed address list keeps the broadcast path busy without asking the
// system on every input.
static HRESULT FuzzLocalAddresses(DWORD* pdw, int cMax, int* pc)
{
    static const DWORD s_adw[] = {0x0100007Fu, 0x1401A8C0u, 0x0702010Au};
    int c = 0;
    for (DWORD dw : s_adw)
        if (c < cMax)
            pdw[c++] = dw;
    *pc = c;
    return S_OK;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool s_bInit = (SetLocalAddressSource(FuzzLocalAddresses), true);
    (void)s_bInit;

    std::vector<WCHAR> vec(size / 2 + 1);
    if (size >= 2)
        memcpy(vec.data(), data, size / 2 * sizeof(WCHAR));
    vec[size / 2] = 0;

    SourceAddress addr;
    HRESULT hr = ParseSourceUrl(vec.data(), &addr);
    switch (hr) {
    case S_OK:
        // Port 0 always becomes the default; options never come back empty.
        if (addr.port == 0 || (addr.options && addr.options[0] != '?' && addr.options[0] != '#'))
            abort();
        break;
    case MakeHr(0x80072EE5):  // not a URL
    case MakeHr(0x8007007A):  // a component too long
    case MakeHr(0x80072AF9):  // host not an IPv4 literal
        if (addr.options)
            abort();
        break;
    default:
        abort();  // an undocumented status
    }

    // The cracker alone also sees embedded NULs and texts without a scheme.
    CUrlComponents* pc = new CUrlComponents;
    hr = CrackUrl(std::u16string_view(reinterpret_cast<const WCHAR*>(vec.data()), size / 2), pc);
    if (SUCCEEDED(hr) && (pc->cchScheme > kMaxSchemeLength || pc->cchUrlPath > kMaxPathLength ||
                          pc->cchExtraInfo > kMaxExtraInfoLength ||
                          pc->cchHostName > kMaxHostNameLength))
        abort();
    delete pc;
    return 0;
}
