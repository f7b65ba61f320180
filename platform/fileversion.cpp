#include "platform/fileversion.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file.h"

namespace {

// The headers and notes are read with explicit byte order, so a library
// built for another machine reads as well as one of ours.
class CElfFile
{
public:
    ~CElfFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    HRESULT Open(LPCWSTR pszPath)
    {
        const std::string strPath = WideToUtf8(PathToNative(pszPath ? pszPath : u""));
        m_fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return HrFromErrno(errno);
        struct stat st;
        if (fstat(m_fd, &st) != 0)
            return HrFromErrno(errno);
        if (!S_ISREG(st.st_mode))
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        m_cbFile = static_cast<uint64_t>(st.st_size);
        BYTE ident[EI_NIDENT];
        if (!ReadAt(0, ident, sizeof(ident)) || memcmp(ident, ELFMAG, SELFMAG) != 0)
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        if ((ident[EI_CLASS] != ELFCLASS32 && ident[EI_CLASS] != ELFCLASS64) ||
            (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB))
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        m_b64 = ident[EI_CLASS] == ELFCLASS64;
        m_bBig = ident[EI_DATA] == ELFDATA2MSB;
        return S_OK;
    }

    // Program headers first (what a stripped library surely keeps), then
    // section headers.
    HRESULT FindVersion(ULONGLONG* pull)
    {
        BYTE hdr[64];
        if (!ReadAt(0, hdr, m_b64 ? 64 : 52))
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        const uint64_t phoff = m_b64 ? U64(hdr + 32) : U32(hdr + 28);
        const uint64_t shoff = m_b64 ? U64(hdr + 40) : U32(hdr + 32);
        const unsigned phentsize = U16(hdr + (m_b64 ? 54 : 42));
        const unsigned phnum = U16(hdr + (m_b64 ? 56 : 44));
        const unsigned shentsize = U16(hdr + (m_b64 ? 58 : 46));
        const unsigned shnum = U16(hdr + (m_b64 ? 60 : 48));

        bool bBad = false;
        for (unsigned i = 0; i < phnum; ++i) {
            BYTE ph[56];
            const unsigned cb = m_b64 ? 56 : 32;
            if (phentsize < cb || !ReadAt(phoff + static_cast<uint64_t>(i) * phentsize, ph, cb)) {
                bBad = true;
                break;
            }
            if (U32(ph) != PT_NOTE)
                continue;
            const uint64_t off = m_b64 ? U64(ph + 8) : U32(ph + 4);
            const uint64_t cbSeg = m_b64 ? U64(ph + 32) : U32(ph + 16);
            const uint64_t align = m_b64 ? U64(ph + 48) : U32(ph + 28);
            HRESULT hr = ScanNotes(off, cbSeg, align, pull);
            if (hr != S_FALSE)
                return hr;
        }
        for (unsigned i = 0; i < shnum; ++i) {
            BYTE sh[64];
            const unsigned cb = m_b64 ? 64 : 40;
            if (shentsize < cb || !ReadAt(shoff + static_cast<uint64_t>(i) * shentsize, sh, cb)) {
                bBad = true;
                break;
            }
            if (U32(sh + 4) != SHT_NOTE)
                continue;
            const uint64_t off = m_b64 ? U64(sh + 24) : U32(sh + 16);
            const uint64_t cbSec = m_b64 ? U64(sh + 32) : U32(sh + 20);
            const uint64_t align = m_b64 ? U64(sh + 48) : U32(sh + 32);
            HRESULT hr = ScanNotes(off, cbSec, align, pull);
            if (hr != S_FALSE)
                return hr;
        }
        return bBad ? HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT) : HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }

private:
    int m_fd = -1;
    uint64_t m_cbFile = 0;
    bool m_b64 = false;
    bool m_bBig = false;

    bool ReadAt(uint64_t off, void* pv, size_t cb) const
    {
        if (off > m_cbFile || cb > m_cbFile - off)
            return false;
        BYTE* pb = static_cast<BYTE*>(pv);
        while (cb) {
            ssize_t n = pread(m_fd, pb, cb, static_cast<off_t>(off));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            pb += n;
            off += static_cast<uint64_t>(n);
            cb -= static_cast<size_t>(n);
        }
        return true;
    }
    uint16_t U16(const BYTE* p) const
    {
        return m_bBig ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint32_t U32(const BYTE* p) const
    {
        return m_bBig ? (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]
                      : p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    uint64_t U64(const BYTE* p) const
    {
        return m_bBig ? (static_cast<uint64_t>(U32(p)) << 32) | U32(p + 4)
                      : U32(p) | (static_cast<uint64_t>(U32(p + 4)) << 32);
    }

    // S_OK with the version, S_FALSE when the area holds no version note.
    HRESULT ScanNotes(uint64_t off, uint64_t cb, uint64_t align, ULONGLONG* pull)
    {
        // Notes are a few hundred bytes; a huge area is a damaged header.
        if (cb > (1u << 20) || off > m_cbFile || cb > m_cbFile - off)
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        std::vector<BYTE> v(static_cast<size_t>(cb));
        if (!ReadAt(off, v.data(), v.size()))
            return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
        const uint64_t a = align == 8 ? 8 : 4;
        auto pad = [a](uint64_t n) { return (n + a - 1) & ~(a - 1); };
        uint64_t pos = 0;
        while (pos + 12 <= v.size()) {
            const uint64_t cbName = U32(&v[pos]);
            const uint64_t cbDesc = U32(&v[pos + 4]);
            const uint32_t dwType = U32(&v[pos + 8]);
            const uint64_t posName = pos + 12;
            if (cbName > v.size() || pad(cbName) > v.size() - posName)
                return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
            const uint64_t posDesc = posName + pad(cbName);
            if (cbDesc > v.size() || cbDesc > v.size() - posDesc)
                return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
            if (cbName == 5 && memcmp(&v[posName], "KVFV", 5) == 0 && dwType == 1) {
                if (cbDesc != 8)
                    return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
                *pull = (static_cast<ULONGLONG>(U32(&v[posDesc])) << 32) | U32(&v[posDesc + 4]);
                return S_OK;
            }
            pos = posDesc + pad(cbDesc);
        }
        return S_FALSE;
    }
};

}  // namespace

HRESULT GetFileVersion(LPCWSTR pszPath, ULONGLONG* pullVersion)
{
    if (!pullVersion)
        return E_POINTER;
    CElfFile elf;
    HRESULT hr = elf.Open(pszPath);
    if (FAILED(hr))
        return hr;
    return elf.FindVersion(pullVersion);
}
