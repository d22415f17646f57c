#include "SoakTile.h"

#include <cstdio>
#include <string>

namespace soak_bench {

namespace {

const wchar_t kWindowClass[] = L"SoakBenchTile";

int64_t Qpc() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

double QpcMs(int64_t ticks) {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  return ticks * 1000.0 / static_cast<double>(frequency);
}

void RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
}

bool ReadStatistics(int playerId, int stream, OrvoStreamStatistics* statistics) {
  *statistics = OrvoStreamStatistics{};
  statistics->size = sizeof(OrvoStreamStatistics);
  return GetStatistics(playerId, stream, statistics) == Ok;
}

}  // namespace

SoakTile::SoakTile(int index, const RECT& area, const Role& role, const SoakMedia& media, uint32_t seed)
    : m_index(index), m_role(role), m_media(media), m_seed(seed) {
  RegisterWindowClass();
  wchar_t title[64];
  swprintf(title, 64, L"soak-bench tile %d", index + 1);
  // Borderless: the tiles fill the screen edge to edge, each client area its share of it.
  m_window = CreateWindowExW(0, kWindowClass, title, WS_POPUP | WS_VISIBLE, area.left, area.top,
                             area.right - area.left, area.bottom - area.top, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
}

SoakTile::~SoakTile() {
  Close();
  if (m_window) DestroyWindow(m_window);
}

bool SoakTile::Open() {
  Close();
  m_lastFailure = "";
  orvo_hostkit::HostFeeder::Options options;
  options.realTime = true;
  options.loop = true;
  options.clockPpm = m_role.clockPpm;
  // Each player's garbage differs, and a rerun with the same seed repeats it.
  m_feed = std::make_shared<FaultyFeed>(options, m_seed++);
  m_feed->feeder().AddStream(0, m_media.NewVideoReader());  // the engine asks for video as stream 0
  if (m_media.hasAudio()) m_feed->feeder().AddStream(1, m_media.NewAudioReader());

  m_firstFrameQpc = 0;
  m_closing = false;
  const int64_t start = Qpc();
  m_openStartQpc = start;
  int id = 0;
  Create(&id);
  m_playerId = id;
  FaultyFeed::Register(id, m_feed);
  const std::wstring uri =
      std::wstring(L"orvo://soak-bench?renderingStrategy=") + (m_role.smooth ? L"smooth" : L"lowlatency");
  if (SetEventCallback(id, &SoakTile::OnEvent, this) != Ok || SetCallback(id, &FaultyFeed::Callback) != Ok ||
      SetPreviewWindow(id, m_window) != Ok) {
    m_lastFailure = "configuration";
  } else if (!m_media.Describe(id)) {
    m_lastFailure = "stream description";
  } else if (::Open(id, uri.c_str()) != Ok) {
    m_lastFailure = "Open";
  } else if (IsStreamActive(id, 0) != Ok || (m_media.hasAudio() && IsStreamActive(id, 1) != Ok)) {
    m_lastFailure = "a stream stayed inactive";
  } else if (Play(id) != Ok) {
    m_lastFailure = "Play";
  }
  m_lastOpenMs = QpcMs(Qpc() - start);
  m_presentedBase = 0;
  m_returnedBase = 0;
  if (*m_lastFailure) {
    Close();
    return false;
  }
  return true;
}

void SoakTile::Close() {
  if (!m_playerId) return;
  // The figures between the last minute's reading and now would be lost with the player.
  account(false);
  const int64_t start = Qpc();
  // The streams end when the feed is aborted: that end is ours, not the player's fault.
  m_closing = true;
  // Abort first: it ends a paced or stalled wait in the callback at once, so Close is not held up
  // by this host.
  m_feed->Abort();
  ::Close(m_playerId);
  m_lastCloseMs = QpcMs(Qpc() - start);
  // A callback still under way keeps the feed alive until it returns.
  FaultyFeed::Unregister(m_playerId);
  m_feed.reset();
  m_playerId = 0;
}

void SoakTile::Stall(DWORD milliseconds) {
  if (m_feed) m_feed->Stall(milliseconds);
}

void SoakTile::Garble(unsigned units) {
  if (m_feed) m_feed->Garble(units);
}

void SoakTile::account(bool takeLatency) {
  if (!m_playerId) return;
  OrvoStreamStatistics video;
  if (!ReadStatistics(m_playerId, 0, &video)) return;
  if (video.presented >= m_presentedBase) m_minute.presented += video.presented - m_presentedBase;
  if (video.returned >= m_returnedBase) m_minute.returned += video.returned - m_returnedBase;
  m_presentedBase = video.presented;
  m_returnedBase = video.returned;
  if (!takeLatency) return;
  // 0 until the stream has presented a sample: no figure yet, rather than a perfect one.
  if (video.presented > 0) {
    m_minute.haveLatency = true;
    m_minute.latencyP50 = video.latencyMsMedian;
    m_minute.latencyP99 = video.latencyMsP99;
  }
  m_minute.queueDepth = video.queueDepth;
  // The offset is the player's, the same in every stream's statistics; read where the sound is.
  OrvoStreamStatistics audio;
  if (m_media.hasAudio() && ReadStatistics(m_playerId, 1, &audio) && audio.presented > 0 && video.presented > 0) {
    m_minute.haveOffset = true;
    m_minute.offsetMedian = audio.avOffsetMsMedian;
    m_minute.offsetLargest = audio.avOffsetMsLargest;
  }
}

SoakTile::Minute SoakTile::TakeMinute() {
  account(true);
  Minute minute = m_minute;
  m_minute = Minute();
  return minute;
}

SoakTile::Events SoakTile::TakeEvents() {
  Events events;
  events.errors = m_errors.exchange(0);
  events.stallsBegan = m_stallsBegan.exchange(0);
  events.syncLost = m_syncLost.exchange(0);
  events.catchUps = m_catchUps.exchange(0);
  return events;
}

double SoakTile::lastFirstFrameMs() const {
  const int64_t first = m_firstFrameQpc.load();
  return first ? QpcMs(first - m_openStartQpc.load()) : -1;
}

void SoakTile::OnEvent(const OrvoEvent* event, void* context) {
  SoakTile* tile = static_cast<SoakTile*>(context);
  if (!event || !tile) return;
  switch (event->type) {
    case OrvoEventFirstFrame:
      if (event->streamIndex == 0) {
        int64_t none = 0;
        tile->m_firstFrameQpc.compare_exchange_strong(none, Qpc());
      }
      break;
    case OrvoEventError:
    case OrvoEventStreamEnded:  // the feeds loop: an end is something going wrong
      if (!tile->m_closing) ++tile->m_errors;
      break;
    case OrvoEventStallBegan:
      ++tile->m_stallsBegan;
      break;
    case OrvoEventSyncLost:
      ++tile->m_syncLost;
      break;
    case OrvoEventLatencyCatchUp:
      ++tile->m_catchUps;
      break;
    default:
      break;
  }
}

}  // namespace soak_bench
