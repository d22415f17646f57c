#pragma once

#include <windows.h>
#include <mfapi.h>

#include "log/Log.h"
#include "source/AsyncCallback.h"
#include "source/ComPtrList.h"
#include "source/SourceLock.h"

namespace ORVO {
namespace MediaFoundation {

// Runs an owner's operations one at a time, in posting order, on the standard Media Foundation work
// queue. Each post schedules one work item and each work item runs at most one operation; the
// owner's lock, held around every operation, gives the serialisation (work items may run on any
// work-queue thread). An operation that may not run yet (CheckOperation fails) stays at the front
// until the owner, having finished the earlier one, calls ScheduleProcessing.
//
// The owner supplies IUnknown (the callback borrows its reference count), ExecuteOperation and
// CheckOperation, and the recursive critical section that guards the pending list.
template <class Op>
class OpQueue : public IUnknown {
 public:
  HRESULT PostOperation(Op* op) {
    SourceLock lock(m_pQueueLock);
    HRESULT hr = m_pendingOps.InsertBack(op);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("OpQueue::PostOperation: InsertBack failed 0x%X", static_cast<unsigned>(hr));
      return hr;
    }
    return ScheduleProcessing();
  }

  HRESULT ScheduleProcessing() {
    SourceLock lock(m_pQueueLock);
    if (m_pendingOps.empty()) return S_OK;
    HRESULT hr = MFPutWorkItem2(MFASYNC_CALLBACK_QUEUE_STANDARD, 0, &m_onProcessQueue, nullptr);
    if (FAILED(hr)) ORVO_LOG_DEBUG("OpQueue::ScheduleProcessing: MFPutWorkItem2 failed 0x%X", static_cast<unsigned>(hr));
    return hr;
  }

  DWORD pendingCount() {
    SourceLock lock(m_pQueueLock);
    return m_pendingOps.GetCount();
  }

 protected:
  explicit OpQueue(CRITICAL_SECTION& lock)
      : m_pQueueLock(&lock), m_onProcessQueue(this, &OpQueue::ProcessNextOperation) {}
  virtual ~OpQueue() {}

  virtual HRESULT ExecuteOperation(Op* op) = 0;
  // Fails while the owner is still busy with an earlier operation.
  virtual HRESULT CheckOperation(Op* op) = 0;

  void clearPendingOperations() {
    SourceLock lock(m_pQueueLock);
    m_pendingOps.Clear();
  }

 private:
  HRESULT ProcessNextOperation(IMFAsyncResult*) {
    SourceLock lock(m_pQueueLock);
    if (m_pendingOps.empty()) return S_OK;
    Op* op = nullptr;
    HRESULT hr = m_pendingOps.GetFront(&op);
    if (SUCCEEDED(hr)) hr = CheckOperation(op);
    if (SUCCEEDED(hr)) hr = m_pendingOps.RemoveFront(nullptr);
    if (SUCCEEDED(hr)) ExecuteOperation(op);  // the owner reports failures as events
    if (op) op->Release();
    return hr;
  }

  CRITICAL_SECTION* m_pQueueLock;
  ComPtrList<Op, false> m_pendingOps;
  AsyncCallback<OpQueue<Op>> m_onProcessQueue;
};

}  // namespace MediaFoundation
}  // namespace ORVO
