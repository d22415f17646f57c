#include "lowlatency/MediaTypeDescription.h"

#include <initguid.h>
#include <mfapi.h>
#include <mfidl.h>
#include <uuids.h>

#include <iomanip>
#include <locale>
#include <sstream>
#include <vector>

namespace ORVO {
namespace Media {

namespace {

// The SDK spells these two as aliases of the MPEG-2 keys, which mingw-w64 lacks under these names.
constexpr GUID kMF_MT_VIDEO_PROFILE = {0xad76a80b, 0x2d5c, 0x4e0b, {0xb3, 0x75, 0x64, 0xe5, 0x20, 0x13, 0x70, 0x36}};
constexpr GUID kMF_MT_VIDEO_LEVEL = {0x96f66574, 0x11c5, 0x4015, {0x86, 0x66, 0xbf, 0xf5, 0x16, 0x43, 0x6d, 0xa7}};

struct NamedGuid {
  GUID guid;
  const wchar_t* name;
};

const std::vector<NamedGuid>& NameTable() {
  static const std::vector<NamedGuid> table = {
    {MF_MT_MAJOR_TYPE, L"MF_MT_MAJOR_TYPE"},
    {MF_MT_SUBTYPE, L"MF_MT_SUBTYPE"},
    {MF_MT_AVG_BITRATE, L"MF_MT_AVG_BITRATE"},
    {MF_MT_MPEG_SEQUENCE_HEADER, L"MF_MT_MPEG_SEQUENCE_HEADER"},
    {MF_MT_FRAME_RATE, L"MF_MT_FRAME_RATE"},
    {MF_MT_FRAME_SIZE, L"MF_MT_FRAME_SIZE"},
    {MF_MT_SAMPLE_SIZE, L"MF_MT_SAMPLE_SIZE"},
    {MF_MT_PIXEL_ASPECT_RATIO, L"MF_MT_PIXEL_ASPECT_RATIO"},
    {MF_MT_INTERLACE_MODE, L"MF_MT_INTERLACE_MODE"},
    {MF_MT_AM_FORMAT_TYPE, L"MF_MT_AM_FORMAT_TYPE"},
    {MF_MT_AUDIO_AVG_BYTES_PER_SECOND, L"MF_MT_AUDIO_AVG_BYTES_PER_SECOND"},
    {MF_MT_USER_DATA, L"MF_MT_USER_DATA"},
    {MF_MT_AUDIO_NUM_CHANNELS, L"MF_MT_AUDIO_NUM_CHANNELS"},
    {MF_MT_AUDIO_SAMPLES_PER_SECOND, L"MF_MT_AUDIO_SAMPLES_PER_SECOND"},
    {MF_MT_AUDIO_BITS_PER_SAMPLE, L"MF_MT_AUDIO_BITS_PER_SAMPLE"},
    {MF_MT_AUDIO_BLOCK_ALIGNMENT, L"MF_MT_AUDIO_BLOCK_ALIGNMENT"},
    {MF_MT_AUDIO_PREFER_WAVEFORMATEX, L"MF_MT_AUDIO_PREFER_WAVEFORMATEX"},
    {MF_MT_COMPRESSED, L"MF_MT_COMPRESSED"},
    {MF_MT_FIXED_SIZE_SAMPLES, L"MF_MT_FIXED_SIZE_SAMPLES"},
    {MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, L"MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION"},
    {MF_MT_AAC_PAYLOAD_TYPE, L"MF_MT_AAC_PAYLOAD_TYPE"},
    {MF_MT_ALL_SAMPLES_INDEPENDENT, L"MF_MT_ALL_SAMPLES_INDEPENDENT"},
    {MF_MT_FRAME_RATE_RANGE_MIN, L"MF_MT_FRAME_RATE_RANGE_MIN"},
    {MF_MT_FRAME_RATE_RANGE_MAX, L"MF_MT_FRAME_RATE_RANGE_MAX"},
    {kMF_MT_VIDEO_PROFILE, L"MF_MT_VIDEO_PROFILE"},
    {kMF_MT_VIDEO_LEVEL, L"MF_MT_VIDEO_LEVEL"},
    {MF_MT_DEFAULT_STRIDE, L"MF_MT_DEFAULT_STRIDE"},
    {MF_MT_PAN_SCAN_ENABLED, L"MF_MT_PAN_SCAN_ENABLED"},
    {MF_MT_PAN_SCAN_APERTURE, L"MF_MT_PAN_SCAN_APERTURE"},
    {MF_MT_MINIMUM_DISPLAY_APERTURE, L"MF_MT_MINIMUM_DISPLAY_APERTURE"},
    {MFSampleExtension_CleanPoint, L"MFSampleExtension_CleanPoint"},
    {MFSampleExtension_Discontinuity, L"MFSampleExtension_Discontinuity"},
    {MFSampleExtension_Token, L"MFSampleExtension_Token"},
    {MFSampleExtension_Interlaced, L"MFSampleExtension_Interlaced"},
    {MFSampleExtension_BottomFieldFirst, L"MFSampleExtension_BottomFieldFirst"},
    {MFSampleExtension_RepeatFirstField, L"MFSampleExtension_RepeatFirstField"},
    {MFSampleExtension_SingleField, L"MFSampleExtension_SingleField"},
    {MFSampleExtension_DerivedFromTopField, L"MFSampleExtension_DerivedFromTopField"},
    {MFMediaType_Default, L"MFMediaType_Default"},
    {MFMediaType_Audio, L"MFMediaType_Audio"},
    {MFMediaType_Video, L"MFMediaType_Video"},
    {MFMediaType_Protected, L"MFMediaType_Protected"},
    {MFMediaType_SAMI, L"MFMediaType_SAMI"},
    {MFMediaType_Script, L"MFMediaType_Script"},
    {MFMediaType_Image, L"MFMediaType_Image"},
    {MFMediaType_HTML, L"MFMediaType_HTML"},
    {MFMediaType_Binary, L"MFMediaType_Binary"},
    {MFMediaType_FileTransfer, L"MFMediaType_FileTransfer"},
    {MFMediaType_Stream, L"MFMediaType_Stream"},
    {MFVideoFormat_RGB32, L"MFVideoFormat_RGB32"},
    {MFVideoFormat_ARGB32, L"MFVideoFormat_ARGB32"},
    {MFVideoFormat_RGB24, L"MFVideoFormat_RGB24"},
    {MFVideoFormat_RGB555, L"MFVideoFormat_RGB555"},
    {MFVideoFormat_RGB565, L"MFVideoFormat_RGB565"},
    {MFVideoFormat_RGB8, L"MFVideoFormat_RGB8"},
    {MFVideoFormat_YUY2, L"MFVideoFormat_YUY2"},
    {MFVideoFormat_NV12, L"MFVideoFormat_NV12"},
    {MFVideoFormat_YV12, L"MFVideoFormat_YV12"},
    {MFVideoFormat_I420, L"MFVideoFormat_I420"},
    {MFVideoFormat_IYUV, L"MFVideoFormat_IYUV"},
    {MFVideoFormat_MP43, L"MFVideoFormat_MP43"},
    {MFVideoFormat_MP4S, L"MFVideoFormat_MP4S"},
    {MFVideoFormat_M4S2, L"MFVideoFormat_M4S2"},
    {MFVideoFormat_MP4V, L"MFVideoFormat_MP4V"},
    {MFVideoFormat_WMV1, L"MFVideoFormat_WMV1"},
    {MFVideoFormat_WMV2, L"MFVideoFormat_WMV2"},
    {MFVideoFormat_WMV3, L"MFVideoFormat_WMV3"},
    {MFVideoFormat_WVC1, L"MFVideoFormat_WVC1"},
    {MFVideoFormat_MSS1, L"MFVideoFormat_MSS1"},
    {MFVideoFormat_MSS2, L"MFVideoFormat_MSS2"},
    {MFVideoFormat_MPG1, L"MFVideoFormat_MPG1"},
    {MFVideoFormat_DVSL, L"MFVideoFormat_DVSL"},
    {MFVideoFormat_DVSD, L"MFVideoFormat_DVSD"},
    {MFVideoFormat_DVHD, L"MFVideoFormat_DVHD"},
    {MFVideoFormat_DV25, L"MFVideoFormat_DV25"},
    {MFVideoFormat_DV50, L"MFVideoFormat_DV50"},
    {MFVideoFormat_DVH1, L"MFVideoFormat_DVH1"},
    {MFVideoFormat_DVC, L"MFVideoFormat_DVC"},
    {MFVideoFormat_H264, L"MFVideoFormat_H264"},
    {MFVideoFormat_MJPG, L"MFVideoFormat_MJPG"},
    {MFVideoFormat_MPEG2, L"MFVideoFormat_MPEG2"},
    {MFVideoFormat_420O, L"MFVideoFormat_420O"},
    {MFVideoFormat_HEVC, L"MFVideoFormat_HEVC"},
    {MFVideoFormat_HEVC_ES, L"MFVideoFormat_HEVC_ES"},
    {MFVideoFormat_H263, L"MFVideoFormat_H263"},
    {MFAudioFormat_PCM, L"MFAudioFormat_PCM"},
    {MFAudioFormat_Float, L"MFAudioFormat_Float"},
    {MFAudioFormat_DTS, L"MFAudioFormat_DTS"},
    {MFAudioFormat_Dolby_AC3_SPDIF, L"MFAudioFormat_Dolby_AC3_SPDIF"},
    {MFAudioFormat_DRM, L"MFAudioFormat_DRM"},
    {MFAudioFormat_WMAudioV8, L"MFAudioFormat_WMAudioV8"},
    {MFAudioFormat_WMAudioV9, L"MFAudioFormat_WMAudioV9"},
    {MFAudioFormat_WMAudio_Lossless, L"MFAudioFormat_WMAudio_Lossless"},
    {MFAudioFormat_WMASPDIF, L"MFAudioFormat_WMASPDIF"},
    {MFAudioFormat_MSP1, L"MFAudioFormat_MSP1"},
    {MFAudioFormat_MP3, L"MFAudioFormat_MP3"},
    {MFAudioFormat_MPEG, L"MFAudioFormat_MPEG"},
    {MFAudioFormat_AAC, L"MFAudioFormat_AAC"},
    {MFAudioFormat_ADTS, L"MFAudioFormat_ADTS"},
    {MFAudioFormat_AMR_NB, L"MFAudioFormat_AMR_NB"},
    {MFAudioFormat_AMR_WB, L"MFAudioFormat_AMR_WB"},
    {MFAudioFormat_AMR_WP, L"MFAudioFormat_AMR_WP"},
    {MFAudioFormat_Dolby_AC3, L"MFAudioFormat_Dolby_AC3"},
    {MFAudioFormat_Dolby_DDPlus, L"MFAudioFormat_Dolby_DDPlus"},
    {FORMAT_VideoInfo, L"FORMAT_VideoInfo"},
    {FORMAT_VideoInfo2, L"FORMAT_VideoInfo2"},
    {FORMAT_WaveFormatEx, L"FORMAT_WaveFormatEx"},
    {FORMAT_MPEGVideo, L"FORMAT_MPEGVideo"},
    {FORMAT_MPEGStreams, L"FORMAT_MPEGStreams"},
  };
  return table;
}

bool IsRatioKey(const GUID& key) {
  return key == MF_MT_FRAME_SIZE || key == MF_MT_FRAME_RATE || key == MF_MT_FRAME_RATE_RANGE_MAX ||
         key == MF_MT_FRAME_RATE_RANGE_MIN || key == MF_MT_PIXEL_ASPECT_RATIO;
}

void AppendValue(std::wostringstream& out, IMFAttributes* attributes, const GUID& key, const PROPVARIANT& value) {
  switch (value.vt) {
    case VT_I2:
    case VT_BOOL:
      out << static_cast<int16_t>(value.iVal);
      break;
    case VT_I4:
    case VT_INT:
      out << static_cast<int32_t>(value.lVal);
      break;
    case VT_R4:
      out << value.fltVal;
      break;
    case VT_R8:
      out << value.dblVal;
      break;
    case VT_BSTR:
      out << (value.bstrVal ? value.bstrVal : L"");
      break;
    case VT_LPWSTR:
      out << (value.pwszVal ? value.pwszVal : L"");
      break;
    case VT_I1:
      out << static_cast<wchar_t>(value.cVal);
      break;
    case VT_UI1:
      out << static_cast<unsigned>(value.bVal);
      break;
    case VT_UI2:
      out << static_cast<uint16_t>(value.uiVal);
      break;
    case VT_UI4:
    case VT_UINT:
    case VT_HRESULT:
      out << static_cast<uint32_t>(value.ulVal);
      break;
    case VT_I8:
    case VT_INT_PTR:
      out << static_cast<long long>(value.hVal.QuadPart);
      break;
    case VT_UI8:
      if (IsRatioKey(key)) {
        out << static_cast<uint32_t>(value.uhVal.QuadPart >> 32) << L":"
            << static_cast<uint32_t>(value.uhVal.QuadPart & 0xFFFFFFFFu);
      } else {
        out << static_cast<unsigned long long>(value.uhVal.QuadPart);
      }
      break;
    case VT_UINT_PTR:
      out << static_cast<unsigned long long>(value.uhVal.QuadPart);
      break;
    case VT_PTR:
      out << reinterpret_cast<const void*>(value.pcVal);
      break;
    case VT_LPSTR: {
      const char* text = value.pszVal ? value.pszVal : "";
      while (*text) out << static_cast<wchar_t>(static_cast<unsigned char>(*text++));
      break;
    }
    case VT_CLSID:
      out << (value.puuid ? GuidName(*value.puuid) : std::wstring());
      break;
    case VT_VECTOR | VT_UI1: {
      UINT32 size = 0;
      if (FAILED(attributes->GetBlobSize(key, &size))) break;
      std::vector<UINT8> blob(size);
      if (size && FAILED(attributes->GetBlob(key, blob.data(), size, nullptr))) break;
      for (UINT32 j = 0; j < size; ++j) {
        if (j % 16 == 0) out << L"\n    ";
        out << std::hex << std::setw(2) << std::setfill(L'0') << static_cast<unsigned>(blob[j]) << std::dec
            << std::setfill(L' ') << L" ";
      }
      break;
    }
    default:
      out << L"Not Implemented";
      break;
  }
}

}  // namespace

std::wstring GuidName(const GUID& guid) {
  for (const NamedGuid& entry : NameTable()) {
    if (entry.guid == guid) return entry.name;
  }
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

std::wstring DescribeMediaType(IMFAttributes* attributes) {
  if (!attributes) return std::wstring();
  UINT32 count = 0;
  if (FAILED(attributes->GetCount(&count))) return std::wstring();
  std::wostringstream out;
  out.imbue(std::locale::classic());
  for (UINT32 i = 0; i < count; ++i) {
    GUID key = GUID_NULL;
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT hr = attributes->GetItemByIndex(i, &key, &value);
    if (FAILED(hr)) {
      out << L"Item " << i << L": failed " << std::hex << static_cast<unsigned>(hr) << std::dec << L"\n";
      continue;
    }
    out << L"Item " << i << L": " << GuidName(key) << L", type " << static_cast<unsigned>(value.vt) << L", value: ";
    AppendValue(out, attributes, key, value);
    out << L"\n";
    PropVariantClear(&value);
  }
  return out.str();
}

}  // namespace Media
}  // namespace ORVO
