#include "source/OrvoSourceOp.h"

#include <new>

#include "common/ComAdopt.h"

namespace ORVO {
namespace MediaFoundation {

OrvoSourceOp::OrvoSourceOp(int kind) : m_op(kind) { PropVariantInit(&m_data); }

OrvoSourceOp::~OrvoSourceOp() { PropVariantClear(&m_data); }

HRESULT OrvoSourceOp::CreateOp(int kind, OrvoSourceOp** op) {
  if (!op) return E_POINTER;
  *op = new (std::nothrow) OrvoSourceOp(kind);
  return *op ? S_OK : E_OUTOFMEMORY;
}

HRESULT OrvoSourceOp::CreatePullOp(int streamIndex, OrvoSourceOp** op) {
  HRESULT hr = CreateOp(SourceOpPull, op);
  if (FAILED(hr)) return hr;
  (*op)->m_data.vt = VT_INT;
  (*op)->m_data.intVal = streamIndex;
  return S_OK;
}

STDMETHODIMP OrvoSourceOp::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == __uuidof(IUnknown)) {
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT OrvoSourceOp::SetData(const PROPVARIANT& value) {
  PropVariantClear(&m_data);
  return PropVariantCopy(&m_data, &value);
}

OrvoStartOp::OrvoStartOp(IMFPresentationDescriptor* descriptor)
    : OrvoSourceOp(SourceOpStart), m_pDescriptor(descriptor) {}

HRESULT OrvoStartOp::CreateStartOp(IMFPresentationDescriptor* descriptor, const PROPVARIANT* position,
                                   OrvoStartOp** op) {
  if (!op || !position) return E_POINTER;
  *op = nullptr;
  Microsoft::WRL::ComPtr<OrvoStartOp> created = AdoptRef(new (std::nothrow) OrvoStartOp(descriptor));
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->SetData(*position);
  if (SUCCEEDED(hr)) *op = created.Detach();
  return hr;
}

HRESULT OrvoStartOp::GetPresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  if (!descriptor) return E_POINTER;
  *descriptor = nullptr;
  return m_pDescriptor ? m_pDescriptor.CopyTo(descriptor) : S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
