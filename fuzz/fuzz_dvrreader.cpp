// The reader over a ring that lies: a stub from arbitrary bytes, and beside
// it recording files whose lengths the input chooses, read as a follower
// does (refresh, offsets, every byte from the oldest kept to the end, the
// play-order picture, the slots' records). Every path must end in a status,
// never a crash, a hang, an allocation beyond the input's size, or a byte
// served from beyond what a record says its recording holds.
//
// Input: a control byte, then the stub image; the last 16 bytes, when the
// control byte's bit 0 is set, are the lengths past each of the first eight
// records' sizes (a file on disk longer than its record: the writer was
// replacing it), and bit 1 cuts every file 1 KiB short of its record instead.
// An odd bit 2 stands for a valid signature and version, so that mutations
// reach the records instead of dying at the first check.
//
// Recording files live in memory, named as the stub names them inside its
// folder. Their valid bytes never hold kPoison; the bytes past a record's
// size are all kPoison, so any poison read is a read past a recording's end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "dshowflt/common/dvr/dvrengine.h"
#include "platform/memfile.h"

namespace {

constexpr BYTE kPoison = 0xEE;
constexpr LONGLONG kMaxFile = 256 * 1024;  // a bigger record is served short
constexpr LONG kMaxFiles = 8;
const WCHAR kStub[] = u"/kvfuzz-nonexistent/Capture.KBL";

class CMemReader : public CDVREngine
{
public:
    CMemReader() : CDVREngine(false) {}
    std::vector<BYTE> m_stub;
    std::map<CWString, std::vector<BYTE>> m_files;

protected:
    HRESULT OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD, DWORD, std::unique_ptr<IFile>* ppFile) override
    {
        if (dwAccess & GENERIC_WRITE)
            abort();  // a reader never writes
        const CWString strPath(pszPath);
        if (strPath == kStub) {
            ppFile->reset(new CMemoryFile(m_stub));
            return S_OK;
        }
        // Only files inside the stub's folder exist: anything else is what a
        // lying stub names elsewhere on the disk.
        if (PathFolder(strPath) != PathFolder(kStub))
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        auto it = m_files.find(PathFileName(strPath));
        if (it == m_files.end())
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        ppFile->reset(new CMemoryFile(it->second));
        return S_OK;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1 << 20))
        return 0;
    const BYTE bControl = data[0];
    size_t cbStub = size - 1;
    const uint8_t* pExtra = nullptr;
    if ((bControl & 1) && cbStub >= 16) {
        cbStub -= 16;
        pExtra = data + 1 + cbStub;
    }
    CMemReader reader;
    reader.m_stub.assign(data + 1, data + 1 + cbStub);
    if (bControl & 4) {
        static const char kStart[8] = {'T', 'A', 'R', 'N', 'D', 'V', 'R', 0};
        if (reader.m_stub.size() < 8)
            reader.m_stub.resize(8);
        memcpy(reader.m_stub.data(), kStart, 8);
    }
    // A live owner would make the reader look for its writer: the field is
    // covered by the stub target; here the stub is always a finished one.
    if (reader.m_stub.size() >= 12)
        reader.m_stub[10] = reader.m_stub[11] = 0;

    // Lay out the recordings as the stub's records name them.
    {
        CDVREngine decoder(false);
        if (FAILED(decoder.AttachStubFile(new CMemoryFile(reader.m_stub), true)))
            return 0;
        LONG nCount = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        if (SUCCEEDED(decoder.ReadAllRecordingsInfo(&nCount, &pList))) {
            for (LONG k = 0; k < nCount && k < kMaxFiles; ++k) {
                const RecordingInfo& info = pList[k];
                LONGLONG cbValid = info.size < 0 ? 0 : std::min(info.size, kMaxFile);
                if ((bControl & 2) && cbValid >= 1024)
                    cbValid -= 1024;
                const size_t cbPast = pExtra ? (static_cast<size_t>(pExtra[2 * k]) << 4) | (pExtra[2 * k + 1] & 15) : 0;
                std::vector<BYTE> file(static_cast<size_t>(cbValid) + cbPast, kPoison);
                for (LONGLONG p = 0; p < cbValid; ++p)
                    file[static_cast<size_t>(p)] = static_cast<BYTE>((k * 31 + p) % 0xE0);
                reader.m_files.emplace(PathFileName(info.path), std::move(file));
            }
        }
    }

    if (FAILED(reader.SetStubFileName(kStub, static_cast<int>(std::char_traits<char16_t>::length(kStub)), FALSE)))
        abort();
    if (FAILED(reader.StartReader(nullptr)))
        return 0;
    LONGLONG llMin = 0, llMax = 0;
    if (SUCCEEDED(reader.GetOffsets(&llMin, &llMax))) {
        if (llMin > llMax)
            abort();
        std::vector<BYTE> buf(64 * 1024);
        LONGLONG llPos = llMin;
        LONGLONG llServed = 0;
        // Each pass either moves on or ends: at most one pass per buffer of
        // the largest ring the records can describe, plus the failures.
        for (int nPass = 0; nPass < 64 && llPos < llMax; ++nPass) {
            DWORD cbRead = 0;
            const DWORD cbWant = static_cast<DWORD>(std::min<LONGLONG>(static_cast<LONGLONG>(buf.size()), llMax - llPos));
            const HRESULT hr = reader.ReadData(llPos, 1, cbWant, buf.data(), &cbRead, 1);
            if (cbRead > cbWant)
                abort();
            if (memchr(buf.data(), kPoison, cbRead))
                abort();  // a byte from past a recording's end
            llServed += cbRead;
            llPos += cbRead;
            if (FAILED(hr) || cbRead == 0)
                break;
        }
        if (llServed > llMax - llMin)
            abort();
    }
    SDVRPicture picture;
    if (SUCCEEDED(reader.GetPicture(&picture)) && picture.llMinOffset > picture.llMaxOffset)
        abort();
    for (LONG nSlot = 0; nSlot < 4; ++nSlot) {
        BSTR bstr = nullptr;
        double dSize = 0, dFile = 0;
        LONG nPlay = 0, nState = 0;
        if (SUCCEEDED(reader.GetRecordingInfo(nSlot, &bstr, &dSize, &dFile, &nPlay, &nState)))
            SysFreeString(bstr);
    }
    (void)reader.CheckIfRecordingInfoHasChanged();
    reader.StopReader();
    return 0;
}
