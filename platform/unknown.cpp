#include "platform/unknown.h"

HRESULT GetInterface(IUnknown* pUnk, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = pUnk;
    pUnk->AddRef();
    return S_OK;
}

CUnknown::CUnknown(const char* pszName, IUnknown* pUnkOuter)
    : m_pszName(pszName ? pszName : ""), m_ndThunk(this), m_pUnknown(pUnkOuter ? pUnkOuter : &m_ndThunk)
{
}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // IUnknown always answers with the non-delegating unknown, so that an
    // outer object that asks while creating its inner one gets a pointer it
    // can use to reach the inner interfaces.
    if (riid == IID_IUnknown)
        return GetInterface(&m_ndThunk, ppv);
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef()
{
    return static_cast<ULONG>(m_cRef.fetch_add(1, std::memory_order_relaxed) + 1);
}

ULONG CUnknown::NonDelegatingRelease()
{
    LONG cRef = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (cRef == 0) {
        // Guard against a destructor that hands out and drops a temporary
        // reference to itself deleting the object twice.
        m_cRef.store(1, std::memory_order_relaxed);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(cRef);
}
