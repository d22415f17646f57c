#pragma once

#include <mferror.h>

#include "source/List.h"

namespace ORVO {
namespace MediaFoundation {

// A small ordered map kept as a sorted List: the source maps at most 256 stream identifiers to
// stream indexes, where a linked walk beats any tree.
template <class Key, class Value>
class TinyMap {
 public:
  using Item = Pair<Key, Value>;
  using Node = typename List<Item>::Node;

  // Keeps ascending key order; an equal key is refused with MF_E_INVALID_KEY.
  HRESULT Insert(Key key, Value value) {
    Node* node = m_list.FrontNode();
    for (; node != m_list.Sentinel(); node = node->next) {
      if (node->item.key == key) return MF_E_INVALID_KEY;
      if (node->item.key > key) break;
    }
    return m_list.InsertAfter(Item(key, value), node->prev);
  }

  // Stops at the first larger key: the list is sorted, so the key cannot come later.
  HRESULT Find(Key key, Value* value) const {
    m_lastWalk = 0;
    const Node* node = m_list.FrontNode();
    for (; node != m_list.Sentinel(); node = node->next) {
      if (node->item.key == key) {
        if (value) *value = node->item.value;
        return S_OK;
      }
      if (node->item.key > key) break;
      ++m_lastWalk;
    }
    return MF_E_INVALID_KEY;
  }

  void Clear() { m_list.Clear(); }
  DWORD GetCount() const { return m_list.GetCount(); }
  // Keys in order, for walking.
  Node* FrontNode() { return m_list.FrontNode(); }
  Node* Sentinel() { return m_list.Sentinel(); }
  // Entries passed over by the last Find; shows that a lookup stopped early.
  DWORD lastWalkLength() const { return m_lastWalk; }

 private:
  mutable List<Item> m_list;
  mutable DWORD m_lastWalk = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
