#include "decoder/VideoDecoderClassFactory.h"

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <strmif.h>
#include <wrl/client.h>

#include "common/Guids.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

std::atomic<LONG> g_serverLocks{0};

// The subtype is 16 bytes, too wide for a lock-free atomic; a tiny lock keeps reads whole.
SRWLOCK g_subtypeLock = SRWLOCK_INIT;
GUID g_decoderSubtype = GUID_NULL;
// The subtype the calling thread recorded last. A source reader creates its decoder on the thread
// that sets the reader's output type, the thread that recorded the subtype just before: two players
// opening at once on two threads each find their own codec, whatever the other recorded meanwhile.
thread_local bool t_hasSubtype = false;
thread_local GUID t_decoderSubtype = GUID_NULL;

constexpr UINT32 kHardwareSearch = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_ASYNCMFT | MFT_ENUM_FLAG_HARDWARE |
                                   MFT_ENUM_FLAG_SORTANDFILTER;
constexpr UINT32 kSoftwareSearch = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_ASYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;

GUID fourCC(DWORD code) {
  GUID guid = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  guid.Data1 = code;
  return guid;
}

constexpr DWORD makeFourCC(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<unsigned char>(a)) | (static_cast<DWORD>(static_cast<unsigned char>(b)) << 8) |
         (static_cast<DWORD>(static_cast<unsigned char>(c)) << 16) |
         (static_cast<DWORD>(static_cast<unsigned char>(d)) << 24);
}

struct RegistrationTables {
  MFT_REGISTER_TYPE_INFO inputs[13];
  MFT_REGISTER_TYPE_INFO outputs[10];
  RegistrationTables() {
    // MPEG-2 is the one subtype outside the FourCC family.
    const GUID mpeg2 = {0xe06d8026, 0xdb46, 0x11cf, {0xb4, 0xd1, 0x00, 0x80, 0x5f, 0x6c, 0xbb, 0xea}};
    const GUID in[13] = {fourCC(makeFourCC('H', '2', '6', '4')), fourCC(makeFourCC('H', 'E', 'V', 'C')),
                         fourCC(makeFourCC('M', 'J', 'P', 'G')), fourCC(makeFourCC('M', 'P', 'G', '1')),
                         mpeg2,
                         fourCC(makeFourCC('M', 'P', '4', '3')), fourCC(makeFourCC('M', 'P', '4', 'S')),
                         fourCC(makeFourCC('M', '4', 'S', '2')), fourCC(makeFourCC('M', 'P', '4', 'V')),
                         fourCC(makeFourCC('W', 'M', 'V', '1')), fourCC(makeFourCC('W', 'M', 'V', '2')),
                         fourCC(makeFourCC('W', 'M', 'V', '3')), fourCC(makeFourCC('W', 'V', 'C', '1'))};
    const GUID out[10] = {fourCC(makeFourCC('I', 'Y', 'U', 'V')), fourCC(makeFourCC('I', '4', '2', '0')),
                          fourCC(makeFourCC('Y', 'U', 'Y', '2')), fourCC(makeFourCC('U', 'Y', 'V', 'Y')),
                          fourCC(0x14), fourCC(0x16),
                          fourCC(makeFourCC('Y', 'V', '1', '2')), fourCC(makeFourCC('N', 'V', '1', '2')),
                          fourCC(makeFourCC('v', '2', '1', '6')), fourCC(makeFourCC('Y', '2', '1', '6'))};
    for (int i = 0; i < 13; ++i) inputs[i] = {MFMediaType_Video, in[i]};
    for (int i = 0; i < 10; ++i) outputs[i] = {MFMediaType_Video, out[i]};
  }
};

const RegistrationTables& tables() {
  static const RegistrationTables instance;
  return instance;
}

}  // namespace

VideoDecoderClassFactory::VideoDecoderClassFactory() = default;

const MFT_REGISTER_TYPE_INFO* VideoDecoderClassFactory::InputTypes(UINT32* count) {
  *count = 13;
  return tables().inputs;
}

const MFT_REGISTER_TYPE_INFO* VideoDecoderClassFactory::OutputTypes(UINT32* count) {
  *count = 10;
  return tables().outputs;
}

void VideoDecoderClassFactory::SetDecoderSubtype(const GUID& subtype) {
  t_hasSubtype = true;
  t_decoderSubtype = subtype;
  AcquireSRWLockExclusive(&g_subtypeLock);
  g_decoderSubtype = subtype;
  ReleaseSRWLockExclusive(&g_subtypeLock);
}

GUID VideoDecoderClassFactory::DecoderSubtype() {
  if (t_hasSubtype) return t_decoderSubtype;
  // A thread that never recorded one: a platform that creates the decoder elsewhere gets the
  // process's last, as before.
  AcquireSRWLockShared(&g_subtypeLock);
  const GUID subtype = g_decoderSubtype;
  ReleaseSRWLockShared(&g_subtypeLock);
  return subtype;
}

LONG VideoDecoderClassFactory::ServerLockCount() { return g_serverLocks.load(); }

STDMETHODIMP VideoDecoderClassFactory::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) VideoDecoderClassFactory::AddRef() { return ++m_refCount; }

STDMETHODIMP_(ULONG) VideoDecoderClassFactory::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

STDMETHODIMP VideoDecoderClassFactory::LockServer(BOOL lock) {
  if (lock) {
    ++g_serverLocks;
  } else {
    --g_serverLocks;
  }
  return S_OK;
}

STDMETHODIMP VideoDecoderClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
  // An outer object asking for IUnknown is tolerated and ignored: the decoder is not aggregated.
  if (outer && riid != IID_IUnknown) return E_NOINTERFACE;
  if (!object) return E_POINTER;

  ComPtr<IMFTransform> decoder;
  HRESULT hr = findDecoderEx(&decoder);
  if (FAILED(hr)) return hr;

  // MF_LOW_LATENCY on the transform's own attributes is what decoders read when they build their
  // pipeline (set output type); without it a frame-threaded decoder holds frames back to win
  // throughput. Decoders that implement ICodecAPI are told the same through it.
  ComPtr<IMFAttributes> attributes;
  if (SUCCEEDED(decoder->GetAttributes(&attributes)) && attributes) {
    LogIfFailed(attributes->SetUINT32(MF_LOW_LATENCY, TRUE),
                "VideoDecoderClassFactory::CreateInstance: SetUINT32(MF_LOW_LATENCY)");
  }
  ComPtr<ICodecAPI> codecApi;
  if (SUCCEEDED(decoder.As(&codecApi))) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = 1;
    (void)codecApi->SetValue(&CODECAPI_AVLowLatencyMode, &value);
  }
  return decoder->QueryInterface(riid, object);
}

HRESULT VideoDecoderClassFactory::findDecoderEx(IMFTransform** decoder) {
  if (!decoder) return E_POINTER;
  *decoder = nullptr;
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, DecoderSubtype()};

  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  HRESULT hr = MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, kHardwareSearch, &input, nullptr, &activates, &count);
  if (SUCCEEDED(hr) && count == 0) {
    CoTaskMemFree(activates);
    activates = nullptr;
    hr = MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, kSoftwareSearch, &input, nullptr, &activates, &count);
    if (SUCCEEDED(hr) && count == 0) {
      CoTaskMemFree(activates);
      return MF_E_TOPO_CODEC_NOT_FOUND;
    }
  }
  if (LogIfFailed(hr, "VideoDecoderClassFactory::findDecoderEx: MFTEnumEx")) return hr;

  ComPtr<IMFTransform> chosen;
  for (UINT32 i = 0; i < count; ++i) {
    WCHAR* name = nullptr;
    UINT32 length = 0;
    if (SUCCEEDED(activates[i]->GetAllocatedString(kMFT_FRIENDLY_NAME_Attribute, &name, &length))) {
      ORVO_LOG_DEBUG("VideoDecoderClassFactory::findDecoderEx: found decoder %d: %S", static_cast<int>(i), name);
      CoTaskMemFree(name);
    } else {
      ORVO_LOG_DEBUG("VideoDecoderClassFactory::findDecoderEx: found decoder %d: unknown", static_cast<int>(i));
    }
    if (!chosen) {
      hr = activates[i]->ActivateObject(IID_PPV_ARGS(&chosen));
      if (!LogIfFailed(hr, "VideoDecoderClassFactory::findDecoderEx: decoder %d creation", static_cast<int>(i))) {
        ORVO_LOG_DEBUG("VideoDecoderClassFactory::findDecoderEx: using decoder %d", static_cast<int>(i));
      }
    }
    activates[i]->Release();
  }
  CoTaskMemFree(activates);
  if (chosen) {
    *decoder = chosen.Detach();
    return S_OK;
  }
  return hr;
}

HRESULT VideoDecoderClassFactory::Register() {
  UINT32 inputCount = 0;
  UINT32 outputCount = 0;
  const MFT_REGISTER_TYPE_INFO* inputs = InputTypes(&inputCount);
  const MFT_REGISTER_TYPE_INFO* outputs = OutputTypes(&outputCount);
  return MFTRegisterLocal(this, MFT_CATEGORY_VIDEO_DECODER, L"DecoderClassFactory", 0, inputCount, inputs,
                          outputCount, outputs);
}

HRESULT VideoDecoderClassFactory::Unregister() { return MFTUnregisterLocal(this); }

}  // namespace MediaFoundation
}  // namespace ORVO
