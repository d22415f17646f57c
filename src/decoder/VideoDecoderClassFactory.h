#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <mftransform.h>
#include <unknwn.h>

#include <atomic>

namespace ORVO {
namespace MediaFoundation {

// Registered with Media Foundation as a process-local video decoder for the common compressed
// subtypes. It decodes nothing itself: CreateInstance finds the system's first hardware (else
// software) decoder for the subtype the low-latency engine recorded last on the same thread,
// switches it to low-latency mode and hands it out.
//
// Threads: CreateInstance runs on Media Foundation threads, possibly for several players at once.
class VideoDecoderClassFactory final : public IClassFactory {
 public:
  VideoDecoderClassFactory();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

  HRESULT findDecoderEx(IMFTransform** decoder);

  // MFTRegisterLocal / MFTUnregisterLocal with the fixed name and subtype tables.
  HRESULT Register();
  HRESULT Unregister();

  // The subtype that the next CreateInstance on the calling thread searches for. A thread that
  // never set one gets the process's last, whoever set it.
  static void SetDecoderSubtype(const GUID& subtype);
  static GUID DecoderSubtype();
  static LONG ServerLockCount();

  // The registration tables (13 inputs, 10 outputs), built once per process.
  static const MFT_REGISTER_TYPE_INFO* InputTypes(UINT32* count);
  static const MFT_REGISTER_TYPE_INFO* OutputTypes(UINT32* count);

 private:
  ~VideoDecoderClassFactory() = default;  // only Release deletes it

  std::atomic<ULONG> m_refCount{1};
};

}  // namespace MediaFoundation
}  // namespace ORVO
