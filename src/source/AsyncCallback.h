#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfobjects.h>

namespace ORVO {
namespace MediaFoundation {

// IMFAsyncCallback on behalf of a parent object: Invoke calls one member function of the parent.
// It lives inside the parent and borrows the parent's reference count, so a pending work item keeps
// the parent alive and the callback never deletes itself.
template <class Parent>
class AsyncCallback : public IMFAsyncCallback {
 public:
  using InvokeFn = HRESULT (Parent::*)(IMFAsyncResult* result);

  AsyncCallback(Parent* parent, InvokeFn fn) : m_pParent(parent), m_pInvokeFn(fn) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFAsyncCallback)) {
      *object = static_cast<IMFAsyncCallback*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return m_pParent->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_pParent->Release(); }

  STDMETHODIMP GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(IMFAsyncResult* result) override { return (m_pParent->*m_pInvokeFn)(result); }

 private:
  Parent* m_pParent;
  InvokeFn m_pInvokeFn;
};

}  // namespace MediaFoundation
}  // namespace ORVO
