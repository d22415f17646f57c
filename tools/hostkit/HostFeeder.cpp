#include "HostFeeder.h"

#include <mfapi.h>

#include <cstring>
#include <map>

namespace orvo_hostkit {

namespace {

// {6C990D34-BB8E-477A-8598-0D5D96FCD88A}: where the needed size goes with result 7.
const GUID kNeededSizeKey = ORVO_NEEDED_SIZE_KEY_INIT;

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}

std::map<int, HostFeeder*>& Registry() {
  static std::map<int, HostFeeder*> feeders;
  return feeders;
}

}  // namespace

HostFeeder::HostFeeder(const Options& options) : m_options(options) {
  if (m_options.endResult == 0 || m_options.endResult == ORVO_REQUEST_BUFFER_TOO_SMALL) m_options.endResult = 1;
  QueryPerformanceFrequency(&m_frequency);
}

HostFeeder::~HostFeeder() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  for (auto it = Registry().begin(); it != Registry().end();) {
    it = it->second == this ? Registry().erase(it) : std::next(it);
  }
}

void HostFeeder::AddStream(unsigned char streamId, std::unique_ptr<AccessUnitReader> reader) {
  m_streams[streamId].reset(new Stream);
  m_streams[streamId]->reader = std::move(reader);
}

uint64_t HostFeeder::delivered(unsigned char streamId) {
  Stream* stream = m_streams[streamId].get();
  if (!stream) return 0;
  std::lock_guard<std::mutex> guard(stream->lock);
  return stream->delivered;
}

int64_t HostFeeder::now100ns() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<int64_t>((counter.QuadPart - m_start.QuadPart) * 10000000LL / m_frequency.QuadPart);
}

int64_t HostFeeder::WallTime(int64_t sampleTime, double clockPpm) {
  if (clockPpm == 0) return sampleTime;
  return static_cast<int64_t>(static_cast<double>(sampleTime) / (1 + clockPpm / 1e6));
}

bool HostFeeder::waitUntil(int64_t time) {
  for (;;) {
    if (m_aborted) return false;
    int64_t remaining = time - now100ns();
    if (remaining <= 0) return true;
    // Short sleeps keep Abort responsive.
    DWORD milliseconds = static_cast<DWORD>(remaining / 10000);
    Sleep(milliseconds > 10 ? 10 : (milliseconds == 0 ? 1 : milliseconds));
  }
}

int HostFeeder::Fill(unsigned char streamId, IMFSample* sample) {
  std::call_once(m_startOnce, [this]() { QueryPerformanceCounter(&m_start); });
  Stream* stream = m_streams[streamId].get();
  if (!stream || !sample || m_aborted) return m_options.endResult;

  AccessUnit unit;
  {
    std::lock_guard<std::mutex> guard(stream->lock);
    if (!stream->hasPending) {
      if (!stream->reader->Next(&stream->pending)) {
        if (!m_options.loop || stream->reader->Count() == 0) return m_options.endResult;
        stream->loopOffset += stream->reader->Duration();
        stream->reader->Rewind();
        if (!stream->reader->Next(&stream->pending)) return m_options.endResult;
      }
      stream->pending.time += stream->loopOffset;
      stream->hasPending = true;
    }
    unit = stream->pending;
  }

  Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return m_options.endResult;
  DWORD capacity = 0;
  if (FAILED(buffer->GetMaxLength(&capacity))) return m_options.endResult;
  if (unit.data.size() > capacity) {
    // Keep the unit for the next call, which comes with a buffer of at least this size.
    sample->SetUINT32(kNeededSizeKey, static_cast<UINT32>(unit.data.size()));
    ++m_tooSmall;
    return ORVO_REQUEST_BUFFER_TOO_SMALL;
  }
  if (m_options.realTime && !waitUntil(WallTime(unit.time, m_options.clockPpm))) return m_options.endResult;

  BYTE* data = nullptr;
  if (FAILED(buffer->Lock(&data, nullptr, nullptr))) return m_options.endResult;
  if (!unit.data.empty()) memcpy(data, unit.data.data(), unit.data.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(unit.data.size()));
  sample->SetSampleTime(unit.time);
  sample->SetSampleDuration(unit.duration);
  if (unit.keyFrame) sample->SetUINT32(MFSampleExtension_CleanPoint, TRUE);

  std::lock_guard<std::mutex> guard(stream->lock);
  stream->hasPending = false;
  ++stream->delivered;
  return ORVO_REQUEST_OK;
}

void HostFeeder::Register(int playerId, HostFeeder* feeder) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry()[playerId] = feeder;
}

void HostFeeder::Unregister(int playerId) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry().erase(playerId);
}

int HostFeeder::Callback(int playerId, unsigned char streamId, IMFSample* sample, int /*reserved*/) {
  HostFeeder* feeder = nullptr;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = Registry().find(playerId);
    if (it != Registry().end()) feeder = it->second;
  }
  // An unknown player: end its streams rather than invent data.
  return feeder ? feeder->Fill(streamId, sample) : 1;
}

}  // namespace orvo_hostkit
