#pragma once

// GUIDs that mingw-w64's headers lack, defined once for the whole library. Add new ones here.
#include <guiddef.h>

namespace ORVO {

// {88753B26-5B24-49BD-B2E7-0C445C78C982}
constexpr GUID kCLSID_VideoProcessorMFT = {0x88753b26, 0x5b24, 0x49bd, {0xb2, 0xe7, 0x0c, 0x44, 0x5c, 0x78, 0xc9, 0x82}};
// The key under which a host stores the buffer size it needs with result code 7; Media Foundation
// calls this GUID MF_PD_TOTAL_FILE_SIZE. {6C990D34-BB8E-477A-8598-0D5D96FCD88A}
constexpr GUID kNeededSizeKey = {0x6c990d34, 0xbb8e, 0x477a, {0x85, 0x98, 0x0d, 0x5d, 0x96, 0xfc, 0xd8, 0x8a}};
// MFT_FRIENDLY_NAME_Attribute {314FFBAE-5B41-4C95-9C19-4E7D586FACE3}
constexpr GUID kMFT_FRIENDLY_NAME_Attribute = {0x314ffbae, 0x5b41, 0x4c95, {0x9c, 0x19, 0x4e, 0x7d, 0x58, 0x6f, 0xac, 0xe3}};
// The platform's audio resampler, CLSID_CResamplerMediaObject {F447B69E-1884-4A7E-8055-346F74D6EDB3}
constexpr GUID kCLSID_CResamplerMediaObject = {0xf447b69e, 0x1884, 0x4a7e, {0x80, 0x55, 0x34, 0x6f, 0x74, 0xd6, 0xed, 0xb3}};
// Sample attribute (UINT32) of the low-latency video output: which presentation type a queued
// frame was prepared for. {5D1B7C42-8E3A-4F6B-9C27-3A61E0F4B8D5}
constexpr GUID kSamplePresentationGeneration = {
    0x5d1b7c42, 0x8e3a, 0x4f6b, {0x9c, 0x27, 0x3a, 0x61, 0xe0, 0xf4, 0xb8, 0xd5}};


// DirectShow format-block types named in media-type descriptions; declared by uuids.h but not in
// any library this one links.
constexpr GUID kFORMAT_VideoInfo = {0x05589f80, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
constexpr GUID kFORMAT_VideoInfo2 = {0xf72a76a0, 0xeb0a, 0x11d0, {0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};
constexpr GUID kFORMAT_WaveFormatEx = {0x05589f81, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
constexpr GUID kFORMAT_MPEGVideo = {0x05589f82, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
constexpr GUID kFORMAT_MPEGStreams = {0x05589f83, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};

// Service identifiers of IMFGetService that evr.h/mfidl.h declare without a library definition.
constexpr GUID kMR_VIDEO_RENDER_SERVICE = {0x1092a86c, 0xab1a, 0x459a, {0xa3, 0x36, 0x83, 0x1f, 0xbc, 0x4d, 0x11, 0xff}};
constexpr GUID kMR_VIDEO_ACCELERATION_SERVICE = {
    0xefef5175, 0x5c7d, 0x4ce2, {0xbb, 0xbd, 0x34, 0xff, 0x8b, 0xca, 0x65, 0x54}};
constexpr GUID kMR_BUFFER_SERVICE = {0xa562248c, 0x9ac6, 0x4ffc, {0x9f, 0xba, 0x3a, 0xf8, 0xf8, 0xad, 0x1a, 0x4d}};

}  // namespace ORVO

// mingw-w64 declares these interfaces without binding their IIDs to the type, which
// __uuidof/IID_PPV_ARGS and ComPtr::As need.
#if defined(__MINGW32__)
#include <strmif.h>
#include <codecapi.h>
__CRT_UUID_DECL(ICodecAPI, 0x901db4c7, 0x31ce, 0x41a2, 0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda)
#endif

// The resampler's quality interface; mingw-w64's wmcodecdsp.h does not declare it at all (and that
// header clashes with strmif.h, so it is not included there).
#if !defined(__MINGW32__)
#include <wmcodecdsp.h>
#elif !defined(__IWMResamplerProps_INTERFACE_DEFINED__)
#define __IWMResamplerProps_INTERFACE_DEFINED__
MIDL_INTERFACE("E7E9984F-F09F-4da4-903F-6E2E0EFE56B5")
IWMResamplerProps : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetHalfFilterLength(LONG halfFilterLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetUserChannelMtx(float* userChannelMatrix) = 0;
};
__CRT_UUID_DECL(IWMResamplerProps, 0xe7e9984f, 0xf09f, 0x4da4, 0x90, 0x3f, 0x6e, 0x2e, 0x0e, 0xfe, 0x56, 0xb5)
#endif

// Video renderer services, declared by mingw-w64's evr.h but in none of its import libraries
// (kMR_VIDEO_RENDER_SERVICE is above).
namespace ORVO {
// MR_VIDEO_MIXER_SERVICE {073CD2FC-6CF4-40B7-8859-E89552C841F8}
constexpr GUID kMR_VIDEO_MIXER_SERVICE = {0x073cd2fc, 0x6cf4, 0x40b7, {0x88, 0x59, 0xe8, 0x95, 0x52, 0xc8, 0x41, 0xf8}};
}  // namespace ORVO
