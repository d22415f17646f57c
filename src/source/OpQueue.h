#pragma once

#include <windows.h>
#include <mfapi.h>
#include <wrl/client.h>

#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "source/AsyncCallback.h"
#include "source/ComPtrList.h"

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
    CriticalSectionGuard lock(m_pQueueLock);
    ORVO_RETURN_IF_FAILED(m_pendingOps.InsertBack(op), "OpQueue::PostOperation: InsertBack");
    return ScheduleProcessing();
  }

  HRESULT ScheduleProcessing() {
    CriticalSectionGuard lock(m_pQueueLock);
    if (m_pendingOps.empty()) return S_OK;
    const HRESULT hr = MFPutWorkItem2(MFASYNC_CALLBACK_QUEUE_STANDARD, 0, &m_onProcessQueue, nullptr);
    LogIfFailed(hr, "OpQueue::ScheduleProcessing: MFPutWorkItem2");
    return hr;
  }

  DWORD pendingCount() {
    CriticalSectionGuard lock(m_pQueueLock);
    return m_pendingOps.GetCount();
  }

 protected:
  explicit OpQueue(CRITICAL_SECTION& lock)
      : m_pQueueLock(&lock), m_onProcessQueue(this, &OpQueue::ProcessNextOperation) {}
  virtual ~OpQueue() = default;

  virtual HRESULT ExecuteOperation(Op* op) = 0;
  // Fails while the owner is still busy with an earlier operation.
  virtual HRESULT CheckOperation(Op* op) = 0;

  void clearPendingOperations() {
    CriticalSectionGuard lock(m_pQueueLock);
    m_pendingOps.Clear();
  }

 private:
  HRESULT ProcessNextOperation(IMFAsyncResult*) {
    CriticalSectionGuard lock(m_pQueueLock);
    if (m_pendingOps.empty()) return S_OK;
    Microsoft::WRL::ComPtr<Op> op;
    HRESULT hr = m_pendingOps.GetFront(op.GetAddressOf());
    if (SUCCEEDED(hr)) hr = CheckOperation(op.Get());
    if (SUCCEEDED(hr)) hr = m_pendingOps.RemoveFront(nullptr);
    if (SUCCEEDED(hr)) ExecuteOperation(op.Get());  // the owner reports failures as events
    return hr;
  }

  CRITICAL_SECTION* m_pQueueLock;
  ComPtrList<Op, false> m_pendingOps;
  AsyncCallback<OpQueue<Op>> m_onProcessQueue;
};

}  // namespace MediaFoundation
}  // namespace ORVO
