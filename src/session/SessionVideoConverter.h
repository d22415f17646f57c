#pragma once

#include <windows.h>
#include <mfidl.h>

namespace ORVO {
namespace MediaFoundation {

// A converter between a source that hands out decoded video and the video renderer, for the
// session whose own topology loader cannot connect the two. Wine's loader is one: it finds the
// video processor but offers the renderer only the processor's bare output types (subtype and
// size), which the renderer's mixer refuses as compressed, so a file from a source that decodes
// itself shows no picture. The node made here carries a complete output type: the decoded type
// with the renderer's own format.

// Whether subtype names decoded (uncompressed) video, that is, a stream that needs no decoder.
bool IsDecodedVideoSubtype(const GUID& subtype);

// The format the converter hands the renderer for a picture of width x height: NV12, which every
// video renderer takes, where the size allows its 2x2 chroma; RGB32 for odd sizes.
GUID ConverterOutputSubtype(UINT32 width, UINT32 height);

// A transform node with the platform's video processor (the colour converter where there is
// none), its input set to decoded and its output to the same picture in ConverterOutputSubtype.
// logOwner: the engine, whose address the log lines carry.
HRESULT CreateVideoConverterNode(IMFMediaType* decoded, const void* logOwner, IMFTopologyNode** node);

}  // namespace MediaFoundation
}  // namespace ORVO
