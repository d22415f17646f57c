#pragma once

#include <windows.h>

namespace ORVO {
namespace MediaFoundation {

// The reference count behind AddRef/Release of the source's COM objects. Starts at 1: the creator
// owns the first reference. The decrement that reaches 0 deletes the object.
class RefCountedObject {
 public:
  RefCountedObject() : m_refCount(1) {}
  virtual ~RefCountedObject() {}

  ULONG addRef() { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
  ULONG release() {
    LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

 private:
  volatile LONG m_refCount;
};

}  // namespace MediaFoundation
}  // namespace ORVO
