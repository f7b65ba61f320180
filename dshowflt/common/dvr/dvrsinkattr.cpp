// CBaseDVRSink: the buffer's attributes (folders, slots, sizes, base name)
// and the attribute change that applies them.
//
// Setters work on the pending set inside an attribute change; the outermost
// close of a change commits the pending set as the active one, which stops
// the sink with the old layout and starts it with the new one through
// ChangingAttributesNotification.
#include <cmath>
#include <cstring>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/trace/trace.h"

using namespace dvr;

namespace {

constexpr LONGLONG kDefaultFileSize = 0xA00000;
constexpr LONG kDefaultFileCount = 10;
// The ring's slot numbers and the stub's record count are 32-bit; a layout
// beyond these bounds is refused rather than wrapped.
constexpr LONG kMaxFolders = 10000;
constexpr LONGLONG kMaxSlots = 1000000;



void SetFolderPath(DVRFolder* pFolder, std::u16string_view path)
{
    memset(pFolder->path, 0, sizeof(pFolder->path));
    for (size_t i = 0; i < path.size() && i + 1 < static_cast<size_t>(MAX_PATH); ++i)
        pFolder->path[i] = path[i];
}

CWString CurrentFolderOrRoot()
{
    CWString str;
    if (FAILED(GetCurrentFolder(&str)) || str.size() >= static_cast<size_t>(MAX_PATH))
        str.assign(1, u'/');
    return str;
}

}  // namespace

// ---------------------------------------------------------------------------
// CDVRFolderSet

HRESULT CDVRFolderSet::CopyFrom(const CDVRFolderSet& src)
{
    if (this == &src)
        return S_OK;
    std::unique_ptr<DVRFolder[]> pCopy;
    if (src.nFolders > 0) {
        pCopy.reset(new (std::nothrow) DVRFolder[src.nFolders]);
        if (!pCopy)
            return E_OUTOFMEMORY;
        memcpy(pCopy.get(), src.pFolders.get(), sizeof(DVRFolder) * static_cast<size_t>(src.nFolders));
    }
    pFolders = std::move(pCopy);
    nFolders = src.nFolders;
    strBaseName = src.strBaseName;
    return S_OK;
}

void CDVRFolderSet::Renumber(LONG nFrom)
{
    for (LONG i = nFrom < 1 ? 1 : nFrom; i < nFolders; ++i)
        pFolders[i].firstIndex = pFolders[i - 1].firstIndex + pFolders[i - 1].fileCount;
    if (nFrom <= 0 && nFolders > 0)
        pFolders[0].firstIndex = 0;
}

LONG CDVRFolderSet::SlotCount() const
{
    if (nFolders < 1)
        return 0;
    return pFolders[nFolders - 1].firstIndex + pFolders[nFolders - 1].fileCount;
}

// ---------------------------------------------------------------------------
// The attribute change

CAutoChangeAttributes::CAutoChangeAttributes(CBaseDVRSink* pSink) : m_pSink(pSink), m_bOpen(true)
{
    HRESULT hr = m_pSink->StartChangingAttributes();
    if (FAILED(hr)) {
        Trace("\nCAutoChangeAttributes::CAutoChangeAttributes: StartChangingAttributes failed %s. Abort change!",
              TraceHr(hr));
        m_bOpen = false;
    }
}

CAutoChangeAttributes::~CAutoChangeAttributes()
{
    if (m_bOpen) {
        HRESULT hr = m_pSink->EndChangingAttributes(-1);
        (void)hr;  // an abort commits nothing and cannot fail in a way we could act on
    }
}

HRESULT CAutoChangeAttributes::Commit()
{
    if (!m_bOpen)
        return S_OK;
    m_bOpen = false;
    return m_pSink->EndChangingAttributes(0);
}

HRESULT CBaseDVRSink::StartChangingAttributes()
{
    CAutoLock lock(&m_csFolders);
    if (m_cChanging == 0) {
        HRESULT hr = m_pending.CopyFrom(m_active);
        if (FAILED(hr))
            return E_OUTOFMEMORY;
        m_bChanged = false;
    }
    ++m_cChanging;
    return S_OK;
}

HRESULT CBaseDVRSink::EndChangingAttributes(VARIANT_BOOL bAbort)
{
    {
        CAutoLock lock(&m_csFolders);
        if (m_cChanging <= 0)
            return E_UNEXPECTED;
        --m_cChanging;
        if (m_cChanging != 0 || bAbort || !m_bChanged)
            return S_OK;
        // Committed at once, so that a change opened from here on starts
        // from the new layout; the buffer that is running keeps its own copy
        // until the receive thread starts it again.
        m_bChanged = false;
        m_active.pFolders = std::move(m_pending.pFolders);
        m_active.nFolders = m_pending.nFolders;
        m_active.strBaseName = m_pending.strBaseName;
        m_pending.nFolders = 0;
        if (m_cApplying++ == 0)
            m_evNoChangeApplying.Reset();
    }
    // The notifications run with no lock of ours held: the receive thread's
    // handler stops and starts the buffer on its own thread and waits for
    // it, and that thread needs the writer lock to get there.
    HRESULT hr = ChangingAttributesNotification(FALSE);
    if (FAILED(hr))
        Trace("\nCBaseDVRSink::EndChangingAttributes: ChangingAttributesNotification(FALSE) failed %s",
              TraceHr(hr));
    // Once the application has shaped the buffer, its files are its own;
    // the stop asked for above still ran with the defaults.
    m_bDeleteOnStop.store(false, std::memory_order_release);
    {
        CAutoLock lock(&m_csFolders);
        if (--m_cApplying == 0)
            m_evNoChangeApplying.Set();
    }
    return ChangingAttributesNotification(TRUE);
}

HRESULT CBaseDVRSink::ChangingAttributesNotification(BOOL bAfter)
{
    Trace("\nCBaseDVRSink::ChangingAttributesNotification(%s)", bAfter ? "TRUE" : "FALSE");
    return S_OK;
}

HRESULT CBaseDVRSink::SnapshotFolders(CDVRFolderSet* pSet)
{
    CAutoLock lock(&m_csFolders);
    return pSet->CopyFrom(m_cChanging > 0 ? m_pending : m_active);
}

// ---------------------------------------------------------------------------
// Setters

HRESULT CBaseDVRSink::SetFolderCount(LONG nFolders)
{
    if (nFolders < 1 || nFolders > kMaxFolders)
        return E_INVALIDARG;
    const CWString strCurrent = CurrentFolderOrRoot();
    CAutoChangeAttributes change(this);
    {
        CAutoLock lock(&m_csFolders);
        const LONG nOld = m_pending.nFolders;
        if (nFolders != nOld) {
            LONGLONG llSlots = 0;
            for (LONG i = 0; i < nFolders && i < nOld; ++i)
                llSlots += m_pending.pFolders[i].fileCount;
            if (nFolders > nOld)
                llSlots += static_cast<LONGLONG>(nFolders - nOld) * kDefaultFileCount;
            if (llSlots > kMaxSlots)
                return E_INVALIDARG;
            std::unique_ptr<DVRFolder[]> pNew(new (std::nothrow) DVRFolder[nFolders]);
            if (!pNew)
                return E_OUTOFMEMORY;
            for (LONG i = 0; i < nFolders; ++i) {
                if (i < nOld) {
                    pNew[i] = m_pending.pFolders[i];
                    continue;
                }
                SetFolderPath(&pNew[i], strCurrent);
                pNew[i].firstIndex = 0;
                pNew[i].fileCount = kDefaultFileCount;
                pNew[i].fileSize = kDefaultFileSize;
            }
            m_pending.pFolders = std::move(pNew);
            m_pending.nFolders = nFolders;
            m_pending.Renumber(nOld);
            m_bChanged = true;
        }
    }
    return change.Commit();
}

HRESULT CBaseDVRSink::SetFolderName(LONG nIndex, BSTR bstrPath)
{
    const CWString strPath = (bstrPath && *bstrPath) ? CWString(bstrPath) : CurrentFolderOrRoot();
    if (strPath.size() >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;
    CAutoChangeAttributes change(this);
    {
        CAutoLock lock(&m_csFolders);
        const LONG nActive = m_active.nFolders;
        const CWString strActive = nIndex >= 0 && nIndex < nActive ? CWString(m_active.pFolders[nIndex].path)
                                                                   : CWString();
        if (m_pending.nFolders < 1)
            return E_UNEXPECTED;
        if (nIndex < 0 || nIndex >= m_pending.nFolders)
            return DISP_E_BADINDEX;
        SetFolderPath(&m_pending.pFolders[nIndex], strPath);
        if (m_pending.nFolders == nActive && !WStrEqualNoCase(strPath, strActive))
            m_bChanged = true;
    }
    return change.Commit();
}

HRESULT CBaseDVRSink::SetBaseName(BSTR bstrName)
{
    CWString strName;
    if (bstrName && *bstrName) {
        strName = PathFileName(bstrName);
        constexpr std::u16string_view kExt = u".KBL";
        if (strName.size() >= kExt.size() &&
            WStrEqualNoCase(std::u16string_view(strName).substr(strName.size() - kExt.size()), kExt))
            strName.resize(strName.size() - kExt.size());
    }
    if (strName.size() >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;
    CAutoChangeAttributes change(this);
    {
        CAutoLock lock(&m_csFolders);
        m_pending.strBaseName = strName;
        if (!WStrEqualNoCase(strName, m_active.strBaseName))
            m_bChanged = true;
    }
    return change.Commit();
}

HRESULT CBaseDVRSink::SetBufferSize(LONG nFolderIndex, LONG nFiles, double dFileSize)
{
    Trace("\n\nCBaseDVRSink::SetBufferSize[%d]: nFiles=%d, filesize=%I64dKB", static_cast<int>(nFolderIndex),
          static_cast<int>(nFiles),
          static_cast<long long>(std::isfinite(dFileSize) && std::fabs(dFileSize) < 9.2e18 ? dFileSize / 1024 : 0));
    CAutoChangeAttributes change(this);
    {
        CAutoLock lock(&m_csFolders);
        if (m_pending.nFolders < 1)
            return E_UNEXPECTED;
        if (nFolderIndex < 0 || nFolderIndex >= m_pending.nFolders)
            return DISP_E_BADINDEX;
        // The negated test also refuses NaN; sizes must fit in 64 bits.
        if (nFiles < 2 || !(dFileSize > 1.0) || dFileSize >= 9.2e18)
            return E_INVALIDARG;
        const LONGLONG llFileSize = static_cast<LONGLONG>(dFileSize);
        DVRFolder& f = m_pending.pFolders[nFolderIndex];
        if (f.fileCount != nFiles || f.fileSize != llFileSize) {
            const LONGLONG llSlots = static_cast<LONGLONG>(m_pending.SlotCount()) - f.fileCount + nFiles;
            if (llSlots > kMaxSlots)
                return E_INVALIDARG;
            f.fileCount = nFiles;
            f.fileSize = llFileSize;
            m_pending.Renumber(nFolderIndex);
            m_bChanged = true;
        }
    }
    return change.Commit();
}

// ---------------------------------------------------------------------------
// Getters

HRESULT CBaseDVRSink::GetFolderCount(LONG* pnFolders)
{
    if (!pnFolders)
        return E_POINTER;
    CDVRFolderSet set;
    HRESULT hr = SnapshotFolders(&set);
    if (FAILED(hr))
        return hr;
    *pnFolders = set.nFolders;
    return S_OK;
}

HRESULT CBaseDVRSink::GetFolderName(LONG nIndex, BSTR* pbstrPath)
{
    if (!pbstrPath)
        return E_POINTER;
    *pbstrPath = nullptr;
    CDVRFolderSet set;
    HRESULT hr = SnapshotFolders(&set);
    if (FAILED(hr))
        return hr;
    if (nIndex < 0 || nIndex >= set.nFolders)
        return DISP_E_BADINDEX;
    *pbstrPath = SysAllocString(set.pFolders[nIndex].path);
    return *pbstrPath ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseDVRSink::GetBaseName(BSTR* pbstrName)
{
    if (!pbstrName)
        return E_POINTER;
    CDVRFolderSet set;
    HRESULT hr = SnapshotFolders(&set);
    if (FAILED(hr))
        return hr;
    *pbstrName = SysAllocString(set.strBaseName.c_str());
    return *pbstrName ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseDVRSink::GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes)
{
    if (!pnFiles || !pdBytes)
        return E_POINTER;
    CDVRFolderSet set;
    HRESULT hr = SnapshotFolders(&set);
    if (FAILED(hr))
        return hr;
    if (set.nFolders < 1)
        return E_UNEXPECTED;
    if (nFolderIndex < 0 || nFolderIndex >= set.nFolders)
        return DISP_E_BADINDEX;
    const DVRFolder& f = set.pFolders[nFolderIndex];
    if (lFlags & kDVRBufferSizeConfigured) {
        *pnFiles = f.fileCount;
        *pdBytes = static_cast<double>(f.fileCount) * static_cast<double>(f.fileSize);
        return S_OK;
    }
    *pnFiles = 0;
    *pdBytes = 0;
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    hr = ReadRecords(&nCount, &pList);
    if (hr == KVMM_E_DVR_NO_RECORDINGS)
        return S_OK;  // nothing lies in the folder yet
    if (FAILED(hr))
        return hr;
    LONG nFiles = 0;
    LONGLONG llBytes = 0;
    for (LONG k = f.firstIndex; k < f.firstIndex + f.fileCount && k < nCount; ++k) {
        ++nFiles;
        llBytes += pList[k].size;
    }
    *pnFiles = nFiles;
    *pdBytes = static_cast<double>(llBytes);
    return S_OK;
}
