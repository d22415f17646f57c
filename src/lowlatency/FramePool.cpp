#include "lowlatency/FramePool.h"

#include <mfapi.h>

#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

// Whether `holders` references are all there are: AddRef and Release return the new count.
bool HeldOnlyBy(IUnknown* object, ULONG holders) {
  object->AddRef();
  return object->Release() == holders;
}

}  // namespace

HRESULT FramePool::acquire(DWORD bytes, IMFSample** sample) {
  if (!sample) return E_POINTER;
  *sample = nullptr;
  if (bytes > m_bytes) {
    // A bigger picture (a new frame size): the old buffers cannot hold it.
    m_samples.clear();
    m_bytes = bytes;
  }
  for (const ComPtr<IMFSample>& pooled : m_samples) {
    ComPtr<IMFMediaBuffer> buffer;
    // The pool's reference to the sample; the sample's and this function's to the buffer.
    if (!HeldOnlyBy(pooled.Get(), 1) || FAILED(pooled->GetBufferByIndex(0, &buffer)) ||
        !HeldOnlyBy(buffer.Get(), 2)) {
      continue;
    }
    pooled->DeleteAllItems();
    buffer->SetCurrentLength(0);
    *sample = pooled.Get();
    (*sample)->AddRef();
    return S_OK;
  }
  ComPtr<IMFSample> made;
  ComPtr<IMFMediaBuffer> buffer;
  ORVO_RETURN_IF_FAILED(MFCreateSample(&made), "FramePool::acquire: MFCreateSample");
  ORVO_RETURN_IF_FAILED(MFCreateAlignedMemoryBuffer(m_bytes, MF_16_BYTE_ALIGNMENT, &buffer),
                        "FramePool::acquire: MFCreateAlignedMemoryBuffer(%u)", static_cast<unsigned>(m_bytes));
  ORVO_RETURN_IF_FAILED(made->AddBuffer(buffer.Get()), "FramePool::acquire: AddBuffer");
  ++m_allocations;
  if (m_samples.size() < m_capacity) m_samples.push_back(made);
  *sample = made.Detach();
  return S_OK;
}

void FramePool::clear() {
  m_samples.clear();
  m_bytes = 0;
}

}  // namespace Media
}  // namespace ORVO
