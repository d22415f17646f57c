#pragma once

#include <windows.h>
#include <mfidl.h>
#include <propidl.h>
#include <wrl/client.h>

#include "source/RefCountedObject.h"

namespace ORVO {
namespace MediaFoundation {

// One request to the source, queued on its OpQueue. The kind says what to do; the data carries a
// value for the kinds that need one (the start position, a stream index).
class OrvoSourceOp : public RefCountedObject, public IUnknown {
 public:
  enum Operation : int {
    SourceOpStart = 0,
    SourceOpStop = 1,
    SourceOpPull = 2,         // data: VT_INT stream index
    SourceOpStreamEnded = 3,
  };

  static HRESULT CreateOp(int kind, OrvoSourceOp** op);
  static HRESULT CreatePullOp(int streamIndex, OrvoSourceOp** op);

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
  STDMETHODIMP_(ULONG) Release() override { return release(); }

  int op() const { return m_op; }
  const PROPVARIANT& data() const { return m_data; }
  HRESULT SetData(const PROPVARIANT& value);

 protected:
  explicit OrvoSourceOp(int kind);
  ~OrvoSourceOp() override;

 private:
  int m_op;
  PROPVARIANT m_data;
};

// A start request: the presentation descriptor given to Start, and the start position as data.
class OrvoStartOp : public OrvoSourceOp {
 public:
  static HRESULT CreateStartOp(IMFPresentationDescriptor* descriptor, const PROPVARIANT* position,
                               OrvoStartOp** op);
  // With an added reference; null when none was given.
  HRESULT GetPresentationDescriptor(IMFPresentationDescriptor** descriptor);

 private:
  explicit OrvoStartOp(IMFPresentationDescriptor* descriptor);

  Microsoft::WRL::ComPtr<IMFPresentationDescriptor> m_pDescriptor;
};

}  // namespace MediaFoundation
}  // namespace ORVO
