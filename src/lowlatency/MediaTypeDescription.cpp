#include "lowlatency/MediaTypeDescription.h"

#include "log/Log.h"

#include "common/Guids.h"

#include <mfapi.h>
#include <mfidl.h>
#include <objbase.h>
#include <propidl.h>

#include <iomanip>
#include <sstream>
#include <vector>

namespace ORVO {
namespace Media {

namespace {

struct NamedGuid {
  const GUID* guid;
  const wchar_t* name;
};

#define ORVO_GUID_ENTRY(g) {&g, L## #g}

// Lookup order matters only where the SDK gives one GUID two names (MFVideoFormat_I420 and
// MFVideoFormat_IYUV are distinct; none repeat here), so the first match wins.
const NamedGuid kGuidNames[] = {
    ORVO_GUID_ENTRY(MF_MT_MAJOR_TYPE),
    ORVO_GUID_ENTRY(MF_MT_SUBTYPE),
    ORVO_GUID_ENTRY(MF_MT_AVG_BITRATE),
    ORVO_GUID_ENTRY(MF_MT_MPEG_SEQUENCE_HEADER),
    ORVO_GUID_ENTRY(MF_MT_FRAME_RATE),
    ORVO_GUID_ENTRY(MF_MT_FRAME_SIZE),
    ORVO_GUID_ENTRY(MF_MT_SAMPLE_SIZE),
    ORVO_GUID_ENTRY(MF_MT_PIXEL_ASPECT_RATIO),
    ORVO_GUID_ENTRY(MF_MT_INTERLACE_MODE),
    ORVO_GUID_ENTRY(MF_MT_AM_FORMAT_TYPE),
    ORVO_GUID_ENTRY(MF_MT_AUDIO_AVG_BYTES_PER_SECOND),
    ORVO_GUID_ENTRY(MF_MT_USER_DATA),
    ORVO_GUID_ENTRY(MF_MT_AUDIO_NUM_CHANNELS),
    ORVO_GUID_ENTRY(MF_MT_AUDIO_SAMPLES_PER_SECOND),
    ORVO_GUID_ENTRY(MF_MT_AUDIO_BITS_PER_SAMPLE),
    ORVO_GUID_ENTRY(MF_MT_AUDIO_BLOCK_ALIGNMENT),
    ORVO_GUID_ENTRY(MF_MT_AUDIO_PREFER_WAVEFORMATEX),
    ORVO_GUID_ENTRY(MF_MT_COMPRESSED),
    ORVO_GUID_ENTRY(MF_MT_FIXED_SIZE_SAMPLES),
    ORVO_GUID_ENTRY(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION),
    ORVO_GUID_ENTRY(MF_MT_AAC_PAYLOAD_TYPE),
    ORVO_GUID_ENTRY(MF_MT_ALL_SAMPLES_INDEPENDENT),
    ORVO_GUID_ENTRY(MF_MT_FRAME_RATE_RANGE_MIN),
    ORVO_GUID_ENTRY(MF_MT_FRAME_RATE_RANGE_MAX),
    // The SDK defines these two names as aliases of the MPEG-2 keys.
    {&MF_MT_MPEG2_PROFILE, L"MF_MT_VIDEO_PROFILE"},
    {&MF_MT_MPEG2_LEVEL, L"MF_MT_VIDEO_LEVEL"},
    ORVO_GUID_ENTRY(MF_MT_DEFAULT_STRIDE),
    ORVO_GUID_ENTRY(MF_MT_PAN_SCAN_ENABLED),
    ORVO_GUID_ENTRY(MF_MT_PAN_SCAN_APERTURE),
    ORVO_GUID_ENTRY(MF_MT_MINIMUM_DISPLAY_APERTURE),
    ORVO_GUID_ENTRY(MFSampleExtension_CleanPoint),
    ORVO_GUID_ENTRY(MFSampleExtension_Discontinuity),
    ORVO_GUID_ENTRY(MFSampleExtension_Token),
    ORVO_GUID_ENTRY(MFSampleExtension_Interlaced),
    ORVO_GUID_ENTRY(MFSampleExtension_BottomFieldFirst),
    ORVO_GUID_ENTRY(MFSampleExtension_RepeatFirstField),
    ORVO_GUID_ENTRY(MFSampleExtension_SingleField),
    ORVO_GUID_ENTRY(MFSampleExtension_DerivedFromTopField),
    ORVO_GUID_ENTRY(MFMediaType_Default),
    ORVO_GUID_ENTRY(MFMediaType_Audio),
    ORVO_GUID_ENTRY(MFMediaType_Video),
    ORVO_GUID_ENTRY(MFMediaType_Protected),
    ORVO_GUID_ENTRY(MFMediaType_SAMI),
    ORVO_GUID_ENTRY(MFMediaType_Script),
    ORVO_GUID_ENTRY(MFMediaType_Image),
    ORVO_GUID_ENTRY(MFMediaType_HTML),
    ORVO_GUID_ENTRY(MFMediaType_Binary),
    ORVO_GUID_ENTRY(MFMediaType_FileTransfer),
    ORVO_GUID_ENTRY(MFMediaType_Stream),
    ORVO_GUID_ENTRY(MFVideoFormat_RGB32),
    ORVO_GUID_ENTRY(MFVideoFormat_ARGB32),
    ORVO_GUID_ENTRY(MFVideoFormat_RGB24),
    ORVO_GUID_ENTRY(MFVideoFormat_RGB555),
    ORVO_GUID_ENTRY(MFVideoFormat_RGB565),
    ORVO_GUID_ENTRY(MFVideoFormat_RGB8),
    ORVO_GUID_ENTRY(MFVideoFormat_YUY2),
    ORVO_GUID_ENTRY(MFVideoFormat_NV12),
    ORVO_GUID_ENTRY(MFVideoFormat_YV12),
    ORVO_GUID_ENTRY(MFVideoFormat_I420),
    ORVO_GUID_ENTRY(MFVideoFormat_IYUV),
    ORVO_GUID_ENTRY(MFVideoFormat_MP43),
    ORVO_GUID_ENTRY(MFVideoFormat_MP4S),
    ORVO_GUID_ENTRY(MFVideoFormat_M4S2),
    ORVO_GUID_ENTRY(MFVideoFormat_MP4V),
    ORVO_GUID_ENTRY(MFVideoFormat_WMV1),
    ORVO_GUID_ENTRY(MFVideoFormat_WMV2),
    ORVO_GUID_ENTRY(MFVideoFormat_WMV3),
    ORVO_GUID_ENTRY(MFVideoFormat_WVC1),
    ORVO_GUID_ENTRY(MFVideoFormat_MSS1),
    ORVO_GUID_ENTRY(MFVideoFormat_MSS2),
    ORVO_GUID_ENTRY(MFVideoFormat_MPG1),
    ORVO_GUID_ENTRY(MFVideoFormat_DVSL),
    ORVO_GUID_ENTRY(MFVideoFormat_DVSD),
    ORVO_GUID_ENTRY(MFVideoFormat_DVHD),
    ORVO_GUID_ENTRY(MFVideoFormat_DV25),
    ORVO_GUID_ENTRY(MFVideoFormat_DV50),
    ORVO_GUID_ENTRY(MFVideoFormat_DVH1),
    ORVO_GUID_ENTRY(MFVideoFormat_DVC),
    ORVO_GUID_ENTRY(MFVideoFormat_H264),
    ORVO_GUID_ENTRY(MFVideoFormat_MJPG),
    ORVO_GUID_ENTRY(MFVideoFormat_MPEG2),
    ORVO_GUID_ENTRY(MFVideoFormat_420O),
    ORVO_GUID_ENTRY(MFVideoFormat_HEVC),
    ORVO_GUID_ENTRY(MFVideoFormat_HEVC_ES),
    ORVO_GUID_ENTRY(MFVideoFormat_H263),
    ORVO_GUID_ENTRY(MFAudioFormat_PCM),
    ORVO_GUID_ENTRY(MFAudioFormat_Float),
    ORVO_GUID_ENTRY(MFAudioFormat_DTS),
    ORVO_GUID_ENTRY(MFAudioFormat_Dolby_AC3_SPDIF),
    ORVO_GUID_ENTRY(MFAudioFormat_DRM),
    ORVO_GUID_ENTRY(MFAudioFormat_WMAudioV8),
    ORVO_GUID_ENTRY(MFAudioFormat_WMAudioV9),
    ORVO_GUID_ENTRY(MFAudioFormat_WMAudio_Lossless),
    ORVO_GUID_ENTRY(MFAudioFormat_WMASPDIF),
    ORVO_GUID_ENTRY(MFAudioFormat_MSP1),
    ORVO_GUID_ENTRY(MFAudioFormat_MP3),
    ORVO_GUID_ENTRY(MFAudioFormat_MPEG),
    ORVO_GUID_ENTRY(MFAudioFormat_AAC),
    ORVO_GUID_ENTRY(MFAudioFormat_ADTS),
    ORVO_GUID_ENTRY(MFAudioFormat_AMR_NB),
    ORVO_GUID_ENTRY(MFAudioFormat_AMR_WB),
    ORVO_GUID_ENTRY(MFAudioFormat_AMR_WP),
    ORVO_GUID_ENTRY(MFAudioFormat_Dolby_AC3),
    ORVO_GUID_ENTRY(MFAudioFormat_Dolby_DDPlus),
    {&kFORMAT_VideoInfo, L"FORMAT_VideoInfo"},
    {&kFORMAT_VideoInfo2, L"FORMAT_VideoInfo2"},
    {&kFORMAT_WaveFormatEx, L"FORMAT_WaveFormatEx"},
    {&kFORMAT_MPEGVideo, L"FORMAT_MPEGVideo"},
    {&kFORMAT_MPEGStreams, L"FORMAT_MPEGStreams"},
};

#undef ORVO_GUID_ENTRY

static_assert(sizeof(kGuidNames) / sizeof(kGuidNames[0]) == 109, "the name table has 109 entries");

bool IsFractionKey(const GUID& key) {
  return key == MF_MT_FRAME_SIZE || key == MF_MT_FRAME_RATE || key == MF_MT_FRAME_RATE_RANGE_MAX ||
         key == MF_MT_FRAME_RATE_RANGE_MIN || key == MF_MT_PIXEL_ASPECT_RATIO;
}

void AppendBlob(std::wostringstream& out, IMFAttributes* pAttributes, const GUID& key) {
  UINT32 size = 0;
  if (FAILED(pAttributes->GetBlobSize(key, &size))) return;
  std::vector<UINT8> bytes(size);
  if (size > 0 && FAILED(pAttributes->GetBlob(key, bytes.data(), size, &size))) return;
  out << std::hex << std::setfill(L'0');
  for (UINT32 j = 0; j < size; ++j) {
    if (j % 16 == 0) out << L"\n    ";
    out << std::setw(2) << static_cast<unsigned>(bytes[j]) << L' ';
  }
  out << std::dec << std::setfill(L' ');
}

void AppendValue(std::wostringstream& out, IMFAttributes* pAttributes, const GUID& key, const PROPVARIANT& v) {
  switch (v.vt) {
    case VT_I2:
      out << v.iVal;
      break;
    case VT_BOOL:
      out << static_cast<short>(v.boolVal);
      break;
    case VT_I4:
      out << v.lVal;
      break;
    case VT_INT:
      out << v.intVal;
      break;
    case VT_R4:
      out << v.fltVal;
      break;
    case VT_R8:
      out << v.dblVal;
      break;
    case VT_BSTR:
      if (v.bstrVal != nullptr) out << v.bstrVal;
      break;
    case VT_LPWSTR:
      if (v.pwszVal != nullptr) out << v.pwszVal;
      break;
    case VT_I1:
      out << v.cVal;
      break;
    case VT_UI1:
      out << static_cast<unsigned>(v.bVal);
      break;
    case VT_UI2:
      out << v.uiVal;
      break;
    case VT_UI4:
      out << v.ulVal;
      break;
    case VT_UINT:
      out << v.uintVal;
      break;
    case VT_HRESULT:
      out << static_cast<unsigned long>(v.scode);
      break;
    case VT_I8:
      out << v.hVal.QuadPart;
      break;
    case VT_INT_PTR:
      out << static_cast<long long>(v.hVal.QuadPart);
      break;
    case VT_UI8:
      if (IsFractionKey(key)) {
        out << static_cast<unsigned long>(v.uhVal.QuadPart >> 32) << L':'
            << static_cast<unsigned long>(v.uhVal.QuadPart & 0xFFFFFFFFu);
      } else {
        out << v.uhVal.QuadPart;
      }
      break;
    case VT_UINT_PTR:
      out << v.uhVal.QuadPart;
      break;
    case VT_PTR:
      out << static_cast<const void*>(v.pcVal);
      break;
    case VT_LPSTR:
      if (v.pszVal != nullptr) {
        for (const char* p = v.pszVal; *p != '\0'; ++p) out << *p;
      }
      break;
    case VT_CLSID:
      if (v.puuid != nullptr) out << GuidName(*v.puuid);
      break;
    case VT_VECTOR | VT_UI1:
      AppendBlob(out, pAttributes, key);
      break;
    default:
      out << L"Not Implemented";
      break;
  }
}

}  // namespace

std::wstring GuidName(const GUID& guid) {
  for (const NamedGuid& entry : kGuidNames) {
    if (*entry.guid == guid) return entry.name;
  }
  wchar_t text[40] = {};
  if (StringFromGUID2(guid, text, 40) == 0) return std::wstring();
  return text;
}

std::wstring DescribeMediaType(IMFAttributes* pAttributes) {
  if (pAttributes == nullptr) return std::wstring();
  UINT32 count = 0;
  if (FAILED(pAttributes->GetCount(&count))) return std::wstring();

  std::wostringstream out;
  out.imbue(std::locale::classic());
  for (UINT32 i = 0; i < count; ++i) {
    GUID key = GUID_NULL;
    PROPVARIANT value;
    PropVariantInit(&value);
    HRESULT hr = pAttributes->GetItemByIndex(i, &key, &value);
    if (FAILED(hr)) {
      out << L"Item " << i << L": failed " << std::hex << static_cast<unsigned long>(hr) << std::dec << L'\n';
      continue;
    }
    out << L"Item " << i << L": " << GuidName(key) << L", type " << static_cast<unsigned>(value.vt) << L", value: ";
    AppendValue(out, pAttributes, key, value);
    out << L'\n';
    PropVariantClear(&value);
  }
  return out.str();
}

void LogMediaType(const char* format, IMFAttributes* type) {
  if (!GlobalLog() || GlobalLog()->level() < kLogDebug) return;
  const std::wstring text = DescribeMediaType(type);
  ORVO_LOG_DEBUG(format, text.c_str());
}

}  // namespace Media
}  // namespace ORVO
