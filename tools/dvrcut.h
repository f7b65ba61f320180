// What follow and copy share to cut a DVR buffer by the clock: the buffer's
// time index, times turned into offsets, and cuts aligned to transport
// stream packets and random-access points.
#pragma once

#include <string>

#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/dvr/dvrtimeindex.h"

// "{GUID}" of the buffer's stream, or "(no time index)".
std::string StreamText(const CDVRTimeIndex& index);

// Loads the time index of a started source and checks --stream: false (the
// message printed, naming the stub) when the index cannot be read, or when
// strStream is given and the buffer now holds another stream.
bool LoadIndexFor(const char* pszCommand, const std::string& strStub, CDVRSourceObject* pSource,
                  const std::string& strStream, CDVRTimeIndex* pIndex);

// The offset of a time given on the command line (pszOption names it in
// messages): false, with the message printed, when the buffer has no times
// or the time lies outside the span it holds (the message names the span).
bool OffsetForTime(const char* pszCommand, const char* pszOption, const CDVRTimeIndex& index, LONGLONG llTime,
                   bool bEnd, LONGLONG* pllOffset);

// Moves a cut's start for a transport stream: to the first packet boundary
// at or after llStart and, with bKeyframe, to the first random-access point
// at or after it (tscut.h), looking no further than llLimit. Data that are
// no transport stream keep llStart (*pbTs false), unless bKeyframe asks for
// a key frame: then it fails. false with the reason in *pstrWhy.
bool AlignCut(CDVRSourceObject* pSource, LONGLONG llStart, LONGLONG llLimit, bool bKeyframe, LONGLONG* pllCut,
              bool* pbTs, std::string* pstrWhy);
