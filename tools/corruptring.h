// A small finished ring for corruption sweeps: three slots, five recordings
// (so the ring has wrapped), every stream byte stamped with its own offset,
// and each recording file longer than its record by a poison tail, as a file
// the writer is replacing would be. The sweeps change the stub and read the
// ring back: a stamped byte is always below 0x80, a poison byte never is, so
// one look at each served byte tells whether it came from beyond the end of
// what a recording holds.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "platform/bstr.h"
#include "platform/thread.h"

namespace corruptring {

constexpr BYTE kPoison = 0xEE;
// What a read buffer holds before each read: a byte counted as read that
// still holds it was never filled.
constexpr BYTE kUnfilled = 0xDD;
constexpr size_t kPoisonTail = 1000;
constexpr LONG kSlots = 3;
// Recording sizes in play order; the last three are the ones kept.
constexpr LONGLONG kSizes[] = {4000, 4096, 3001, 4104, 2053};
constexpr int kRecordings = sizeof(kSizes) / sizeof(kSizes[0]);

// Byte i of the stream: the 8-byte word at offset w holds w, seven bits a
// byte, so that every stamped byte is below 0x80.
inline BYTE StampByte(LONGLONG i)
{
    const unsigned long long w = static_cast<unsigned long long>(i) & ~7ull;
    return static_cast<BYTE>((w >> (7 * (i & 7))) & 0x7F);
}

// Lays down the ring with a writer-mode engine, one recording at a time.
class CRingWriter : public CDVREngine
{
public:
    explicit CRingWriter(std::string strDir) : CDVREngine(true), m_strDir(std::move(strDir)) {}
    std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }
    CWString WPath(const std::string& strName) const { return Utf8ToWide(Path(strName)); }

    // The ring; *pllFirst is the stream offset of the oldest byte kept.
    HRESULT Write(LONGLONG* pllFirst)
    {
        HRESULT hr = CreateStubFile(WPath("Capture.KBL").c_str(), u"", FALSE);
        LONGLONG llTotal = 0;
        for (LONG nPlay = 0; SUCCEEDED(hr) && nPlay < kRecordings; ++nPlay) {
            const LONG nSlot = nPlay % kSlots;
            const LONGLONG cb = kSizes[nPlay];
            std::unique_ptr<IFile> pRec;
            hr = CreateRecording(WPath("Capture_" + std::to_string(nSlot) + ".KRC").c_str(), nSlot, nPlay, &pRec);
            if (FAILED(hr))
                break;
            std::vector<BYTE> v(static_cast<size_t>(cb));
            for (LONGLONG i = 0; i < cb; ++i)
                v[static_cast<size_t>(i)] = StampByte(llTotal + i);
            DWORD cbWritten = 0;
            hr = pRec->Write(v.data(), static_cast<DWORD>(cb), &cbWritten);
            if (SUCCEEDED(hr))
                hr = pRec->SetEndOfFile();
            if (SUCCEEDED(hr) && nSlot == nPlay)
                hr = WriteRecordCount(static_cast<DWORD>(nSlot + 1));
            {
                CAutoLock lock(&m_csStubFile);
                m_nCurRecIndex = nSlot;
            }
            if (SUCCEEDED(hr))
                hr = SetRecordingSize(cb);
            CloseStubFile();
            if (nPlay == kRecordings - kSlots)
                *pllFirst = llTotal;
            llTotal += cb;
        }
        // The poison tails.
        for (LONG nSlot = 0; SUCCEEDED(hr) && nSlot < kSlots; ++nSlot) {
            const int fd = open(Path("Capture_" + std::to_string(nSlot) + ".KRC").c_str(), O_WRONLY | O_APPEND);
            if (fd < 0)
                return E_FAIL;
            const std::vector<BYTE> tail(kPoisonTail, kPoison);
            const bool bOk = write(fd, tail.data(), tail.size()) == static_cast<ssize_t>(tail.size());
            close(fd);
            if (!bOk)
                hr = E_FAIL;
        }
        return hr;
    }

private:
    std::string m_strDir;
};

// Whether a change of stub byte ib leaves every record describing its own
// file as the writer wrote it: not the owner-name length (which moves every
// field), nor a record's length, path length, path or size. A stub whose
// records are the writer's must never lead a reader into a poison tail. One
// whose size grew, or whose path names another slot's file, may: the tail is
// inside a file, and nothing in it tells it from stream bytes.
inline bool RecordsIntact(size_t ib)
{
    if (ib == 8 || ib == 9)
        return false;
    if (ib < dvr::kStubHeaderBytes)
        return true;
    const size_t rel = (ib - dvr::kStubHeaderBytes) % dvr::kRecordBytes;
    return rel >= 4 + 2 * dvr::kPathUnits + 8;
}

inline LONGLONG KeptBytes()
{
    LONGLONG ll = 0;
    for (int k = kRecordings - kSlots; k < kRecordings; ++k)
        ll += kSizes[k];
    return ll;
}

// What one reading of a (possibly corrupt) stub found.
struct SReadResult
{
    HRESULT hrStart = E_FAIL;   // StartReader
    HRESULT hrOffsets = E_FAIL; // GetOffsets
    HRESULT hrLastRead = S_OK;  // the read that ended the walk
    LONGLONG llMin = 0, llMax = 0;
    LONGLONG llServed = 0;      // bytes ReadData handed out
    LONGLONG llPoison = -1;     // reader offset of the first poison byte, -1 for none
    LONGLONG llUnfilled = -1;   // first byte counted as read that the reader never wrote
    LONGLONG llFirstWrong = -1; // first byte that is not the stamp of its offset
    double dMs = 0;             // the whole walk
};

// Reads the ring as a follower does: start, offsets, every byte from the
// oldest to the end, the picture and every slot's record. Bounded: at most
// one pass per 1 KiB of what the ring can hold plus the failures.
inline SReadResult ReadRing(const std::string& strStub, LONGLONG llStampDelta)
{
    SReadResult r;
    const auto t0 = std::chrono::steady_clock::now();
    CDVREngine reader(false);
    const CWString wstrStub = Utf8ToWide(strStub);
    r.hrStart = reader.SetStubFileName(wstrStub.c_str(), static_cast<int>(wstrStub.size()), FALSE);
    if (SUCCEEDED(r.hrStart))
        r.hrStart = reader.StartReader(nullptr);
    if (SUCCEEDED(r.hrStart)) {
        r.hrOffsets = reader.GetOffsets(&r.llMin, &r.llMax);
        if (SUCCEEDED(r.hrOffsets)) {
            std::vector<BYTE> buf(1024);
            LONGLONG llPos = r.llMin;
            for (int nPass = 0; nPass < 64 && llPos < r.llMax; ++nPass) {
                DWORD cbRead = 0;
                std::fill(buf.begin(), buf.end(), kUnfilled);
                const DWORD cbWant = static_cast<DWORD>(std::min<LONGLONG>(1024, r.llMax - llPos));
                r.hrLastRead = reader.ReadData(llPos, 1, cbWant, buf.data(), &cbRead, GetTickCount() + 50);
                if (cbRead > cbWant)
                    cbRead = cbWant;  // counted below as served beyond the request
                for (DWORD i = 0; i < cbRead; ++i) {
                    if (buf[i] == kPoison && r.llPoison < 0)
                        r.llPoison = llPos + i;
                    if (buf[i] == kUnfilled && r.llUnfilled < 0)
                        r.llUnfilled = llPos + i;
                    if (buf[i] != StampByte(llPos + i + llStampDelta) && r.llFirstWrong < 0)
                        r.llFirstWrong = llPos + i;
                }
                r.llServed += cbRead;
                llPos += cbRead;
                if (FAILED(r.hrLastRead) || cbRead == 0)
                    break;
            }
        }
        SDVRPicture picture;
        (void)reader.GetPicture(&picture);
        for (LONG nSlot = 0; nSlot < kSlots + 1; ++nSlot) {
            BSTR bstr = nullptr;
            double dSize = 0, dFile = 0;
            LONG nPlay = 0, nState = 0;
            if (SUCCEEDED(reader.GetRecordingInfo(nSlot, &bstr, &dSize, &dFile, &nPlay, &nState)))
                SysFreeString(bstr);
        }
        reader.StopReader();
    }
    r.dMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

// The statuses a reader of a corrupt stub may end with: its own DVR codes,
// and the platform's error (in its Win32 form) of a recording the stub
// names wrongly: missing, a folder, a name too long, cut short.
inline bool IsDocumentedStatus(HRESULT hr)
{
    switch (hr) {
    case S_OK:
    case S_FALSE:
    case KVMM_S_DVR_WAITING:
    case KVMM_E_DVR_CORRUPT_STUB_FILE:
    case KVMM_E_DVR_NO_RECORDINGS:
    case KVMM_E_DVR_DISCARDED_DATA:
    case KVMM_E_DVR_STOPPED:
    case CO_E_PATHTOOLONG:
        return true;
    default:
        return (static_cast<DWORD>(hr) & 0xFFFF0000u) == 0x80070000u;
    }
}

}  // namespace corruptring
