#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "render/BgraPicture.h"

namespace ORVO {
namespace MediaFoundation {

// The picture a video stream presented last, kept for the host to copy (GetSnapshot). The
// rendering thread only keeps a reference to the presented sample and its type; the caller's thread
// reads the frame and converts it to BGRA. A frame in system memory is read as it is: the sample
// stays unchanged while it is referenced (the frame pools hand out only samples nobody else holds).
// A frame in a texture is copied into a staging texture and mapped under the device's multithread
// protection (ID3D10Multithread), which the renderer turns on so that the decoder, the colour
// converter and Media Foundation's buffer locks may use the immediate context from their threads:
// the snapshot is one more such user. It holds that protection only for the copy in video memory
// and for copying the mapped rows out, never while the copy is still in flight or for the
// conversion, so a rendering thread waits at most that long for it.
//
// Threads: Drawn and Presented on the thread that presents (the rendering thread; the stream's
// owner for the black picture of a stop, once that thread has ended); Read on any thread. m_lock
// guards the presented sample and is held only to swap or take a reference, with nothing taken
// under it: it is innermost, after any lock the caller holds.
class SnapshotCopy {
 public:
  SnapshotCopy();
  ~SnapshotCopy();
  SnapshotCopy(const SnapshotCopy&) = delete;
  SnapshotCopy& operator=(const SnapshotCopy&) = delete;

  // The renderer processed sample, of type, for the next present.
  void Drawn(IMFSample* sample, IMFMediaType* type);
  // The sample last drawn reached the window.
  void Presented();
  // Lets go of every picture, before the allocator or device they come from goes away: a frame
  // returned to an allocator already shut down, or a texture outliving its device's teardown, is
  // not safe.
  void Forget();

  // The presented picture's size in *size; when pixels holds capacity bytes or more, the picture
  // itself. S_OK copied; MF_E_BUFFERTOOSMALL (size filled, nothing copied); MF_E_NOT_INITIALIZED
  // nothing presented yet; MF_E_INVALIDMEDIATYPE a layout not converted; otherwise why the frame
  // could not be read.
  HRESULT Read(BYTE* pixels, uint32_t capacity, BgraSize* size);

 private:
  // Copies the texture behind buffer into *copy through a staging texture and describes it in
  // *frame (its layout told by the texture's format).
  HRESULT readTexture(IMFDXGIBuffer* buffer, std::vector<BYTE>* copy, LockedFrame* frame);

  CRITICAL_SECTION m_lock;
  Microsoft::WRL::ComPtr<IMFSample> m_drawn;  // rendering thread
  Microsoft::WRL::ComPtr<IMFMediaType> m_drawnType;
  Microsoft::WRL::ComPtr<IMFSample> m_presented;  // guarded by m_lock
  Microsoft::WRL::ComPtr<IMFMediaType> m_presentedType;
};

}  // namespace MediaFoundation
}  // namespace ORVO
