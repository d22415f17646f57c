#pragma once

#include <windows.h>

#include <memory>
#include <new>

namespace ORVO {
namespace MediaFoundation {

// A plain array that grows to exactly the size asked for (no doubling: a source has few streams and
// sets its size once per stream). New slots are value-initialised (null for pointers); shrinking
// keeps the storage and the items beyond the new size, so the owner empties those slots first.
template <class T>
class GrowableArray {
 public:
  GrowableArray() = default;
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;

  HRESULT SetSize(DWORD count) {
    if (count > m_capacity) {
      std::unique_ptr<T[]> items(new (std::nothrow) T[count]());
      if (!items) return E_OUTOFMEMORY;
      for (DWORD i = 0; i < m_count; ++i) items[i] = std::move(m_items[i]);
      m_items = std::move(items);
      m_capacity = count;
    }
    m_count = count;
    return S_OK;
  }

  DWORD GetCount() const { return m_count; }
  DWORD capacity() const { return m_capacity; }
  T& operator[](DWORD index) { return m_items[index]; }
  const T& operator[](DWORD index) const { return m_items[index]; }

 private:
  DWORD m_count = 0;
  DWORD m_capacity = 0;
  std::unique_ptr<T[]> m_items;
};

}  // namespace MediaFoundation
}  // namespace ORVO
