#include "DecodeAlone.h"

#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <cstring>

#include "HostMediaTypes.h"
#include "common/Clock.h"

using Microsoft::WRL::ComPtr;

namespace latency_bench {

namespace {

bool SelectYuy2Output(IMFTransform* decoder) {
  ComPtr<IMFMediaType> output;
  for (DWORD i = 0; SUCCEEDED(decoder->GetOutputAvailableType(0, i, &output)); ++i) {
    GUID subtype = GUID_NULL;
    output->GetGUID(MF_MT_SUBTYPE, &subtype);
    if (subtype == MFVideoFormat_YUY2 && SUCCEEDED(decoder->SetOutputType(0, output.Get(), 0))) return true;
    output.Reset();
  }
  return false;
}

ComPtr<IMFTransform> CreateDecoder(UINT32 width, UINT32 height) {
  ComPtr<IMFTransform> decoder;
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER, &input,
                       nullptr, &activates, &count)))
    return decoder;
  if (count > 0) activates[0]->ActivateObject(IID_PPV_ARGS(&decoder));
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  if (!decoder) return decoder;
  // Configured as the engine configures it (VideoDecoderClassFactory), so the floor is comparable.
  ComPtr<IMFAttributes> attributes;
  if (SUCCEEDED(decoder->GetAttributes(&attributes)) && attributes) attributes->SetUINT32(MF_LOW_LATENCY, TRUE);
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  // The frame size on the input type is what makes the platform decoder produce output at all.
  orvo_hostkit::DescribeH264(type.Get(), width, height, 30, 1);
  if (FAILED(decoder->SetInputType(0, type.Get(), 0))) decoder.Reset();
  else SelectYuy2Output(decoder.Get());
  return decoder;
}

ComPtr<IMFSample> SampleOf(const orvo_hostkit::AccessUnit& unit) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(MFCreateSample(&sample)) ||
      FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(unit.data.size()), &buffer)))
    return nullptr;
  BYTE* data = nullptr;
  if (FAILED(buffer->Lock(&data, nullptr, nullptr))) return nullptr;
  if (!unit.data.empty()) memcpy(data, unit.data.data(), unit.data.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(unit.data.size()));
  sample->AddBuffer(buffer.Get());
  sample->SetSampleTime(unit.time);
  sample->SetSampleDuration(unit.duration);
  return sample;
}

// Takes every frame the decoder has ready; each one's time counts from `start` (times may be null:
// frames taken but not timed).
void DrainOutput(IMFTransform* decoder, UINT32 width, UINT32 height, int64_t start, std::vector<double>* times) {
  for (;;) {
    MFT_OUTPUT_STREAM_INFO info = {};
    decoder->GetOutputStreamInfo(0, &info);
    ComPtr<IMFSample> out;
    ComPtr<IMFMediaBuffer> outBuffer;
    if (FAILED(MFCreateSample(&out)) ||
        FAILED(MFCreateMemoryBuffer(info.cbSize ? info.cbSize : width * height * 2, &outBuffer)))
      return;
    out->AddBuffer(outBuffer.Get());
    MFT_OUTPUT_DATA_BUFFER od = {};
    od.pSample = out.Get();
    DWORD status = 0;
    const HRESULT hr = decoder->ProcessOutput(0, 1, &od, &status);
    if (od.pEvents) od.pEvents->Release();
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
      // The first output announces the coded size (16-line macroblocks); pick YUY2 again and retry.
      if (!SelectYuy2Output(decoder)) return;
      continue;
    }
    if (FAILED(hr)) return;  // MF_E_TRANSFORM_NEED_MORE_INPUT: all out
    if (times) times->push_back((ORVO::elapsedTime(10000000) - start) / 10000.0);
  }
}

}  // namespace

std::vector<double> DecodeAlone(orvo_hostkit::AnnexBReader& reader, UINT32 width, UINT32 height) {
  std::vector<double> times;
  ComPtr<IMFTransform> decoder = CreateDecoder(width, height);
  if (!decoder) return times;
  reader.Rewind();
  orvo_hostkit::AccessUnit unit;
  while (reader.Next(&unit)) {
    ComPtr<IMFSample> sample = SampleOf(unit);
    if (!sample) break;
    int64_t start = ORVO::elapsedTime(10000000);
    HRESULT hr = decoder->ProcessInput(0, sample.Get(), 0);
    if (hr == MF_E_NOTACCEPTING) {
      // A decoder that holds frames back: empty it (those frames belong to earlier units, so they go
      // untimed), then the unit goes in.
      DrainOutput(decoder.Get(), width, height, start, nullptr);
      start = ORVO::elapsedTime(10000000);
      hr = decoder->ProcessInput(0, sample.Get(), 0);
    }
    if (FAILED(hr)) continue;
    DrainOutput(decoder.Get(), width, height, start, &times);
  }
  return times;
}

}  // namespace latency_bench
