#pragma once

#include <windows.h>
#include <mferror.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <atomic>

namespace orvo_test {

// What the stream pipeline hands an output when the reader flags a type change: a reader whose
// current type (of its one stream) is the new one. Nothing else of it is used.
class CurrentTypeReader : public IMFSourceReader {
 public:
  explicit CurrentTypeReader(IMFMediaType* type) : m_type(type) {}
  virtual ~CurrentTypeReader() = default;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != __uuidof(IUnknown) && riid != __uuidof(IMFSourceReader)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IMFSourceReader*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }
  STDMETHODIMP GetCurrentMediaType(DWORD stream, IMFMediaType** type) override {
    const bool known = stream == 0 || stream == static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM) ||
                       stream == static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);
    if (!known) return MF_E_INVALIDSTREAMNUMBER;
    return m_type.CopyTo(type);
  }
  STDMETHODIMP GetStreamSelection(DWORD, BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP SetStreamSelection(DWORD, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetNativeMediaType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  STDMETHODIMP SetCurrentMediaType(DWORD, DWORD*, IMFMediaType*) override { return E_NOTIMPL; }
  STDMETHODIMP SetCurrentPosition(REFGUID, REFPROPVARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP ReadSample(DWORD, DWORD, DWORD*, DWORD*, LONGLONG*, IMFSample**) override { return E_NOTIMPL; }
  STDMETHODIMP Flush(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetServiceForStream(DWORD, REFGUID, REFIID, LPVOID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPresentationAttribute(DWORD, REFGUID, PROPVARIANT*) override { return E_NOTIMPL; }

 private:
  std::atomic<ULONG> m_refs{1};
  Microsoft::WRL::ComPtr<IMFMediaType> m_type;
};

}  // namespace orvo_test
