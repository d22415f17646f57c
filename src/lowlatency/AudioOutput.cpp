#include "lowlatency/AudioOutput.h"

#include <mfapi.h>

#include <sstream>

#include "common/Module.h"
#include "log/Log.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/PacingRules.h"
#include "render/WasapiRenderer.h"

namespace ORVO {
namespace Media {

namespace {

LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      PostQuitMessage(0);
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

AudioOutput::AudioOutput(int streamIndex, const std::wstring& deviceId)
    : m_streamIndex(streamIndex), m_deviceId(deviceId) {}

AudioOutput::~AudioOutput() {
  m_pRenderer.reset();
  if (m_hiddenWindow) DestroyWindow(m_hiddenWindow);
  if (!m_windowClassName.empty()) UnregisterClassW(m_windowClassName.c_str(), LibraryModule());
}

HRESULT AudioOutput::describe(IMFMediaType*, IMFMediaType* decodedType) {
  return LogIfFailed(decodedType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio),
                     "DxPlayer::StreamInt::StreamInt: m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE)")
             ? E_FAIL
             : S_OK;
}

std::vector<GUID> AudioOutput::decodedSubtypes(IMFMediaType*) const {
  return {MFAudioFormat_Float, MFAudioFormat_PCM};
}

HRESULT AudioOutput::onDecodedType(IMFMediaType* decoded) {
  m_pMediaType = decoded;
  return S_OK;
}

HRESULT AudioOutput::open() {
  LogMediaType("DxPlayer::StreamInt::StreamInt: media type %S", m_pMediaType.Get());
  createHiddenWindow();
  m_pRenderer.reset(new (std::nothrow) MediaFoundation::WasapiRenderer());
  const HRESULT hr = m_pRenderer ? m_pRenderer->Initialize(m_pMediaType.Get(), m_deviceId) : E_OUTOFMEMORY;
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt: m_pAudioRenderer->Initialize")) {
    m_pRenderer.reset();
    return hr;
  }
  m_frameBytes = static_cast<uint32_t>(m_pRenderer->decodedBufferBytes());
  return S_OK;
}

void AudioOutput::createHiddenWindow() {
  std::wostringstream name;
  name << L"DirectSound Renderer 0x" << static_cast<const void*>(this);
  m_windowClassName = name.str();
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
  windowClass.lpfnWndProc = HiddenWindowProc;
  windowClass.hInstance = LibraryModule();
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = m_windowClassName.c_str();
  if (!RegisterClassExW(&windowClass)) {
    m_windowClassName.clear();
    return;
  }
  m_hiddenWindow = CreateWindowExW(0, m_windowClassName.c_str(), L"DirectSound Renderer",
                                   WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 1, 1, nullptr, nullptr,
                                   LibraryModule(), nullptr);
}

HRESULT AudioOutput::prepare(IMFSample* decoded, DWORD, LONGLONG, IMFSample** output) {
  decoded->AddRef();
  *output = decoded;
  return S_OK;
}

int64_t AudioOutput::lead() const {
  // Audio goes to the endpoint a little ahead of its time: written exactly when due, the shared
  // buffer runs dry at the slightest jitter and the tone breaks up.
  return Pacing::kAudioLead;
}

void AudioOutput::present(IMFSample* sample, int64_t) {
  if (!m_pRenderer) return;
  const double volume = m_requestedVolume.load();
  if (Pacing::ShouldApplyLevel(m_appliedVolume, volume)) {
    m_appliedVolume = volume;
    m_pRenderer->SetVolume(volume);
  }
  const double balance = m_requestedBalance.load();
  if (Pacing::ShouldApplyLevel(m_appliedBalance, balance)) {
    m_appliedBalance = balance;
    m_pRenderer->SetBalance(balance);
  }
  const HRESULT hr = m_pRenderer->Render(sample);
  if (hr != S_OK) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d sound render failed 0x%X", m_streamIndex,
                   (unsigned)hr);
  }
}

}  // namespace Media
}  // namespace ORVO
