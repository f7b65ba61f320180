#include "dshowflt/common/dvr/dvrformat.h"

#include <chrono>
#include <cstdio>

#include "platform/file.h"

namespace dvr {

void EncodeGuid(BYTE* pb, REFGUID guid)
{
    PutLE32(pb, guid.Data1);
    PutLE16(pb + 4, guid.Data2);
    PutLE16(pb + 6, guid.Data3);
    for (int i = 0; i < 8; ++i)
        pb[8 + i] = guid.Data4[i];
}

GUID DecodeGuid(const BYTE* pb)
{
    GUID guid;
    guid.Data1 = GetLE32(pb);
    guid.Data2 = GetLE16(pb + 4);
    guid.Data3 = GetLE16(pb + 6);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = pb[8 + i];
    return guid;
}

void EncodeSystemTime(BYTE* pb, const SYSTEMTIME& st)
{
    const WORD aw[8] = {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay,
                        st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
    for (int i = 0; i < 8; ++i)
        PutLE16(pb + 2 * i, aw[i]);
}

SYSTEMTIME DecodeSystemTime(const BYTE* pb)
{
    SYSTEMTIME st;
    st.wYear = GetLE16(pb);
    st.wMonth = GetLE16(pb + 2);
    st.wDayOfWeek = GetLE16(pb + 4);
    st.wDay = GetLE16(pb + 6);
    st.wHour = GetLE16(pb + 8);
    st.wMinute = GetLE16(pb + 10);
    st.wSecond = GetLE16(pb + 12);
    st.wMilliseconds = GetLE16(pb + 14);
    return st;
}

SYSTEMTIME GetUtcNow()
{
    using namespace std::chrono;
    const auto now = time_point_cast<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> hms{now - day};
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(static_cast<int>(ymd.year()));
    st.wMonth = static_cast<WORD>(static_cast<unsigned>(ymd.month()));
    st.wDayOfWeek = static_cast<WORD>(weekday{day}.c_encoding());
    st.wDay = static_cast<WORD>(static_cast<unsigned>(ymd.day()));
    st.wHour = static_cast<WORD>(hms.hours().count());
    st.wMinute = static_cast<WORD>(hms.minutes().count());
    st.wSecond = static_cast<WORD>(hms.seconds().count());
    st.wMilliseconds = static_cast<WORD>(hms.subseconds().count());
    return st;
}

HRESULT EncodeStubHeader(LPCWSTR pszOwner, REFGUID streamId, DWORD dwRecordCount, BYTE (&ab)[kStubHeaderBytes])
{
    const size_t cchOwner = WStrLen(pszOwner);
    if (cchOwner >= static_cast<size_t>(kOwnerNameUnits))
        return E_INVALIDARG;
    memset(ab, 0, sizeof(ab));
    memcpy(ab, kStubSignature, sizeof(kStubSignature));
    ab[7] = kStubVersion;
    PutLE16(ab + 8, kOwnerNameUnits);
    for (size_t i = 0; i < cchOwner; ++i)
        PutLE16(ab + 10 + 2 * i, pszOwner[i]);
    EncodeGuid(ab + 10 + 2 * kOwnerNameUnits, streamId);
    PutLE32(ab + 26 + 2 * kOwnerNameUnits, dwRecordCount);
    return S_OK;
}

void EncodeRecord(const WCHAR (&wszPath)[kPathUnits], LONGLONG llSize, LONG nPlayIndex,
                  const SYSTEMTIME& created, BYTE (&ab)[kRecordBytes])
{
    PutLE16(ab, kRecordLength);
    PutLE16(ab + 2, kPathUnits);
    for (int i = 0; i < kPathUnits; ++i)
        PutLE16(ab + 4 + 2 * i, wszPath[i]);
    BYTE* pb = ab + 4 + 2 * kPathUnits;
    PutLE64(pb, static_cast<ULONGLONG>(llSize));
    PutLE32(pb + 8, static_cast<DWORD>(nPlayIndex));
    EncodeSystemTime(pb + 12, created);
}

int RecordingNameWidth(LONG nFileCount)
{
    int nWidth = 1;
    for (LONG n = nFileCount; n > 10; n /= 10)
        ++nWidth;
    return nWidth;
}

CWString RecordingFileName(std::u16string_view baseName, int nWidth, LONG nSlot)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "_%0*d.KRC", nWidth, static_cast<int>(nSlot));
    CWString str(baseName);
    str.append(Utf8ToWide(sz));
    return str;
}

CWString StubFileName(std::u16string_view baseName)
{
    CWString str(baseName);
    str.append(u".KBL");
    return str;
}

int FolderOfSlot(const DVRFolder* pFolders, int nFolders, LONG nSlot)
{
    for (int i = 0; i < nFolders; ++i) {
        const LONGLONG llFirst = pFolders[i].firstIndex;
        if (nSlot >= llFirst && nSlot < llFirst + pFolders[i].fileCount)
            return i;
    }
    return -1;
}

HRESULT RecordingPath(const DVRFolder* pFolders, int nFolders, std::u16string_view baseName, LONG nSlot,
                      CWString* pstrPath)
{
    if (!pstrPath || (!pFolders && nFolders > 0))
        return E_POINTER;
    const int nFolder = FolderOfSlot(pFolders, nFolders, nSlot);
    if (nFolder < 0)
        return E_INVALIDARG;
    const DVRFolder& folder = pFolders[nFolder];
    CWString strPath = PathJoin(std::u16string_view(folder.path, WStrLen(folder.path)),
                                RecordingFileName(baseName, RecordingNameWidth(folder.fileCount), nSlot));
    if (strPath.size() >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;
    *pstrPath = std::move(strPath);
    return S_OK;
}

}  // namespace dvr
