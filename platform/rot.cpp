#include "platform/rot.h"

#include <atomic>
#include <new>

namespace {



// Never destroyed: objects may still be registered when static destructors
// run, and releasing them then would run their code in a half-torn-down
// process.
CInProcessObjectTable& DefaultTable()
{
    static CInProcessObjectTable* s_pTable = new CInProcessObjectTable;
    return *s_pTable;
}

std::atomic<IRunningObjectTable*> g_pReplacement{nullptr};

}  // namespace

bool CItemMoniker::IsEqual(const CItemMoniker& other) const
{
    return WStrEqualNoCase(m_strDelimiter, other.m_strDelimiter) && WStrEqualNoCase(m_strItem, other.m_strItem);
}

CInProcessObjectTable::~CInProcessObjectTable()
{
    SEntry* p;
    {
        CAutoLock lock(&m_cs);
        p = m_pFirst;
        m_pFirst = nullptr;
    }
    while (p) {
        SEntry* pNext = p->pNext;
        p->pUnk->Release();
        delete p;
        p = pNext;
    }
}

HRESULT CInProcessObjectTable::Register(DWORD grfFlags, IUnknown* pUnk, const CItemMoniker& mk, DWORD* pdwCookie)
{
    (void)grfFlags;
    if (!pUnk || !pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    if (mk.Item().empty())
        return MK_E_SYNTAX;
    SEntry* pEntry = new (std::nothrow) SEntry{0, mk, pUnk, nullptr};
    if (!pEntry)
        return E_OUTOFMEMORY;
    pUnk->AddRef();

    CAutoLock lock(&m_cs);
    pEntry->dwCookie = m_dwNextCookie++;
    if (m_dwNextCookie == 0)
        m_dwNextCookie = 1;
    SEntry** pp = &m_pFirst;
    while (*pp)
        pp = &(*pp)->pNext;
    *pp = pEntry;
    *pdwCookie = pEntry->dwCookie;
    return S_OK;
}

HRESULT CInProcessObjectTable::Revoke(DWORD dwCookie)
{
    SEntry* pFound = nullptr;
    {
        CAutoLock lock(&m_cs);
        for (SEntry** pp = &m_pFirst; *pp; pp = &(*pp)->pNext) {
            if ((*pp)->dwCookie == dwCookie) {
                pFound = *pp;
                *pp = pFound->pNext;
                break;
            }
        }
    }
    if (!pFound)
        return E_INVALIDARG;
    pFound->pUnk->Release();
    delete pFound;
    return S_OK;
}

HRESULT CInProcessObjectTable::IsRunning(const CItemMoniker& mk)
{
    CAutoLock lock(&m_cs);
    for (SEntry* p = m_pFirst; p; p = p->pNext) {
        if (p->mk.IsEqual(mk))
            return S_OK;
    }
    return S_FALSE;
}

HRESULT CInProcessObjectTable::GetObject(const CItemMoniker& mk, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    CAutoLock lock(&m_cs);
    for (SEntry* p = m_pFirst; p; p = p->pNext) {
        if (p->mk.IsEqual(mk)) {
            // The table's own reference keeps the object alive until this
            // one is added.
            p->pUnk->AddRef();
            *ppUnk = p->pUnk;
            return S_OK;
        }
    }
    return MK_E_UNAVAILABLE;
}

HRESULT GetRunningObjectTable(IRunningObjectTable** ppTable)
{
    if (!ppTable)
        return E_POINTER;
    IRunningObjectTable* p = g_pReplacement.load(std::memory_order_acquire);
    *ppTable = p ? p : &DefaultTable();
    return S_OK;
}

IRunningObjectTable* SetRunningObjectTable(IRunningObjectTable* pTable)
{
    IRunningObjectTable* pOld = g_pReplacement.exchange(pTable, std::memory_order_acq_rel);
    return pOld ? pOld : &DefaultTable();
}
