#pragma once

#include <windows.h>

#include <new>

namespace ORVO {
namespace MediaFoundation {

// A key and its value, the item type of TinyMap.
template <class Key, class Value>
struct Pair {
  Key key;
  Value value;
  Pair() : key(), value() {}
  Pair(Key k, Value v) : key(k), value(v) {}
};

// Circular doubly linked list with a sentinel node. The sentinel's next is the front, its previous
// the back, so an empty list is the sentinel pointing at itself. Not thread-safe: the owner's lock
// guards it.
template <class T>
class List {
 public:
  struct Node {
    Node* prev;
    Node* next;
    T item;
    Node() : prev(nullptr), next(nullptr), item() {}
    explicit Node(T value) : prev(nullptr), next(nullptr), item(value) {}
  };

  List() : m_count(0) {
    m_anchor.next = &m_anchor;
    m_anchor.prev = &m_anchor;
  }
  // Virtual so that ComPtrList can count references on every insertion and removal below.
  virtual ~List() { List<T>::Clear(); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;

  virtual HRESULT InsertAfter(T item, Node* before) {
    if (!before) return E_POINTER;
    Node* node = new (std::nothrow) Node(item);
    if (!node) return E_OUTOFMEMORY;
    Node* after = before->next;
    before->next = node;
    after->prev = node;
    node->prev = before;
    node->next = after;
    ++m_count;
    return S_OK;
  }

  virtual HRESULT GetItem(const Node* node, T* item) {
    if (!node || !item) return E_POINTER;
    *item = node->item;
    return S_OK;
  }

  // Unlinks and frees the node; the item goes to *item when asked for.
  virtual HRESULT RemoveItem(Node* node, T* item) {
    if (!node) return E_POINTER;
    if (node == &m_anchor) return E_INVALIDARG;
    node->next->prev = node->prev;
    node->prev->next = node->next;
    if (item) *item = node->item;
    delete node;
    --m_count;
    return S_OK;
  }

  virtual void Clear() {
    Node* node = m_anchor.next;
    while (node != &m_anchor) {
      Node* next = node->next;
      delete node;
      node = next;
    }
    m_anchor.next = &m_anchor;
    m_anchor.prev = &m_anchor;
    m_count = 0;
  }

  HRESULT InsertBack(T item) { return InsertAfter(item, m_anchor.prev); }
  HRESULT InsertFront(T item) { return InsertAfter(item, &m_anchor); }
  HRESULT RemoveFront(T* item) { return empty() ? E_FAIL : RemoveItem(m_anchor.next, item); }
  HRESULT RemoveBack(T* item) { return empty() ? E_FAIL : RemoveItem(m_anchor.prev, item); }
  HRESULT GetFront(T* item) { return empty() ? E_FAIL : GetItem(m_anchor.next, item); }
  HRESULT GetBack(T* item) { return empty() ? E_FAIL : GetItem(m_anchor.prev, item); }
  DWORD GetCount() const { return m_count; }
  bool empty() const { return m_anchor.next == &m_anchor; }

  // Walking: FrontNode() .. until the node equals Sentinel().
  Node* FrontNode() { return m_anchor.next; }
  Node* Sentinel() { return &m_anchor; }

 protected:
  Node m_anchor;
  DWORD m_count;
};

}  // namespace MediaFoundation
}  // namespace ORVO
