#include "render/PictureGeometry.h"

#include <mfapi.h>
#include <wrl/client.h>

#include "log/Log.h"
#include "render/VideoGeometry.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT PictureGeometry::Apply(IMFMediaType* type, bool* frameSizeChanged) {
  *frameSizeChanged = false;
  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(type->QueryInterface(IID_PPV_ARGS(&attributes)),
                        "Dx11Renderer::SetCurrentMediaType[%p]: pMediaType->QueryInterface(IMFAttributes)", m_owner);
  UINT32 video3D = 0;
  if (SUCCEEDED(attributes->GetUINT32(MF_MT_VIDEO_3D, &video3D))) {
    UINT32 format = 0;
    ORVO_RETURN_IF_FAILED(attributes->GetUINT32(MF_MT_VIDEO_3D_FORMAT, &format),
                          "Dx11Renderer::SetCurrentMediaType[%p]: GetUINT32(MF_MT_VIDEO_3D_FORMAT)", m_owner);
    m_video3D = video3D;
    m_video3DFormat = format;
  }
  m_displayArea = {};
  UINT32 parNumerator = 1, parDenominator = 1;
  if (FAILED(MFGetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, &parNumerator, &parDenominator))) {
    parNumerator = parDenominator = 1;
  }
  UINT32 width = 0, height = 0;
  HRESULT hr = MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height);
  if (SUCCEEDED(hr) && (width != m_frameWidth || height != m_frameHeight)) {
    *frameSizeChanged = true;
    m_frameWidth = width;
    m_frameHeight = height;
  }
  MFVideoArea area = {};
  if (SUCCEEDED(hr)) hr = ReadDisplayAperture(type, width, height, &area);
  ORVO_RETURN_IF_FAILED(hr, "Dx11Renderer::SetCurrentMediaType[%p]: GetVideoDisplayArea", m_owner);
  m_displayArea = AreaToRect(area);
  const DisplaySize size = ComputeDisplaySize(static_cast<UINT>(area.Area.cx), static_cast<UINT>(area.Area.cy),
                                              parNumerator, parDenominator);
  m_displayWidth = size.width;
  m_displayHeight = size.height;
  return S_OK;
}

UINT PictureGeometry::SampleInterlaceMode(IMFMediaType* type, IMFSample* sample, UINT given) {
  if (MFGetAttributeUINT32(type, MF_MT_INTERLACE_MODE, 0) != MFVideoInterlace_MixedInterlaceOrProgressive) {
    return given;
  }
  if (MFGetAttributeUINT32(sample, MFSampleExtension_Interlaced, 0) == 0) return MFVideoInterlace_Progressive;
  if (MFGetAttributeUINT32(sample, MFSampleExtension_BottomFieldFirst, 0) != 0) {
    return MFVideoInterlace_FieldInterleavedLowerFirst;
  }
  return MFVideoInterlace_FieldInterleavedUpperFirst;
}

HRESULT PictureGeometry::FrameBuffers(IMFSample* sample, IMFMediaBuffer** buffer, IMFMediaBuffer** secondView) const {
  DWORD bufferCount = 0;
  ORVO_RETURN_IF_FAILED(sample->GetBufferCount(&bufferCount), "Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferCount",
                        m_owner);
  if (bufferCount == 1) {
    ORVO_RETURN_IF_FAILED(sample->GetBufferByIndex(0, buffer),
                          "Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferByIndex#1", m_owner);
  } else if (bufferCount == 2 && stereo()) {
    ORVO_RETURN_IF_FAILED(sample->GetBufferByIndex(0, buffer),
                          "Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferByIndex#2", m_owner);
    ORVO_RETURN_IF_FAILED(sample->GetBufferByIndex(1, secondView),
                          "Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferByIndex#3", m_owner);
  } else {
    ORVO_RETURN_IF_FAILED(sample->ConvertToContiguousBuffer(buffer),
                          "Dx11Renderer::ProcessFrame[%p]: pSample->ConvertToContiguousBuffer", m_owner);
  }
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
