#include "dshowflt/common/dvr/dvrengine.h"

CDVREngine::CDVREngine(bool bWriterMode) : m_bWriterMode(bWriterMode) {}

CDVREngine::~CDVREngine()
{
    // Reader mode: the writer link first, so that no call into the writer
    // outlives the engine.
    ShutdownReaderLink();
    if (m_hNewRequest != INVALID_HANDLE_VALUE)
        CloseHandle(m_hNewRequest);
    CAutoLock lock(&m_csStubFile);
    (void)m_stubCache.Attach(nullptr, false);
}
