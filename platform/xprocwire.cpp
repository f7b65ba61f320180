#include "platform/xprocrot.h"

#include <cstring>

// Fields of the object table's requests and replies, little-endian.

namespace {

DWORD LoadLe32(const BYTE* pb)
{
    return static_cast<DWORD>(pb[0]) | (static_cast<DWORD>(pb[1]) << 8) | (static_cast<DWORD>(pb[2]) << 16) |
           (static_cast<DWORD>(pb[3]) << 24);
}

void StoreLe32(BYTE* pb, DWORD dw)
{
    pb[0] = static_cast<BYTE>(dw);
    pb[1] = static_cast<BYTE>(dw >> 8);
    pb[2] = static_cast<BYTE>(dw >> 16);
    pb[3] = static_cast<BYTE>(dw >> 24);
}

}  // namespace


void CWireWriter::PutDword(DWORD dw)
{
    BYTE ab[4];
    StoreLe32(ab, dw);
    m_ab.insert(m_ab.end(), ab, ab + 4);
}

void CWireWriter::PutDouble(double d)
{
    uint64_t u;
    static_assert(sizeof(u) == sizeof(d));
    memcpy(&u, &d, sizeof(u));
    PutDword(static_cast<DWORD>(u));
    PutDword(static_cast<DWORD>(u >> 32));
}

void CWireWriter::PutBstr(BSTR bstr)
{
    if (!bstr) {
        PutDword(0xFFFFFFFFu);
        return;
    }
    PutWString(std::u16string_view(bstr, SysStringLen(bstr)));
}

void CWireWriter::PutWString(std::u16string_view wsz)
{
    PutDword(static_cast<DWORD>(wsz.size()));
    for (WCHAR ch : wsz) {
        m_ab.push_back(static_cast<BYTE>(ch));
        m_ab.push_back(static_cast<BYTE>(ch >> 8));
    }
}

void CWireWriter::PutBytes(const void* pv, size_t cb)
{
    const BYTE* pb = static_cast<const BYTE*>(pv);
    m_ab.insert(m_ab.end(), pb, pb + cb);
}

HRESULT CWireReader::GetBytes(void* pv, size_t cb)
{
    if (FAILED(m_hr))
        return m_hr;
    if (m_ab.size() - m_ib < cb)
        return m_hr = KVMM_E_INVALID_DATA;
    if (cb)
        memcpy(pv, m_ab.data() + m_ib, cb);
    m_ib += cb;
    return S_OK;
}

HRESULT CWireReader::GetDword(DWORD* pdw)
{
    BYTE ab[4] = {};
    HRESULT hr = GetBytes(ab, sizeof(ab));
    *pdw = LoadLe32(ab);
    return hr;
}

HRESULT CWireReader::GetLong(LONG* pl)
{
    DWORD dw = 0;
    HRESULT hr = GetDword(&dw);
    *pl = static_cast<LONG>(dw);
    return hr;
}

HRESULT CWireReader::GetDouble(double* pd)
{
    DWORD dwLo = 0, dwHi = 0;
    (void)GetDword(&dwLo);
    HRESULT hr = GetDword(&dwHi);
    const uint64_t u = static_cast<uint64_t>(dwLo) | (static_cast<uint64_t>(dwHi) << 32);
    memcpy(pd, &u, sizeof(u));
    return hr;
}

HRESULT CWireReader::GetWString(CWString* pstr)
{
    pstr->clear();
    DWORD cch = 0;
    HRESULT hr = GetDword(&cch);
    if (FAILED(hr))
        return hr;
    if ((m_ab.size() - m_ib) / 2 < cch)
        return m_hr = KVMM_E_INVALID_DATA;
    pstr->resize(cch);
    for (DWORD i = 0; i < cch; ++i)
        (*pstr)[i] = static_cast<WCHAR>(m_ab[m_ib + 2 * i] | (m_ab[m_ib + 2 * i + 1] << 8));
    m_ib += 2 * static_cast<size_t>(cch);
    return S_OK;
}

HRESULT CWireReader::GetBstr(BSTR* pbstr)
{
    *pbstr = nullptr;
    if (FAILED(m_hr))
        return m_hr;
    const size_t ibStart = m_ib;
    DWORD cch = 0;
    HRESULT hr = GetDword(&cch);
    if (FAILED(hr) || cch == 0xFFFFFFFFu)
        return hr;
    m_ib = ibStart;
    CWString str;
    hr = GetWString(&str);
    if (FAILED(hr))
        return hr;
    *pbstr = SysAllocStringLen(str.data(), static_cast<UINT>(str.size()));
    return *pbstr ? S_OK : E_OUTOFMEMORY;
}
