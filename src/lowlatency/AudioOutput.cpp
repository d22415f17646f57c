#include "lowlatency/AudioOutput.h"

#include <mfapi.h>

#include <atomic>
#include <cstddef>
#include <sstream>
#include <vector>

#include "common/Module.h"
#include "log/Log.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/PacingRules.h"
#include "render/WasapiRenderer.h"

namespace ORVO {
namespace Media {

namespace {

// Asks the window's own thread to destroy it: DestroyWindow works only there.
constexpr UINT kRetireMessage = WM_APP + 2;

// Classes whose window could not be destroyed yet (its thread neither pumps nor has ended): a
// class cannot be unregistered while a window of it exists, so each later retirement tries again.
SRWLOCK g_orphanLock = SRWLOCK_INIT;
std::vector<std::wstring>* g_orphanClasses = new std::vector<std::wstring>();  // never destroyed

void unregisterClassOrKeep(const std::wstring& name) {
  AcquireSRWLockExclusive(&g_orphanLock);
  if (!name.empty()) g_orphanClasses->push_back(name);
  std::vector<std::wstring>& orphans = *g_orphanClasses;
  for (size_t i = 0; i < orphans.size();) {
    if (UnregisterClassW(orphans[i].c_str(), LibraryModule()) || GetLastError() == ERROR_CLASS_DOES_NOT_EXIST) {
      orphans.erase(orphans.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  ReleaseSRWLockExclusive(&g_orphanLock);
}

// The window belongs to the library, which destroys it itself: WM_CLOSE or Escape must not end the
// message loop of the host thread it was created on.
LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
    case WM_KEYDOWN:
      return 0;
    case kRetireMessage: {
      wchar_t name[128] = {};
      GetClassNameW(hwnd, name, 128);
      DestroyWindow(hwnd);
      unregisterClassOrKeep(name);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

AudioOutput::AudioOutput(int streamIndex, const std::wstring& deviceId)
    : m_streamIndex(streamIndex), m_deviceId(deviceId) {}

AudioOutput::~AudioOutput() {
  m_pRenderer.reset();
  destroyHiddenWindow();
}

void AudioOutput::destroyHiddenWindow() {
  // Open and Close may run on different host threads, and a stop that outlasts its bound ends the
  // engine on a thread of its own: the window is destroyed on its own thread, here or by message.
  if (m_hiddenWindow) {
    if (GetWindowThreadProcessId(m_hiddenWindow, nullptr) == GetCurrentThreadId()) {
      DestroyWindow(m_hiddenWindow);
    } else if (PostMessageW(m_hiddenWindow, kRetireMessage, 0, 0)) {
      return;  // its thread destroys it and unregisters the class
    }
    // Otherwise its thread has ended and took the window with it.
  }
  unregisterClassOrKeep(m_windowClassName);
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
  const HRESULT hr = openRenderer();
  if (FAILED(hr)) return hr;
  m_frameBytes = static_cast<uint32_t>(m_pRenderer->decodedBufferBytes());
  return S_OK;
}

HRESULT AudioOutput::openRenderer() {
  std::unique_ptr<MediaFoundation::WasapiRenderer> renderer(new (std::nothrow) MediaFoundation::WasapiRenderer());
  const HRESULT hr = renderer ? renderer->Initialize(m_pMediaType.Get(), m_deviceId) : E_OUTOFMEMORY;
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt: m_pAudioRenderer->Initialize")) return hr;
  m_pRenderer = std::move(renderer);
  // A new endpoint starts at unity: the host's levels are applied to it again.
  m_appliedVolume = -1.0;
  m_appliedBalance = -1.0;
  return S_OK;
}

void AudioOutput::reopenLostEndpoint() {
  // Whatever is the default endpoint now takes over. While none can be opened, a retry at most
  // every kReopenIntervalMs keeps the rendering thread from spinning on the platform.
  const ULONGLONG now = GetTickCount64();
  if (now - m_lastReopenAttempt < kReopenIntervalMs) return;
  m_lastReopenAttempt = now;
  m_pRenderer.reset();
  const HRESULT hr = openRenderer();
  m_endpointLost = FAILED(hr);
  if (SUCCEEDED(hr)) {
    ORVO_LOG_INFO("DxPlayer::StreamInt::renderingRoutine: stream %d audio endpoint reopened", m_streamIndex);
  }
}

void AudioOutput::createHiddenWindow() {
  // Unique also against a class left behind by an earlier stream at the same address, whose window
  // waits on a thread that has not pumped yet.
  static std::atomic<unsigned> s_classSerial{0};
  std::wostringstream name;
  name << L"DirectSound Renderer 0x" << static_cast<const void*>(this) << L"." << ++s_classSerial;
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
  if (m_endpointLost.load()) reopenLostEndpoint();
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
  if (hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING) {
    // The endpoint went away (unplugged, or the audio service restarted): the next due sample
    // reopens, so the sound goes on wherever the platform now plays by default.
    m_endpointLost = true;
  }
}

}  // namespace Media
}  // namespace ORVO
