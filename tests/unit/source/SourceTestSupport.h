#pragma once

// Shared pieces of the source's unit tests: Media Foundation start-up, media types and stream
// descriptors as a host describes them, a host callback that tests can script, event waits with a
// time limit, and a log file the tests can read back.

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Waiting.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "source/OrvoSource.h"
#include "source/OrvoStream.h"

namespace source_test {

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::OrvoSource;
using ORVO::MediaFoundation::OrvoStream;
using Descriptors = std::vector<ComPtr<IMFStreamDescriptor>>;

// MFStartup once per test program; Media Foundation stays up until the process ends.
class MediaFoundationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
  }
};

inline ComPtr<IMFMediaType> VideoType(UINT32 width, UINT32 height, UINT32 rateNum = 30, UINT32 rateDen = 1,
                                      const GUID& subtype = MFVideoFormat_H264) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height);
  if (rateDen) MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, rateNum, rateDen);
  return type;
}

inline ComPtr<IMFMediaType> AudioType(UINT32 averageBytesPerSecond) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
  if (averageBytesPerSecond) type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, averageBytesPerSecond);
  return type;
}

// As the facade makes them: identifier, one media type that is also the current one.
inline ComPtr<IMFStreamDescriptor> Descriptor(DWORD identifier, IMFMediaType* type) {
  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {type};
  EXPECT_EQ(MFCreateStreamDescriptor(identifier, 1, types, &descriptor), S_OK);
  ComPtr<IMFMediaTypeHandler> handler;
  descriptor->GetMediaTypeHandler(&handler);
  handler->SetCurrentMediaType(type);
  return descriptor;
}

// One recorded callback call.
struct HostCall {
  int playerId;
  int streamId;
  int reserved;
  DWORD bufferCount;
  DWORD maxLength;
  DWORD currentLength;
  bool aligned16;
  DWORD threadId;
};

// The host behind the plain callback pointer: a test installs a behaviour; every call is recorded
// with what the library handed over.
class ScriptedHost {
 public:
  using Behaviour = std::function<int(int playerId, unsigned char streamId, IMFSample* sample)>;

  static ScriptedHost& Instance() {
    static ScriptedHost host;
    return host;
  }
  static int Callback(int playerId, unsigned char streamId, IMFSample* sample, int reserved) {
    return Instance().call(playerId, streamId, sample, reserved);
  }

  void reset(Behaviour behaviour) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_behaviour = std::move(behaviour);
    m_calls.clear();
  }
  std::vector<HostCall> calls() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls;
  }
  size_t callCount() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls.size();
  }

 private:
  int call(int playerId, unsigned char streamId, IMFSample* sample, int reserved) {
    HostCall record{playerId, streamId, reserved, 0, 0, 0, false, GetCurrentThreadId()};
    sample->GetBufferCount(&record.bufferCount);
    ComPtr<IMFMediaBuffer> buffer;
    if (SUCCEEDED(sample->GetBufferByIndex(0, &buffer))) {
      BYTE* data = nullptr;
      if (SUCCEEDED(buffer->Lock(&data, &record.maxLength, &record.currentLength))) {
        record.aligned16 = (reinterpret_cast<uintptr_t>(data) & 15) == 0;
        buffer->Unlock();
      }
    }
    Behaviour behaviour;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_calls.push_back(record);
      behaviour = m_behaviour;
    }
    return behaviour ? behaviour(playerId, streamId, sample) : 0;
  }

  std::mutex m_mutex;
  Behaviour m_behaviour;
  std::vector<HostCall> m_calls;
};

// Fills the sample with `size` bytes of `value` and the given time (none when time < 0).
inline int FillSample(IMFSample* sample, DWORD size, BYTE value, LONGLONG time) {
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return 1;
  BYTE* data = nullptr;
  DWORD maxLength = 0;
  if (FAILED(buffer->Lock(&data, &maxLength, nullptr))) return 1;
  if (size > maxLength) size = maxLength;
  memset(data, value, size);
  buffer->Unlock();
  buffer->SetCurrentLength(size);
  if (time >= 0) sample->SetSampleTime(time);
  sample->SetSampleDuration(333333);
  return 0;
}

// Waits up to `milliseconds` for the next event of a generator; null on timeout.
inline ComPtr<IMFMediaEvent> NextEvent(IMFMediaEventGenerator* generator, DWORD milliseconds = 3000) {
  for (DWORD waited = 0;; waited += 2) {
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
    if (SUCCEEDED(hr)) return event;
    if (hr != MF_E_NO_EVENTS_AVAILABLE || waited >= milliseconds) return nullptr;
    Sleep(2);
  }
}

inline MediaEventType TypeOf(IMFMediaEvent* event) {
  MediaEventType type = MEUnknown;
  if (event) event->GetType(&type);
  return type;
}

inline HRESULT StatusOf(IMFMediaEvent* event) {
  HRESULT status = E_FAIL;
  if (event) event->GetStatus(&status);
  return status;
}

// Skips events until one of the given type arrives; null on timeout.
inline ComPtr<IMFMediaEvent> WaitForEvent(IMFMediaEventGenerator* generator, MediaEventType type,
                                          DWORD milliseconds = 3000) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    ComPtr<IMFMediaEvent> event = NextEvent(generator, milliseconds);
    if (!event) return nullptr;
    if (TypeOf(event.Get()) == type) return event;
  }
  return nullptr;
}

// The stream a MENewStream/MEUpdatedStream event carries.
inline ComPtr<IMFMediaStream> StreamOf(IMFMediaEvent* event) {
  PROPVARIANT value;
  PropVariantInit(&value);
  ComPtr<IMFMediaStream> stream;
  if (event && SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal) {
    value.punkVal->QueryInterface(IID_PPV_ARGS(&stream));
  }
  PropVariantClear(&value);
  return stream;
}

inline ComPtr<IMFSample> SampleOf(IMFMediaEvent* event) {
  PROPVARIANT value;
  PropVariantInit(&value);
  ComPtr<IMFSample> sample;
  if (event && SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal) {
    value.punkVal->QueryInterface(IID_PPV_ARGS(&sample));
  }
  PropVariantClear(&value);
  return sample;
}

// Starts the source with all streams selected (the presentation descriptor as the source made it)
// and returns the streams in MENewStream order.
inline std::vector<ComPtr<IMFMediaStream>> StartAll(OrvoSource* source, HRESULT* status = nullptr) {
  std::vector<ComPtr<IMFMediaStream>> streams;
  ComPtr<IMFPresentationDescriptor> pd;
  EXPECT_EQ(source->CreatePresentationDescriptor(&pd), S_OK);
  PROPVARIANT start;
  PropVariantInit(&start);
  EXPECT_EQ(source->Start(pd.Get(), &GUID_NULL, &start), S_OK);
  for (;;) {
    ComPtr<IMFMediaEvent> event = NextEvent(source);
    MediaEventType type = TypeOf(event.Get());
    if (type == MENewStream || type == MEUpdatedStream) {
      streams.push_back(StreamOf(event.Get()));
    } else {
      EXPECT_EQ(type, MESourceStarted);
      if (status) *status = StatusOf(event.Get());
      break;
    }
  }
  return streams;
}

// The library's log, written to a file of this test program's folder so tests can read it back.
class LogCapture {
 public:
  explicit LogCapture(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
    m_path = folder + name;
    DeleteFileW(m_path.c_str());
    m_log = new ORVO::Log;
    m_log->Reconfigure(4, m_path.c_str());
    ORVO::SetGlobalLog(m_log);
  }
  ~LogCapture() {
    ORVO::SetGlobalLog(nullptr);
    delete m_log;
  }
  std::string text() {
    ORVO::LogWrite(ORVO::kLogDebug, "LogCapture: flush");  // ends a run of repeated lines
    std::ifstream file(m_path.c_str(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
  }
  bool contains(const std::string& piece) { return text().find(piece) != std::string::npos; }

 private:
  std::wstring m_path;
  ORVO::Log* m_log;
};

}  // namespace source_test
