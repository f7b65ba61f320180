// The example tables of ITU-T T.81 Annex K, from which an RTP/JPEG receiver
// rebuilds the headers that RFC 2435 leaves out of the stream.
#pragma once

#include "platform/wintypes.h"

// Tables K.1 (luminance) and K.2 (chrominance), in the row order printed
// in Annex K.
extern const BYTE g_abJpegLumaQuant[64];
extern const BYTE g_abJpegChromaQuant[64];

// Huffman tables K.3 to K.6: 16 code-length counts, then the values.
extern const BYTE g_abJpegLumaDCBits[16];
extern const BYTE g_abJpegLumaDCValues[12];
extern const BYTE g_abJpegChromaDCBits[16];
extern const BYTE g_abJpegChromaDCValues[12];
extern const BYTE g_abJpegLumaACBits[16];
extern const BYTE g_abJpegLumaACValues[162];
extern const BYTE g_abJpegChromaACBits[16];
extern const BYTE g_abJpegChromaACValues[162];

// Entry of the quantisation table for factor Q (1-127) scaled from the
// Annex K base value, as RFC 2435, 4.2 computes it.
BYTE JpegScaledQuant(BYTE bBase, int nQ);
