// Reads a stub file from arbitrary bytes the way readers do, then rewrites
// fields the way the writer does. Every path must end in a status, never in
// a crash, an endless walk or an allocation beyond the input's size.
#include <cstdint>
#include <memory>
#include <vector>

#include "dshowflt/common/dvr/dvrengine.h"
#include "platform/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An odd first byte stands for a valid signature and version, so that
    // mutations reach the name, count and record fields instead of dying at
    // the first check.
    std::vector<BYTE> bytes;
    if (size > 0 && (data[0] & 1)) {
        static const char kStart[8] = {'T', 'A', 'R', 'N', 'D', 'V', 'R', 0};
        bytes.assign(kStart, kStart + 8);
        bytes.insert(bytes.end(), data + 1, data + size);
    } else {
        bytes.assign(data, data + size);
    }
    {
        CDVREngine reader(false);
        if (FAILED(reader.AttachStubFile(new CMemoryFile(bytes), true)))
            return 0;
        LONG nCount = 0, nMin = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        HRESULT hr = reader.ReadAllRecordingsInfo(&nCount, &pList, &nMin);
        if (SUCCEEDED(hr) && nCount > 0) {
            RecordingInfo info;
            if (SUCCEEDED(reader.SeekInStubToRecordingFile(nCount - 1)))
                (void)reader.ReadRecordingInfo(&info);
        }
    }
    {
        CDVREngine writer(true);
        if (FAILED(writer.AttachStubFile(new CMemoryFile(bytes), true)))
            return 0;
        (void)writer.WriteRecordCount(3);
        (void)writer.SetOwnerName(u"TARN DVR Sink 00000001 pid 00000002");
        (void)writer.SeekInStubToRecordingFile(2);
    }
    return 0;
}
