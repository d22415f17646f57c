#pragma once

#include "source/List.h"

namespace ORVO {
namespace MediaFoundation {

// A List of COM pointers that owns one reference per entry. Reading or removing with an output
// hands the caller a reference of its own. With NullOk false, null items are refused (E_POINTER).
template <class T, bool NullOk = false>
class ComPtrList : public List<T*> {
 public:
  using Base = List<T*>;
  using Node = typename Base::Node;

  ~ComPtrList() override { ComPtrList::Clear(); }

  HRESULT InsertAfter(T* item, Node* before) override {
    if (!item && !NullOk) return E_POINTER;
    HRESULT hr = Base::InsertAfter(item, before);
    if (SUCCEEDED(hr) && item) item->AddRef();
    return hr;
  }

  HRESULT GetItem(const Node* node, T** item) override {
    HRESULT hr = Base::GetItem(node, item);
    if (SUCCEEDED(hr) && *item) (*item)->AddRef();
    return hr;
  }

  // The list's reference passes to *item when asked for, else it is released.
  HRESULT RemoveItem(Node* node, T** item) override {
    T* removed = nullptr;
    HRESULT hr = Base::RemoveItem(node, &removed);
    if (FAILED(hr)) return hr;
    if (item) {
      *item = removed;
    } else if (removed) {
      removed->Release();
    }
    return S_OK;
  }

  void Clear() override {
    while (!this->empty()) RemoveItem(this->FrontNode(), nullptr);
  }
};

}  // namespace MediaFoundation
}  // namespace ORVO
