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

}  // namespace ORVO

// mingw-w64 declares these interfaces without binding their IIDs to the type, which
// __uuidof/IID_PPV_ARGS and ComPtr::As need.
#if defined(__MINGW32__)
#include <strmif.h>
#include <codecapi.h>
__CRT_UUID_DECL(ICodecAPI, 0x901db4c7, 0x31ce, 0x41a2, 0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda)
#endif

// Video renderer services, declared by mingw-w64's evr.h but in none of its import libraries.
namespace ORVO {
// MR_VIDEO_RENDER_SERVICE {1092A86C-AB1A-459A-A336-831FBC4D11FF}
constexpr GUID kMR_VIDEO_RENDER_SERVICE = {0x1092a86c, 0xab1a, 0x459a, {0xa3, 0x36, 0x83, 0x1f, 0xbc, 0x4d, 0x11, 0xff}};
// MR_VIDEO_MIXER_SERVICE {073CD2FC-6CF4-40B7-8859-E89552C841F8}
constexpr GUID kMR_VIDEO_MIXER_SERVICE = {0x073cd2fc, 0x6cf4, 0x40b7, {0x88, 0x59, 0xe8, 0x95, 0x52, 0xc8, 0x41, 0xf8}};
}  // namespace ORVO
