#include "render/FrameFence.h"

namespace ORVO {
namespace MediaFoundation {

void FrameFence::Mark(ID3D11Device* device, ID3D11DeviceContext* context) {
  if (device == nullptr || context == nullptr) return;
  if (m_device.Get() != device) {
    Release();
    const D3D11_QUERY_DESC desc = {D3D11_QUERY_EVENT, 0};
    if (FAILED(device->CreateQuery(&desc, &m_query))) return;
    m_device = device;
  }
  context->End(m_query.Get());
  m_pending = true;
}

void FrameFence::Wait(ID3D11DeviceContext* context, DWORD timeoutMs) {
  if (!m_pending || !m_query || context == nullptr) return;
  m_pending = false;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  // The first poll flushes, so that the device starts on the frame if it has not yet.
  UINT flags = 0;
  for (;;) {
    BOOL done = FALSE;
    const HRESULT hr = context->GetData(m_query.Get(), &done, sizeof(done), flags);
    if (hr != S_FALSE || GetTickCount64() >= deadline) return;
    flags = D3D11_ASYNC_GETDATA_DONOTFLUSH;
    Sleep(1);
  }
}

void FrameFence::Release() {
  m_query.Reset();
  m_device.Reset();
  m_pending = false;
}

}  // namespace MediaFoundation
}  // namespace ORVO
