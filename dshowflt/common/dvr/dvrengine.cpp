#include "dshowflt/common/dvr/dvrengine.h"

CDVREngine::CDVREngine(bool bWriterMode) : m_bWriterMode(bWriterMode) {}

CDVREngine::~CDVREngine()
{
    CAutoLock lock(&m_csStubFile);
    (void)m_stubCache.Attach(nullptr, false);
}
