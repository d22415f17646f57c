#pragma once

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// Keeps at most one presented frame in flight on the device: Mark after a Present, Wait before the
// next frame is drawn. The wait sleeps. Without it the next frame's upload or Present waits inside
// the platform, and Wine's Direct3D (wined3d) waits there by spinning: with several players on a
// software rasteriser those spins took a fifth of the machine from the threads that draw. For a
// low-latency renderer one frame in flight is also what it wants to keep. Not thread-safe: the
// renderer's lock serialises every call.
class FrameFence {
 public:
  FrameFence() = default;
  FrameFence(const FrameFence&) = delete;
  FrameFence& operator=(const FrameFence&) = delete;

  // After a Present on device: the device's work up to here is the frame in flight. A device
  // that cannot make an event query just has no fence.
  void Mark(ID3D11Device* device, ID3D11DeviceContext* context);
  // Returns once the marked frame is done, the device reports it lost, or timeoutMs passed (a
  // driver whose queries never signal must not stop the video).
  void Wait(ID3D11DeviceContext* context, DWORD timeoutMs);
  // Forgets the query (a new device, shutdown).
  void Release();

 private:
  Microsoft::WRL::ComPtr<ID3D11Device> m_device;
  Microsoft::WRL::ComPtr<ID3D11Query> m_query;
  bool m_pending = false;
};

}  // namespace MediaFoundation
}  // namespace ORVO
