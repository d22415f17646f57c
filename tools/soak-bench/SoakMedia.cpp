#include "SoakMedia.h"

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <cwctype>

#include "HostMediaTypes.h"
#include "OrvoMedia.h"

using Microsoft::WRL::ComPtr;
using orvo_hostkit::AccessUnitReader;
using orvo_hostkit::AdtsReader;
using orvo_hostkit::AnnexBReader;
using orvo_hostkit::WavReader;

namespace soak_bench {

namespace {

bool EndsWith(const std::wstring& text, const wchar_t* tail) {
  const std::wstring suffix(tail);
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (towlower(text[text.size() - suffix.size() + i]) != suffix[i]) return false;
  }
  return true;
}

}  // namespace

bool SoakMedia::Load(const std::wstring& video, uint32_t width, uint32_t height, const std::wstring& audio,
                     std::string* error) {
  m_width = width;
  m_height = height;
  m_video.reset(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  if (!m_video->Open(video) || m_video->Count() == 0) {
    *error = "cannot read the H.264 clip";
    return false;
  }
  m_audioKind = AudioKind::None;
  if (audio.empty()) return true;
  if (EndsWith(audio, L".wav")) {
    m_wav.reset(new WavReader(20));
    if (!m_wav->Open(audio) || m_wav->Count() == 0) {
      *error = "cannot read the WAV file";
      return false;
    }
    m_audioKind = AudioKind::Pcm;
  } else if (EndsWith(audio, L".aac") || EndsWith(audio, L".adts")) {
    m_aac.reset(new AdtsReader);
    if (!m_aac->Open(audio) || m_aac->Count() == 0) {
      *error = "cannot read the ADTS AAC file";
      return false;
    }
    m_audioKind = AudioKind::Aac;
  } else {
    *error = "the sound is neither PCM WAV (.wav) nor ADTS AAC (.aac)";
    return false;
  }
  return true;
}

const char* SoakMedia::audioName() const {
  switch (m_audioKind) {
    case AudioKind::Pcm: return "PCM";
    case AudioKind::Aac: return "AAC";
    case AudioKind::None: break;
  }
  return "none";
}

std::unique_ptr<AccessUnitReader> SoakMedia::NewVideoReader() const {
  std::unique_ptr<AnnexBReader> reader(new AnnexBReader(*m_video));
  reader->Rewind();
  return reader;
}

std::unique_ptr<AccessUnitReader> SoakMedia::NewAudioReader() const {
  if (m_audioKind == AudioKind::Pcm) {
    std::unique_ptr<WavReader> reader(new WavReader(*m_wav));
    reader->Rewind();
    return reader;
  }
  if (m_audioKind == AudioKind::Aac) {
    std::unique_ptr<AdtsReader> reader(new AdtsReader(*m_aac));
    reader->Rewind();
    return reader;
  }
  return nullptr;
}

bool SoakMedia::Describe(int playerId) const {
  ComPtr<IMFMediaType> video;
  if (CreateMediaType(playerId, &video) != Ok ||
      FAILED(orvo_hostkit::DescribeH264(video.Get(), m_width, m_height, 30, 1)) ||
      AddMediaType(playerId, video.Get()) != Ok) {
    return false;
  }
  if (m_audioKind == AudioKind::None) return true;
  ComPtr<IMFMediaType> audio;
  if (CreateMediaType(playerId, &audio) != Ok) return false;
  const HRESULT described = m_audioKind == AudioKind::Pcm ? orvo_hostkit::DescribePcm(audio.Get(), m_wav->format())
                                                          : orvo_hostkit::DescribeAac(audio.Get(), m_aac->format());
  return SUCCEEDED(described) && AddMediaType(playerId, audio.Get()) == Ok;
}

}  // namespace soak_bench
