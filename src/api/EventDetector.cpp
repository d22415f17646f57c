#include "api/EventDetector.h"

namespace ORVO {
namespace Media {

namespace {
OrvoEvent MakeEvent(int playerId, OrvoEventType type, int streamIndex) {
  OrvoEvent event = {};
  event.size = sizeof(event);
  event.type = type;
  event.playerId = playerId;
  event.streamIndex = streamIndex;
  return event;
}
}  // namespace

std::vector<OrvoEvent> EventDetector::next(int playerId, const PlayerSnapshot& now, int64_t nowTicks) {
  std::vector<OrvoEvent> events;
  const bool started = now.state == Started;
  const bool playBegan = started && (!m_seen || m_state != Started);
  if (!m_seen || now.state != m_state) {
    OrvoEvent event = MakeEvent(playerId, OrvoEventStateChanged, -1);
    event.state = now.state;
    events.push_back(event);
  }
  m_seen = true;
  m_state = now.state;
  if (now.streams.size() != m_streams.size()) m_streams.assign(now.streams.size(), Stream());

  for (size_t i = 0; i < now.streams.size(); ++i) {
    const StreamSnapshot& in = now.streams[i];
    Stream& s = m_streams[i];
    const int index = static_cast<int>(i);
    if (playBegan) {
      // Every Play starts the stream over: a first frame of its own, and the stall clock from now.
      s.presentedAtPlay = in.presented;
      s.firstFrameSent = false;
      s.lastSampleAt = nowTicks;
    }
    if (in.returned != s.returned) {
      s.returned = in.returned;
      s.lastSampleAt = nowTicks;
      if (s.stalled) {
        s.stalled = false;
        events.push_back(MakeEvent(playerId, OrvoEventStallEnded, index));
      }
    }
    if (started && !s.firstFrameSent && in.presented > s.presentedAtPlay) {
      s.firstFrameSent = true;
      events.push_back(MakeEvent(playerId, OrvoEventFirstFrame, index));
    }
    if (in.catchUps > s.catchUps) events.push_back(MakeEvent(playerId, OrvoEventLatencyCatchUp, index));
    s.catchUps = in.catchUps;
    if (in.ended && !s.ended) events.push_back(MakeEvent(playerId, OrvoEventStreamEnded, index));
    s.ended = in.ended;
    if (FAILED(in.error) && in.error != s.error) {
      OrvoEvent event = MakeEvent(playerId, OrvoEventError, index);
      event.error = in.error;
      events.push_back(event);
    }
    s.error = in.error;
    // A stream that ended or failed has stopped asking; only a live one waiting on its host stalls.
    const bool waiting = started && in.active && !in.ended && SUCCEEDED(in.error);
    if (waiting && !s.stalled && nowTicks - s.lastSampleAt > kStallTicks) {
      s.stalled = true;
      events.push_back(MakeEvent(playerId, OrvoEventStallBegan, index));
    } else if (!waiting && s.stalled) {
      s.stalled = false;
      events.push_back(MakeEvent(playerId, OrvoEventStallEnded, index));
    }
  }
  if (now.syncInBounds != m_syncInBounds) {
    m_syncInBounds = now.syncInBounds;
    events.push_back(MakeEvent(playerId, m_syncInBounds ? OrvoEventSyncRestored : OrvoEventSyncLost, -1));
  }
  // The sound goes on, on the default endpoint: an error for the player as a whole, its state kept.
  // The count only grows; a snapshot without it (an engine hidden by a stop in flight) says nothing.
  if (now.endpointFallbacks > m_endpointFallbacks) {
    OrvoEvent event = MakeEvent(playerId, OrvoEventError, -1);
    event.error = now.endpointFallbackError;
    events.push_back(event);
    m_endpointFallbacks = now.endpointFallbacks;
  }
  return events;
}

}  // namespace Media
}  // namespace ORVO
