#include <gtest/gtest.h>

#include <mferror.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "source/OpQueue.h"
#include "source/OrvoSourceOp.h"
#include "source/RefCountedObject.h"
#include "Waiting.h"

using namespace ORVO::MediaFoundation;

namespace {

// A minimal owner of an OpQueue: records what runs, and can hold operations back the way the source
// does while an earlier one is still in progress.
class RecordingQueue : public RefCountedObject, public OpQueue<OrvoSourceOp> {
 public:
  RecordingQueue() : OpQueue<OrvoSourceOp>(m_lock) { InitializeCriticalSection(&m_lock); }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown)) {
      *object = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
  STDMETHODIMP_(ULONG) Release() override { return release(); }

  HRESULT post(int value) {
    OrvoSourceOp* op = nullptr;
    HRESULT hr = OrvoSourceOp::CreatePullOp(value, &op);
    if (SUCCEEDED(hr)) {
      hr = PostOperation(op);
      op->Release();
    }
    return hr;
  }
  std::vector<int> executed() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_executed;
  }
  // Each scheduled work item holds a reference through the queue's callback until it has run; the
  // test holds the only other one.
  ULONG workItemsInFlight() {
    AddRef();
    return Release() - 1;
  }
  // True once `count` operations have run and no work item is left that could run another.
  bool settlesAfter(size_t count, DWORD milliseconds = 3000) {
    return orvo_test::WaitUntil([&] { return executed().size() >= count && workItemsInFlight() == 0; }, milliseconds);
  }

  std::atomic<bool> m_busy{false};
  std::atomic<int> m_overlaps{0};
  std::atomic<bool> m_holdBack{false};
  std::atomic<int> m_checks{0};
  DWORD m_workMilliseconds = 0;

 protected:
  HRESULT ExecuteOperation(OrvoSourceOp* op) override {
    if (m_busy.exchange(true)) ++m_overlaps;
    if (m_workMilliseconds) Sleep(m_workMilliseconds);
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_executed.push_back(op->data().intVal);
    }
    m_busy = false;
    return S_OK;
  }
  HRESULT CheckOperation(OrvoSourceOp*) override {
    ++m_checks;
    return m_holdBack ? MF_E_NOTACCEPTING : S_OK;
  }

 private:
  ~RecordingQueue() override { DeleteCriticalSection(&m_lock); }

  CRITICAL_SECTION m_lock;
  std::mutex m_mutex;
  std::vector<int> m_executed;
};

}  // namespace

TEST(OpQueue, RunsOperationsInPostingOrderOneAtATime) {
  RecordingQueue* queue = new RecordingQueue;
  queue->m_workMilliseconds = 5;  // long enough that parallel work items would overlap
  std::vector<int> expected;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(queue->post(i), S_OK);
    expected.push_back(i);
  }
  ASSERT_TRUE(queue->settlesAfter(expected.size()));
  EXPECT_EQ(queue->executed(), expected);
  EXPECT_EQ(queue->m_overlaps.load(), 0);
  EXPECT_EQ(queue->pendingCount(), 0u);
  queue->Release();
}

TEST(OpQueue, HeldBackOperationWaitsAtTheFrontUntilRescheduled) {
  RecordingQueue* queue = new RecordingQueue;
  queue->m_holdBack = true;
  ASSERT_EQ(queue->post(1), S_OK);
  ASSERT_EQ(queue->post(2), S_OK);
  // Both work items ran and found the owner busy.
  ASSERT_TRUE(queue->settlesAfter(0));
  EXPECT_EQ(queue->m_checks.load(), 2);
  EXPECT_TRUE(queue->executed().empty());
  EXPECT_EQ(queue->pendingCount(), 2u);

  queue->m_holdBack = false;
  ASSERT_EQ(queue->ScheduleProcessing(), S_OK);
  ASSERT_TRUE(queue->settlesAfter(1));
  // One work item runs one operation: the second waits for the next scheduling.
  EXPECT_EQ(queue->executed(), std::vector<int>{1});
  EXPECT_EQ(queue->pendingCount(), 1u);
  ASSERT_EQ(queue->ScheduleProcessing(), S_OK);
  ASSERT_TRUE(queue->settlesAfter(2));
  EXPECT_EQ(queue->executed(), (std::vector<int>{1, 2}));
  queue->Release();
}

TEST(OpQueue, WorkItemOnAnEmptyQueueDoesNothing) {
  RecordingQueue* queue = new RecordingQueue;
  queue->m_holdBack = true;
  ASSERT_EQ(queue->post(1), S_OK);
  ASSERT_TRUE(queue->settlesAfter(0));
  queue->m_holdBack = false;
  // Two schedulings for one operation: the later work item finds the list empty.
  ASSERT_EQ(queue->ScheduleProcessing(), S_OK);
  ASSERT_EQ(queue->ScheduleProcessing(), S_OK);
  ASSERT_TRUE(queue->settlesAfter(1));
  EXPECT_EQ(queue->executed(), std::vector<int>{1});
  EXPECT_EQ(queue->pendingCount(), 0u);
  queue->Release();
}
