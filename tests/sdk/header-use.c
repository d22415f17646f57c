/* Compiled by check-header.sh as C99 and as C++17, with and without WIN32_LEAN_AND_MEAN: the public
   header alone, used the way a host uses it. Every export is referenced through a typed pointer so
   that a declaration that does not match its documented signature fails to compile. */
#include "OrvoMedia.h"

#if ORVO_MEDIA_VERSION_MAJOR < 3
#error "the version macros must be usable in #if"
#endif

static int fill(int playerId, unsigned char streamId, IMFSample *sample, int reserved) {
  static const GUID neededSize = ORVO_NEEDED_SIZE_KEY_INIT;
  (void)playerId;
  (void)streamId;
  (void)reserved;
  (void)neededSize;
  return sample ? ORVO_REQUEST_OK : ORVO_REQUEST_BUFFER_TOO_SMALL;
}

int orvo_header_use(void);
int orvo_header_use(void) {
  int (*setLog)(bool) = SetLog;
  int (*create)(int *) = Create;
  int (*setCallback)(int, RequestDataCallback) = SetCallback;
  int (*setPreviewWindow)(int, HWND) = SetPreviewWindow;
  int (*setAudioOutputDevice)(int, int, const wchar_t *) = SetAudioOutputDevice;
  int (*useLowLatencyRenderer)(int, bool) = UseLowLatencyRenderer;
  int (*createMediaType)(int, IMFMediaType **) = CreateMediaType;
  int (*addMediaType)(int, IMFMediaType *) = AddMediaType;
  int (*open)(int, const wchar_t *) = Open;
  int (*setPosition)(int, LONGLONG) = SetPosition;
  int (*setPlaybackRate)(int, double) = SetPlaybackRate;
  LONGLONG (*getDuration)(int) = GetDuration;
  LONGLONG (*getPosition)(int) = GetPosition;
  double (*getPlaybackRate)(int) = GetPlaybackRate;
  double (*getVolume)(int) = GetVolume;
  double (*getBalance)(int) = GetBalance;
  int (*isStreamActive)(int, int) = IsStreamActive;
  int (*setVolume)(int, double) = SetVolume;
  int (*setBalance)(int, double) = SetBalance;
  int (*setAlphaBitmap)(int, HBITMAP) = SetAlphaBitmap;
  int (*setFullScreen)(int, BOOL) = SetFullScreen;
  int (*setStretch)(int, BOOL) = SetStretch;
  int (*getStatistics)(int, int, OrvoStreamStatistics *) = GetStatistics;
  int (*setEventCallback)(int, OrvoEventCallback, void *) = SetEventCallback;
  int (*getSnapshot)(int, int, OrvoSnapshot *) = GetSnapshot;
  int (*setSourceRect)(int, double, double, double, double) = SetSourceRect;
  OrvoSnapshot snapshot;
  OrvoStreamStatistics statistics;
  int (*byId[])(int) = {Close, Play, Pause, Stop, GetState};
  enum PlayerResult result = Ok;
  enum PlayerState state = Closed;
  int id = 0;
  (void)setAudioOutputDevice;
  (void)createMediaType;
  (void)addMediaType;
  (void)setPosition;
  (void)getDuration;
  (void)getPosition;
  (void)getPlaybackRate;
  (void)getVolume;
  (void)getBalance;
  (void)isStreamActive;
  (void)setVolume;
  (void)setBalance;
  (void)setAlphaBitmap;
  (void)setFullScreen;
  (void)getStatistics;
  (void)setEventCallback;
  (void)getSnapshot;
  (void)setSourceRect;
  snapshot.size = ORVO_SNAPSHOT_V1_SIZE;
  (void)snapshot;
  statistics.size = sizeof(statistics);
  (void)statistics;
  (void)setStretch;
  (void)setPreviewWindow;
  (void)setPlaybackRate;
  setLog(true);
  create(&id);
  useLowLatencyRenderer(id, false);
  setCallback(id, fill);
  open(id, L"orvo://low_latency_renderer?renderingStrategy=smooth");
  return byId[0](id) + (int)result + (int)state;
}
