#include "session/SessionVideoConverter.h"

#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <wmcodecdsp.h>
#include <wrl/client.h>

#include "common/Guids.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

bool IsDecodedVideoSubtype(const GUID& subtype) {
  static const GUID* const kDecoded[] = {
      &MFVideoFormat_NV12,   &MFVideoFormat_I420,  &MFVideoFormat_IYUV,   &MFVideoFormat_YV12,
      &MFVideoFormat_YUY2,   &MFVideoFormat_UYVY,  &MFVideoFormat_YVYU,   &MFVideoFormat_AYUV,
      &MFVideoFormat_RGB32,  &MFVideoFormat_ARGB32, &MFVideoFormat_RGB24, &MFVideoFormat_RGB565,
      &MFVideoFormat_RGB555, &MFVideoFormat_P010,  &MFVideoFormat_P016};
  for (const GUID* decoded : kDecoded) {
    if (subtype == *decoded) return true;
  }
  return false;
}

GUID ConverterOutputSubtype(UINT32 width, UINT32 height) {
  return (width % 2 == 0 && height % 2 == 0) ? MFVideoFormat_NV12 : MFVideoFormat_RGB32;
}

namespace {

// The decoded type with the converter's subtype and what a renderer asks of an uncompressed
// type: every sample independent, fixed-size samples, their size and stride.
HRESULT MakeOutputType(IMFMediaType* decoded, IMFMediaType** output) {
  UINT32 width = 0, height = 0;
  HRESULT hr = MFGetAttributeSize(decoded, MF_MT_FRAME_SIZE, &width, &height);
  if (SUCCEEDED(hr) && (width == 0 || height == 0)) hr = MF_E_INVALIDMEDIATYPE;
  if (FAILED(hr)) return hr;
  const GUID subtype = ConverterOutputSubtype(width, height);
  ComPtr<IMFMediaType> type;
  hr = MFCreateMediaType(&type);
  if (SUCCEEDED(hr)) hr = decoded->CopyAllItems(type.Get());
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE);
  UINT32 sampleSize = 0;
  LONG stride = 0;
  if (SUCCEEDED(hr)) hr = MFCalculateImageSize(subtype, width, height, &sampleSize);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_SAMPLE_SIZE, sampleSize);
  if (SUCCEEDED(hr)) hr = MFGetStrideForBitmapInfoHeader(subtype.Data1, width, &stride);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(stride));
  if (FAILED(hr)) return hr;
  *output = type.Detach();
  return S_OK;
}

}  // namespace

HRESULT CreateVideoConverterNode(IMFMediaType* decoded, const void* logOwner, IMFTopologyNode** node) {
  *node = nullptr;
  ComPtr<IMFTransform> converter;
  HRESULT hr = CoCreateInstance(kCLSID_VideoProcessorMFT, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&converter));
  if (FAILED(hr)) {
    hr = CoCreateInstance(CLSID_CColorConvertDMO, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&converter));
  }
  ORVO_RETURN_IF_FAILED(hr, "MediaFoundationPlayer::AddStreamBranch[%p]: CoCreateInstance(video converter)", logOwner);
  ComPtr<IMFMediaType> output;
  ORVO_RETURN_IF_FAILED(MakeOutputType(decoded, &output),
                        "MediaFoundationPlayer::AddStreamBranch[%p]: converter output type", logOwner);
  ORVO_RETURN_IF_FAILED(converter->SetInputType(0, decoded, 0),
                        "MediaFoundationPlayer::AddStreamBranch[%p]: converter SetInputType", logOwner);
  ORVO_RETURN_IF_FAILED(converter->SetOutputType(0, output.Get(), 0),
                        "MediaFoundationPlayer::AddStreamBranch[%p]: converter SetOutputType", logOwner);
  ComPtr<IMFTopologyNode> created;
  ORVO_RETURN_IF_FAILED(MFCreateTopologyNode(MF_TOPOLOGY_TRANSFORM_NODE, &created),
                        "MediaFoundationPlayer::AddStreamBranch[%p]: MFCreateTopologyNode(transform)", logOwner);
  ORVO_RETURN_IF_FAILED(created->SetObject(converter.Get()),
                        "MediaFoundationPlayer::AddStreamBranch[%p]: converter SetObject", logOwner);
  *node = created.Detach();
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
