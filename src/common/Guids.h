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
