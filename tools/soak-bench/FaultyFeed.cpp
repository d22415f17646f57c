#include "FaultyFeed.h"

#include <mfapi.h>
#include <wrl/client.h>

#include <map>

namespace soak_bench {

namespace {

constexpr int kEndStreams = 1;  // any answer but 0 and 7 ends the streams

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}

std::map<int, std::shared_ptr<FaultyFeed>>& Registry() {
  static std::map<int, std::shared_ptr<FaultyFeed>> feeds;
  return feeds;
}

}  // namespace

FaultyFeed::FaultyFeed(const orvo_hostkit::HostFeeder::Options& options, uint32_t seed)
    : m_feeder(options), m_abort(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_random(seed) {}

FaultyFeed::~FaultyFeed() {
  if (m_abort) CloseHandle(m_abort);
}

void FaultyFeed::Stall(DWORD milliseconds) { m_stallEnd = GetTickCount64() + milliseconds; }

void FaultyFeed::Abort() {
  m_aborted = true;
  m_feeder.Abort();
  if (m_abort) SetEvent(m_abort);
}

bool FaultyFeed::waitOutStall() {
  bool counted = false;
  for (;;) {
    if (m_aborted) return false;
    const ULONGLONG end = m_stallEnd.load();
    const ULONGLONG now = GetTickCount64();
    if (end == 0 || now >= end) return true;
    if (!counted) {
      ++m_stalledCalls;
      counted = true;
    }
    // The abort event ends the wait early; otherwise it lasts until the stall is over (a new,
    // later stall end is picked up on the next turn).
    WaitForSingleObject(m_abort, static_cast<DWORD>(end - now));
  }
}

void FaultyFeed::garble(IMFSample* sample) {
  Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return;
  BYTE* data = nullptr;
  DWORD length = 0;
  if (FAILED(buffer->Lock(&data, nullptr, &length))) return;
  const uint64_t index = m_garbled++;
  {
    std::lock_guard<std::mutex> guard(m_randomLock);
    for (DWORD i = 0; i < length; ++i) data[i] = static_cast<BYTE>(m_random() & 0xFF);
  }
  if (index % 2 == 0 && length >= 5) {
    data[0] = 0;
    data[1] = 0;
    data[2] = 0;
    data[3] = 1;
  }
  buffer->Unlock();
  // Random bytes are no clean point, whatever the unit they replace was.
  sample->DeleteItem(MFSampleExtension_CleanPoint);
}

int FaultyFeed::Fill(unsigned char streamId, IMFSample* sample) {
  if (!waitOutStall()) return kEndStreams;
  const int result = m_feeder.Fill(streamId, sample);
  if (result != ORVO_REQUEST_OK || streamId != 0) return result;
  unsigned left = m_garbageLeft.load();
  while (left > 0 && !m_garbageLeft.compare_exchange_weak(left, left - 1)) {
  }
  if (left > 0) garble(sample);
  return result;
}

void FaultyFeed::Register(int playerId, std::shared_ptr<FaultyFeed> feed) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry()[playerId] = std::move(feed);
}

void FaultyFeed::Unregister(int playerId) {
  std::shared_ptr<FaultyFeed> last;  // released outside the lock
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(playerId);
  if (it == Registry().end()) return;
  last = std::move(it->second);
  Registry().erase(it);
}

int FaultyFeed::Callback(int playerId, unsigned char streamId, IMFSample* sample, int /*reserved*/) {
  std::shared_ptr<FaultyFeed> feed;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = Registry().find(playerId);
    if (it != Registry().end()) feed = it->second;
  }
  return feed ? feed->Fill(streamId, sample) : kEndStreams;
}

}  // namespace soak_bench
