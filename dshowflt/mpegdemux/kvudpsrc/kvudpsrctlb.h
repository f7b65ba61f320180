// The type library of the network source: IKVUDPSrc1, IKVUDPSrc,
// IKVSrcCallback, SrcEventNotificationConstants, IFileSourceFilter and the
// class KVUDPSrc. One description serves both the component library, which
// exports it as its type library, and the filter's IDispatch when the filter
// is linked into a program instead.
#pragma once

#include "platform/typeinfo.h"

extern const STypeLibDesc g_KVUDPSrcTypeLib;
