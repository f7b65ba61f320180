// CKVMpg2TSSrc: IDispatch over the type library, callback registration and
// the no-data notification, and the receive-time log.
#include <utility>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrc.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrctlb.h"
#include "platform/comload.h"

namespace {

// The module that holds the filter's code, kept from the moment it was
// loaded: it owns the callback window class, and its file holds the type
// library when the filter lives in the component library.
HINSTANCE ThisModule()
{
    static const HINSTANCE s_hModule = GetModuleHandleFromAddress(reinterpret_cast<const void*>(&ThisModule));
    return s_hModule;
}

}  // namespace

// ---------------------------------------------------------------------------
// IDispatch

HRESULT CKVMpg2TSSrc::EnsureTypeInfo(ITypeInfo** ppInfo)
{
    {
        CAutoLock lock(&m_csTypeInfo);
        if (m_pTypeInfo) {
            *ppInfo = CComPtr<ITypeInfo>(m_pTypeInfo).Detach();
            return S_OK;
        }
    }
    // From the component's own file; a program that links the filter has
    // no such file (its type library is the same table, in its own memory).
    // Loaded without our lock: loading runs the dynamic loader.
    CComPtr<ITypeLib> pLib;
    CWString strModule;
    HRESULT hr = GetModuleFileName(ThisModule(), &strModule);
    if (SUCCEEDED(hr))
        hr = LoadTypeLib(strModule.c_str(), &pLib);
    if (FAILED(hr))
        hr = CreateTypeLib(&g_KVUDPSrcTypeLib, &pLib);
    if (FAILED(hr))
        return hr;
    CComPtr<ITypeInfo> pInfo;
    hr = pLib->GetTypeInfoOfGuid(IID_IKVUDPSrc, &pInfo);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csTypeInfo);
    if (!m_pTypeInfo)
        m_pTypeInfo = pInfo;
    *ppInfo = CComPtr<ITypeInfo>(m_pTypeInfo).Detach();
    return S_OK;
}

HRESULT CKVMpg2TSSrc::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CKVMpg2TSSrc::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo)
{
    (void)lcid;
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return TYPE_E_ELEMENTNOTFOUND;
    return EnsureTypeInfo(ppTInfo);
}

HRESULT CKVMpg2TSSrc::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId)
{
    (void)riid;
    (void)lcid;
    CComPtr<ITypeInfo> pInfo;
    HRESULT hr = EnsureTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    return DispGetIDsOfNames(pInfo, rgszNames, cNames, rgDispId);
}

HRESULT CKVMpg2TSSrc::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    (void)lcid;
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    CComPtr<ITypeInfo> pInfo;
    HRESULT hr = EnsureTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    return DispInvoke(static_cast<IKVUDPSrc*>(this), pInfo, dispIdMember, wFlags, pDispParams, pVarResult,
                      pExcepInfo, puArgErr);
}

// ---------------------------------------------------------------------------
// The callback

HRESULT CKVMpg2TSSrc::put_CallbackObj(IUnknown* pCallback)
{
    // Everything that calls out (the query, the new window, releasing the
    // old registration) happens outside the lock.
    CComPtr<IKVSrcCallback> pTarget;
    CEventThunk* pThunk = nullptr;
    HRESULT hr = S_OK;
    if (pCallback) {
        hr = pCallback->QueryInterface(IID_IKVSrcCallback, reinterpret_cast<void**>(&pTarget));
        if (SUCCEEDED(hr)) {
            pThunk = new (std::nothrow) CEventThunk(ThisModule());
            if (pThunk)
                pThunk->SetTarget(pTarget);
            else
                hr = E_OUTOFMEMORY;
        }
        if (FAILED(hr)) {
            Trace("\nCKVMpg2TSSrc::put_CallbackObj: no IKVSrcCallback %s; no callback registered", TraceHr(hr));
            pTarget.Release();
        }
    }
    IKVSrcCallback* pOldCallback;
    CEventThunk* pOldThunk;
    {
        CAutoLock lock(&m_csCallback);
        // Copied under the lock, so that a concurrent put_CallInSameThread
        // reaches the new thunk either way.
        if (pThunk)
            pThunk->SetCallInSameThread(m_bCallInSameThread.load(std::memory_order_acquire));
        pOldCallback = std::exchange(m_pCallback, pTarget.Detach());
        pOldThunk = std::exchange(m_pEventThunk, pThunk);
    }
    if (pOldThunk)
        pOldThunk->Release();
    if (pOldCallback)
        pOldCallback->Release();
    return hr;
}

HRESULT CKVMpg2TSSrc::get_CallbackObj(IUnknown** pCallback)
{
    if (!pCallback)
        return E_POINTER;
    CAutoLock lock(&m_csCallback);
    *pCallback = m_pCallback;
    if (m_pCallback)
        m_pCallback->AddRef();
    return S_OK;
}

HRESULT CKVMpg2TSSrc::put_CallInSameThread(VARIANT_BOOL bVal)
{
    const BOOL b = bVal != 0 ? TRUE : FALSE;
    m_bCallInSameThread.store(b, std::memory_order_release);
    CAutoLock lock(&m_csCallback);
    if (m_pEventThunk)
        m_pEventThunk->SetCallInSameThread(b);
    return S_OK;
}

HRESULT CKVMpg2TSSrc::get_CallInSameThread(VARIANT_BOOL* pbVal)
{
    if (!pbVal)
        return E_POINTER;
    *pbVal = m_bCallInSameThread.load(std::memory_order_acquire) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

CEventThunk* CKVMpg2TSSrc::AcquireEventThunk()
{
    CAutoLock lock(&m_csCallback);
    if (m_pEventThunk)
        m_pEventThunk->AddRef();
    return m_pEventThunk;
}

BOOL CKVMpg2TSSrc::HasCallback()
{
    CAutoLock lock(&m_csCallback);
    return m_pEventThunk ? TRUE : FALSE;
}

HRESULT CKVMpg2TSSrc::AskIfIShouldContinueWaiting(DWORD dwElapsedMs)
{
    // Fired with a reference of our own and no lock: the application's code
    // runs here (or we wait up to 10 ms for its thread).
    CEventThunk* pThunk = AcquireEventThunk();
    if (!pThunk)
        return S_FALSE;
    HRESULT hr = pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, static_cast<LONGLONG>(dwElapsedMs), 0);
    pThunk->Release();
    return hr;
}

// ---------------------------------------------------------------------------
// The receive-time log

HRESULT CKVMpg2TSSrc::GetReceiveTime(double offset, double* pReceiveTime)
{
    if (!RecvThread())
        return E_UNEXPECTED;
    return RecvThread()->GetReceiveTime(offset, pReceiveTime);
}

HRESULT CKVMpg2TSSrc::StopLogging()
{
    if (!RecvThread())
        return E_UNEXPECTED;
    return RecvThread()->StopLogging();
}

HRESULT CKVMpg2TSSrc::ConvertTimeToString(double receiveTime, BSTR pszPrefix, BSTR pszSuffix, BSTR* pRet)
{
    if (!pRet)
        return E_POINTER;
    *pRet = nullptr;
    CWString str;
    HRESULT hr = COffsetLogger::ConvertTimeToString(receiveTime, pszPrefix, pszSuffix, &str);
    if (FAILED(hr))
        return hr;
    *pRet = SysAllocStringLen(str.data(), static_cast<UINT>(str.size()));
    return *pRet ? S_OK : E_OUTOFMEMORY;
}

HRESULT CKVMpg2TSSrc::ConvertStringToTime(BSTR pszString, double* pReceiveTime)
{
    return COffsetLogger::ConvertStringToTime(pszString, pReceiveTime);
}
