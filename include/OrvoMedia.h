/*
 * ORVO.Media: media playback for hosts that own the window.
 *
 * A 64-bit Windows DLL with 27 flat C functions. A host creates a player with Create, configures
 * it, opens it, controls playback and closes it again; every function but SetLog and Create takes
 * the player id that Create returned. docs/host-guide.md walks through a complete host.
 *
 * Two engines stand behind one player; UseLowLatencyRenderer picks one before Open:
 *  - the low-latency engine (the default) plays streams that the host feeds itself: the host
 *    describes each elementary stream with CreateMediaType/AddMediaType, and the library pulls
 *    compressed samples through the host's RequestDataCallback, decodes them, paces them against
 *    one shared start time and presents video with Direct3D 11 into the preview window and audio
 *    through WASAPI on the default endpoint or the one SetAudioOutputDevice chose. It has no
 *    pause, seek, rate, position, duration, full screen, stretch or overlay: those answer Failed or
 *    InvalidState (see each function).
 *  - the Media Session engine plays any URI the platform can open (files, http://, rtsp://), or
 *    host-fed streams under a URI of the scheme "orvo", through Media Foundation's Media Session,
 *    with pause, seek, rate, volume, balance, full screen, stretch and an overlay bitmap.
 *
 * Result codes: every function that is not a getter returns a PlayerResult as an int. The getters
 * (GetState, GetDuration, GetPosition, GetPlaybackRate, GetVolume, GetBalance) return a plain value;
 * given an unknown id they return their neutral value: state Closed, 0 for times, 1.0 for rate and
 * volume, 0.5 for balance. An id is unknown before Create handed it out and after its Close; ids are
 * never reused while the DLL stays loaded.
 *
 * Threads: the functions may be called from any thread, from inside the library's callbacks too.
 * A call takes the process-wide lock only to find its player, then works under that player's own
 * lock, so a slow Open, Stop or Close of one player does not hold up calls for the others. Create,
 * Open, CreateMediaType and AddMediaType initialise COM on the calling thread as a single-threaded
 * apartment (a thread already in another apartment keeps it; that is not an error) and never
 * uninitialise it. The host's RequestDataCallback and OrvoEventCallback run on library threads;
 * see each of them for what they may do.
 *
 * Life of the library: the first Create of a process (or the first after every player was closed)
 * starts Media Foundation and registers the library's decoder selection; closing the last player
 * undoes both. While players exist the DLL keeps itself loaded. Close every player before
 * FreeLibrary.
 *
 * Units: times and positions are 64-bit counts of 100-ns units (10,000,000 per second). Volume is a
 * linear gain from 0.0 (silent) to 1.0 (full); balance runs from 0.0 (left channels only) through
 * 0.5 (centre) to 1.0 (right channels only).
 *
 * Compiles as C99 and later and as C++; include <windows.h> first or let this header include it.
 * Link ORVO.Media.lib (MSVC, lld-link) or libORVO.Media.dll.a (MinGW), or with CMake use
 * find_package(OrvoMedia) and the target OrvoMedia::OrvoMedia. Filling media types uses Media
 * Foundation's GUIDs and helpers: link mfuuid and mfplat as well.
 */
#ifndef ORVO_MEDIA_H
#define ORVO_MEDIA_H

/* The library's version. The DLL's version resource and the log's version line are made from these. */
#define ORVO_MEDIA_VERSION_MAJOR 3
#define ORVO_MEDIA_VERSION_MINOR 3
#define ORVO_MEDIA_VERSION_PATCH 1
#define ORVO_MEDIA_VERSION_BUILD 30

/* The resource compiler reads the version numbers above and nothing else. */
#ifndef RC_INVOKED

#include <windows.h>
#include <mfobjects.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef ORVO_MEDIA_BUILDING_DLL
#define ORVO_MEDIA_API __declspec(dllexport)
#else
#define ORVO_MEDIA_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What the non-getter functions return (as int). */
typedef enum PlayerResult {
  Ok = 0,              /* done; for IsStreamActive: the stream is active */
  Failed = 1,          /* the engine reported a failure, the operation does not exist for the
                          player's engine, or (IsStreamActive) the stream is not active */
  UnknownPlayer = 2,   /* no player with this id: never created, or closed */
  InvalidArgument = 3, /* a required pointer or handle is null (SetPreviewWindow, CreateMediaType,
                          AddMediaType) */
  OpenFailed = 4,      /* Open with the Media Session engine: the URI could not be opened */
  InvalidState = 5     /* the call needs an open engine and there is none; or it belongs before
                          Open and the player already has an engine; or (Play on the low-latency
                          engine) playback is already started */
} PlayerResult;

/* What GetState returns. The low-latency engine uses Closed, Started, Stopped and Error only. */
typedef enum PlayerState {
  Closed = 0,      /* no engine yet; the low-latency engine before its first Play; a Media Session
                      engine whose open failed */
  Ready = 1,       /* Media Session engine: session created */
  OpenPending = 2, /* Media Session engine: the media is being opened; Play is held until ready */
  Started = 3,     /* playing */
  Paused = 4,      /* Media Session engine */
  Stopped = 5,     /* stopped by Stop, or the presentation ended */
  Closing = 6,     /* Media Session engine: shutting down */
  Error = 7        /* Media Session engine: the session reported a failure; Close the player.
                      Low-latency engine: a stream cannot go on (its reader keeps failing, the
                      graphics device or the audio endpoint stayed gone for 2 s), or a Play could
                      not start every stream; Stop, then Play tries again with new sources, a new
                      device and the chosen or default endpoint */
} PlayerState;

/* Return values of RequestDataCallback. */
#define ORVO_REQUEST_OK 0
/* The buffer is too small: store the size needed as a UINT32 under ORVO_NEEDED_SIZE_KEY_INIT's GUID
   on the sample before returning; the library grows the buffer and calls again with a new sample. */
#define ORVO_REQUEST_BUFFER_TOO_SMALL 7
/* {6C990D34-BB8E-477A-8598-0D5D96FCD88A}, the GUID Media Foundation calls MF_PD_TOTAL_FILE_SIZE:
     static const GUID kNeededSize = ORVO_NEEDED_SIZE_KEY_INIT;
     IMFSample_SetUINT32(sample, &kNeededSize, needed);          (C++: sample->SetUINT32(kNeededSize, needed)) */
#define ORVO_NEEDED_SIZE_KEY_INIT \
  { 0x6c990d34, 0xbb8e, 0x477a, { 0x85, 0x98, 0x0d, 0x5d, 0x96, 0xfc, 0xd8, 0x8a } }

/*
 * Fills one sample of a host-fed stream with one compressed access unit (one picture, or one audio
 * frame or block).
 *
 * playerId: the player. streamId: which stream: with the Media Session engine the stream's position
 *   among the descriptions the host added with AddMediaType (0, 1, ...); with the low-latency engine
 *   an audio stream's position likewise, and 0 for every video stream.
 * sample: holds exactly one empty memory buffer, 16-byte aligned, current length 0. Its capacity
 *   starts at 100 KiB for video (512 KiB for a 1920x1080 frame, scaled by the frame area of
 *   MF_MT_FRAME_SIZE) and one second of audio (MF_MT_AUDIO_AVG_BYTES_PER_SECOND, at least 10 KiB),
 *   and grows when the host asks for more. Write the data with GetBufferByIndex(0), Lock, copy,
 *   Unlock, SetCurrentLength; set the sample time (SetSampleTime, 100-ns units, increasing, the
 *   same clock for all streams of the player) and, if known, the duration. The library owns the
 *   sample: do not keep it after returning; release any reference you take.
 * reserved: always 0.
 *
 * Return ORVO_REQUEST_OK (0) when the sample is filled; ORVO_REQUEST_BUFFER_TOO_SMALL (7) after
 * storing the needed size (see ORVO_NEEDED_SIZE_KEY_INIT): the library allocates 110 % of it,
 * rounded up to whole KiB, for this and every later sample of the stream and calls again (a needed
 * size that is 0, not above the current capacity, or above 256 MiB ends the streams instead); any
 * other value ends every stream of the source (end of stream, not an error: a live feed that is
 * over).
 *
 * Threads: called on a pulling thread that the library owns, one request at a time per media
 * source. The Media Session engine has one source for all streams; the low-latency engine has one
 * per stream, so calls for different streams of one player can run at the same time on different
 * threads. The callback may block until data arrives (that is how a live feed is paced), but Stop
 * and Close wait up to about 2 s for the call in progress to return: keep waits short or end them
 * when the host stops. A call still blocked after that is left behind; whatever it fills is
 * discarded. The callback may call any function of this library, except that Stop and Close of its
 * own player answer InvalidState there. It must not throw.
 */
typedef int (*RequestDataCallback)(int playerId, unsigned char streamId, IMFSample *sample,
                                   int reserved);

/* ---- Life cycle ------------------------------------------------------------------------------ */

/*
 * Switches the process-wide log on or off. On: the file ORVO.Media.log (UTF-8 with byte-order mark)
 * beside the host's executable, not the DLL, plus the debugger output, at DEBUG level; the first line
 * is "SetLog: library v3.3.1.0030 log enabled". Past 2 MiB the file is rotated once into
 * ORVO.Media.000.log. Calling it again with true reopens the file. Off by default.
 * Returns 0 always. Any thread; takes the process-wide lock.
 */
ORVO_MEDIA_API int SetLog(bool enable);

/*
 * Creates a player and writes its id (1, 2, 3, ...: never 0, never reused) to *playerId. The player
 * starts with the low-latency engine selected, no window, no callback and no stream descriptions.
 * playerId must not be null: the player would be created all the same, without a way to close it.
 * Returns 0 always; the host owns the player until Close.
 */
ORVO_MEDIA_API int Create(int *playerId);

/*
 * Stops and destroys the player's engine, restores a subclassed preview window, releases the stream
 * descriptions and forgets the callback and the id. Waits for a callback in progress to return, but
 * at most about 2 s: a callback that never returns is left behind, and its sample is discarded.
 * Closing the last player shuts Media Foundation's platform down again (see above).
 * Returns Ok or UnknownPlayer (also for a second Close of the same id), or InvalidState when called
 * from inside this player's own callback (it would wait for the calling thread; nothing closes).
 */
ORVO_MEDIA_API int Close(int playerId);

/* ---- Configuration: before Open ---------------------------------------------------------------- */

/*
 * Registers the function that fills the samples of host-fed streams (see RequestDataCallback); null
 * removes it. Needed by the low-latency engine always, by the Media Session engine for "orvo" URIs.
 * Returns Ok, UnknownPlayer, or InvalidState once the player has an engine (after Open, also after
 * a failed Open, until Close).
 */
ORVO_MEDIA_API int SetCallback(int playerId, RequestDataCallback callback);

/*
 * Sets the window that shows the video; it must stay valid until Close.
 * Low-latency engine: the library presents into it with a Direct3D 11 swap chain from its own
 * rendering thread and does not touch the window procedure; the video is scaled into the client
 * area, keeping its aspect ratio.
 * Media Session engine (UseLowLatencyRenderer(id, false) called before this): the library
 * subclasses the window until Close, handles WM_SIZE and WM_PAINT for the video, and receives its
 * session events as posted WM_APP + 1 messages, which it consumes (do not use that message on this
 * window); every other message is passed on to the host's procedure, with no library lock held.
 * GWLP_USERDATA stays the host's. Calling this again with another window gives the previous one its
 * procedure back. The window's thread must pump messages for playback to advance, and the window
 * must belong to this process.
 * Returns Ok, UnknownPlayer, InvalidArgument (null window), InvalidState (the player has an engine,
 * or the window is another open player's Media Session preview window), or Failed (the window could
 * not be subclassed).
 */
ORVO_MEDIA_API int SetPreviewWindow(int playerId, HWND window);

/*
 * Chooses the audio render endpoint the next Open plays on, for both engines: deviceId is the
 * endpoint's id as IMMDevice::GetId gives it (null-terminated; enumerate the endpoints with
 * IMMDeviceEnumerator::EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, ...)). Null or empty means
 * the default console endpoint, as without a call. The integer beside it is stored and not used.
 * An id that names no endpoint, or one that cannot play when Open runs (not active, unplugged,
 * its device gone), does not fail the Open: the sound plays on the default console endpoint, the
 * library logs one line, and the host's event callback receives OrvoEventError with streamIndex -1,
 * the platform's answer in error, and the player's state unchanged.
 * When the chosen endpoint goes away while playing, the low-latency engine moves the sound to the
 * default endpoint (the same event tells it) and back to the chosen one once it can play again
 * (tried about every second). The Media Session engine asks for the endpoint when it builds the
 * presentation's topology (at Open) and does not follow a device that goes away later.
 * Returns Ok, UnknownPlayer, or InvalidState once the player has an engine.
 */
ORVO_MEDIA_API int SetAudioOutputDevice(int playerId, int value, const wchar_t *deviceId);

/*
 * Chooses the engine that the next Open creates: true (the default) the low-latency engine, false
 * the Media Session engine. Call it before SetPreviewWindow: that call decides whether the window is
 * subclassed. Allowed at any time; while an engine exists it only affects an Open after Close, which
 * in practice means never, because Close forgets the player.
 * Returns Ok or UnknownPlayer.
 */
ORVO_MEDIA_API int UseLowLatencyRenderer(int playerId, bool enable);

/*
 * Creates an empty Media Foundation media type for the host to describe one elementary stream with
 * IMFMediaType/IMFAttributes calls, then to pass to AddMediaType. The library reads MF_MT_MAJOR_TYPE
 * (MFMediaType_Video or MFMediaType_Audio), MF_MT_SUBTYPE (for example MFVideoFormat_H264,
 * MFVideoFormat_HEVC, MFAudioFormat_AAC, MFAudioFormat_PCM), MF_MT_FRAME_SIZE (needed by the platform
 * H.264 decoder), MF_MT_FRAME_RATE and MF_MT_AUDIO_AVG_BYTES_PER_SECOND; everything else goes to the
 * platform's decoders as given (audio: sample rate, channels, MF_MT_USER_DATA for AAC, ...).
 * Lifetime: *mediaType receives one reference that the host owns and must Release (after
 * AddMediaType, which takes its own reference). The player does not keep it until AddMediaType.
 * Returns Ok; UnknownPlayer (nothing written); InvalidArgument (mediaType null); Failed with
 * *mediaType set to null once the player has an engine, or when Media Foundation fails.
 */
ORVO_MEDIA_API int CreateMediaType(int playerId, IMFMediaType **mediaType);

/*
 * Appends a filled media type as the player's next stream (stream 0, 1, ... in call order); the
 * player takes its own reference and releases it at Close. The type is not checked here: a stream
 * the engine cannot decode or render stays inactive after Open (see IsStreamActive, and the log
 * line "stream N stays inactive"), and a type that Media Foundation refuses as a stream description,
 * a video type whose MF_MT_FRAME_RATE has a zero term, or an audio type whose
 * MF_MT_AUDIO_SAMPLES_PER_SECOND lies outside 1000 to 768000, is not offered to the Media Session
 * engine and takes no stream identifier there (the low-latency engine leaves such streams
 * inactive). Describe the streams again after Close.
 * Returns Ok, UnknownPlayer, InvalidArgument (mediaType null), or InvalidState once the player has an
 * engine.
 */
ORVO_MEDIA_API int AddMediaType(int playerId, IMFMediaType *mediaType);

/* ---- Transport --------------------------------------------------------------------------------- */

/*
 * Creates the engine and opens the media; the engine then lives until Close, even when Open fails
 * (a second Open answers InvalidState: Close and start over).
 * Low-latency engine: uri serves only for its query: "renderingStrategy=lowlatency" (the default:
 *   late frames are shown at once and queues are trimmed to the newest frame, for the least delay;
 *   when every stream has been early by a steady margin for a second, as after a slow start, the
 *   shared timeline moves earlier by that margin) or "smooth" (no frame is dropped for delay;
 *   lateness moves the shared start time later, as a jitter buffer, but by at most
 *   "maxDelayMs=" milliseconds in all, 500 unless the URI says otherwise, up to 10000; on a steady
 *   feed the buffer shrinks back by at most 3 % of playback time), for example
 *   L"orvo://low_latency_renderer?renderingStrategy=smooth&maxDelayMs=300". Either way each audio
 *   sample is written so that it is heard at its due time on the timeline the video is shown on:
 *   silence goes in front of it when it comes early, and audio that would be heard 10 ms or more
 *   late is caught up, by dropping queued audio (lowlatency) or by playing up to 5 % faster
 *   (smooth, which drops only a backlog beyond 200 ms); small drifts are corrected by at most 4 ms
 *   at a time, which no listener hears as a gap. Open builds a decoder and a renderer
 *   per described stream synchronously, before it returns; no sample is requested before Play.
 *   Returns Failed when no callback is registered or no stream could be set up (see IsStreamActive
 *   for which ones did).
 * Media Session engine: opens the URI (file path, file://, http://, rtsp://, or "orvo://..." for the
 *   host-fed streams described with AddMediaType) and queues the topology; the state is OpenPending
 *   until the session is ready, and a Play meanwhile is held and carried out then. Returns OpenFailed
 *   when the URI cannot be opened, Failed when the engine cannot be created.
 * uri: null-terminated; null counts as empty. Returns Ok, Failed, UnknownPlayer, OpenFailed, or
 * InvalidState (an engine exists already).
 */
ORVO_MEDIA_API int Open(int playerId, const wchar_t *uri);

/*
 * Starts playback. Low-latency engine: starts one pulling and one rendering thread per active
 *   stream; the callback is called from then on. InvalidState when already started. After Stop, Play
 *   starts again with new sources: the host's callback is asked for samples from then on. Failed,
 *   with the state Error, when a stream cannot be started again.
 * Media Session engine: starts (or resumes after Pause) asynchronously; GetState reports Started
 *   once the session has started. Failed when the session refuses.
 * Returns Ok, Failed, UnknownPlayer, or InvalidState (no engine: Open first).
 */
ORVO_MEDIA_API int Play(int playerId);

/*
 * Pauses. Media Session engine only, asynchronous; Play resumes. Returns Ok, Failed (the low-latency
 * engine has no pause; or the session refused), UnknownPlayer, or InvalidState (no engine).
 */
ORVO_MEDIA_API int Pause(int playerId);

/*
 * Stops playback. Low-latency engine: ends the streams' threads (waiting at most about 2 s for a
 *   callback in progress to return; one that never returns is left behind and its sample
 *   discarded), shows a black frame and releases the sources; GetState is Stopped when it returns.
 * Media Session engine: asynchronous; once Stop answers Ok, GetState reports Stopped (never Started),
 *   even while the session is still winding down, and Pause answers Failed; a Play requested
 *   afterwards is reported when the session confirms it.
 * Returns Ok, Failed (the session refused), UnknownPlayer, or InvalidState (no engine, or called from
 * inside this player's own callback: nothing stops).
 */
ORVO_MEDIA_API int Stop(int playerId);

/*
 * Seeks to position (100-ns units from the start of the presentation). Media Session engine only,
 * asynchronous; GetPosition reports the requested position until the seek is done. Returns Ok,
 * Failed (low-latency engine; or the session refused), UnknownPlayer, or InvalidState (no engine).
 */
ORVO_MEDIA_API int SetPosition(int playerId, LONGLONG position);

/*
 * Sets the playback rate (1.0 normal, 2.0 double speed, negative for reverse where the source
 * supports it). Media Session engine only, asynchronous; the rate must be one the session supports,
 * with thinning if need be. Returns Ok, Failed (low-latency engine; or the rate is not supported),
 * UnknownPlayer, or InvalidState (no engine).
 */
ORVO_MEDIA_API int SetPlaybackRate(int playerId, double rate);

/* ---- Queries ----------------------------------------------------------------------------------- */

/* The engine's PlayerState; Closed before Open and for an unknown id. */
ORVO_MEDIA_API int GetState(int playerId);

/* The presentation's duration in 100-ns units (Media Session engine; 0 when the source gives none,
   for live feeds, for the low-latency engine and for an unknown id). */
ORVO_MEDIA_API LONGLONG GetDuration(int playerId);

/* The playback position in 100-ns units (Media Session engine: a pending seek's target, else the
   presentation clock); 0 for the low-latency engine, before Open and for an unknown id. */
ORVO_MEDIA_API LONGLONG GetPosition(int playerId);

/* The playback rate (Media Session engine: a pending rate request, else the session's rate); 1.0
   for the low-latency engine, before Open and for an unknown id. */
ORVO_MEDIA_API double GetPlaybackRate(int playerId);

/* The volume (0.0 to 1.0). Low-latency engine: the last value given to SetVolume for its first
   audio stream, -1.0 while none was given, 1.0 without an audio stream. Media Session engine: read
   from the audio renderer while playing, else 1.0. 1.0 before Open and for an unknown id. */
ORVO_MEDIA_API double GetVolume(int playerId);

/* The balance (0.0 left to 1.0 right). Low-latency engine: the last value given to SetBalance,
   -1.0 while none was given, 0.5 without an audio stream. Media Session engine: read back from the
   channel volumes while playing (0.5 for mono), else 0.5. 0.5 before Open and for an unknown id. */
ORVO_MEDIA_API double GetBalance(int playerId);

/*
 * Whether stream streamIndex (its position in AddMediaType order) was set up after Open.
 * Low-latency engine: Ok when active, Failed when its set-up failed (an unsupported subtype, no
 * decoder, no window for video, no audio device) or the index is out of range. Media Session engine
 * and no engine: Ok for any index (not tracked). UnknownPlayer for an unknown id.
 */
ORVO_MEDIA_API int IsStreamActive(int playerId, int streamIndex);

/* ---- Presentation ------------------------------------------------------------------------------ */

/*
 * Sets the volume, a linear gain from 0.0 to 1.0.
 * Low-latency engine: applied by the audio rendering thread with its next sample (values below 0 act
 *   as 0; above 1 amplify and may clip); Ok also without an audio stream.
 * Media Session engine: applied to the audio renderer's channels; a value given before playback
 *   starts is kept and applied when it does. Failed when the platform refuses the value.
 * Returns Ok, Failed, UnknownPlayer, or InvalidState (no engine).
 */
ORVO_MEDIA_API int SetVolume(int playerId, double volume);

/*
 * Sets the balance: 0.0 left only, 0.5 centre, 1.0 right only; even channel indexes count as left,
 * odd ones as right. Both engines apply it as SetVolume does (values outside 0..1 are clamped by the
 * low-latency engine); the Media Session engine keeps it without effect when only the process's
 * audio session volume is available. Returns Ok, Failed, UnknownPlayer, or InvalidState (no engine).
 */
ORVO_MEDIA_API int SetBalance(int playerId, double balance);

/*
 * Lays a bitmap over the whole video (Media Session engine only); black pixels are transparent.
 * Null removes the overlay.
 * Lifetime: with the Media Session engine the library owns the bitmap from this call on, also when
 * the call returns Failed: it deletes it (DeleteObject) when another bitmap is set and at Close; do
 * not delete or select it into a device context afterwards. Otherwise (InvalidState, UnknownPlayer)
 * the caller keeps it.
 * Returns Ok, Failed (the video mixer refused it), UnknownPlayer, or InvalidState (low-latency
 * engine or no engine).
 */
ORVO_MEDIA_API int SetAlphaBitmap(int playerId, HBITMAP bitmap);

/*
 * Switches the video renderer's full-screen mode (Media Session engine only; stored and applied
 * when the video renderer appears). Returns Ok, Failed (low-latency engine; or the renderer refused),
 * UnknownPlayer, or InvalidState (no engine).
 */
ORVO_MEDIA_API int SetFullScreen(int playerId, BOOL fullScreen);

/*
 * TRUE stretches the video to the whole window, FALSE keeps its aspect ratio (the default). Media
 * Session engine only; stored and applied when the video renderer appears. Returns Ok, Failed (the
 * renderer refused), UnknownPlayer, or InvalidState (low-latency engine or no engine).
 */
ORVO_MEDIA_API int SetStretch(int playerId, BOOL stretch);

/* ---- Extensions: functions added after the original 27 ---------------------------------------- */

/*
 * Per-stream statistics of the low-latency engine, counted from Open. The host sets size to
 * sizeof(OrvoStreamStatistics) before the call; later versions only append fields, so a host built
 * against this header keeps working. Times are milliseconds over the stream's last 512 samples
 * (0 until there is one); latency runs from the return of the host's callback for a sample to the
 * return of the present call for that sample (samples matched by their time stamps).
 */
typedef struct OrvoStreamStatistics {
  unsigned int size;                     /* in: sizeof(OrvoStreamStatistics) */
  unsigned int queueDepth;               /* decoded samples waiting for their time now */
  unsigned int queueDepthMax;            /* the most that ever waited */
  unsigned int reserved;                 /* 0 */
  unsigned long long requested;          /* samples the library asked the host for */
  unsigned long long returned;           /* of those, returned filled by the host */
  unsigned long long decoded;            /* samples out of the decoder */
  unsigned long long converted;          /* decoded samples made ready for presentation */
  unsigned long long queued;             /* ready samples queued for their time */
  unsigned long long presented;          /* samples handed to the window or the audio endpoint */
  unsigned long long droppedTrimmed;     /* removed by a queue trim, or before playback started */
  unsigned long long droppedLate;        /* too late to present */
  unsigned long long droppedDecodeFailure; /* the decoder failed */
  unsigned long long droppedOther;       /* timestamp or playback gaps, failed preparation */
  double decodeMsMedian, decodeMsP99;    /* host's return -> decoder output */
  double convertMsMedian, convertMsP99;  /* preparation for presentation (colour conversion) */
  double processMsMedian, processMsP99;  /* the renderer's processing step (ProcessFrame) */
  double presentMsMedian, presentMsP99;  /* the present step (PresentFrame, or the audio write) */
  double latencyMsMedian, latencyMsP99;  /* host's return -> present step's return */
  /* Appended in the second version: when the sound is heard, and lip sync. A host that passes the
   * first version's size (up to latencyMsP99) gets the first version's fields. */
  double endpointLatencyMsMedian, endpointLatencyMsP99; /* audio: an audio sample's write -> its first
                                            frame heard (the endpoint's buffer, the staging buffer and
                                            the endpoint's own latency); 0 for video */
  double audioInsertedMs;                /* audio: silence put in front of samples so they are heard
                                            at their time (start, gaps in the feed, a slow feed) */
  double audioDroppedMs;                 /* audio: queued audio left out to catch up (a burst, a
                                            backlog, a fast feed); low-latency strategy */
  double audioStretchedMs;               /* audio: time caught up by playing up to 5 % faster
                                            (Smooth strategy) */
  unsigned long long latencyCatchUps;    /* audio: catch-ups of a lateness of 40 ms or more; each is
                                            also an OrvoEventLatencyCatchUp */
  double avOffsetMsMedian;               /* the player's audio minus video, ms: positive when the
                                            sound comes after the picture; the same for every stream
                                            of the player (0 without both) */
  double avOffsetMsLargest;              /* the offset furthest from 0 over the last 512 audio
                                            samples, with its sign */
} OrvoStreamStatistics;

/* The size of the first version of OrvoStreamStatistics (up to latencyMsP99). */
#define ORVO_STREAM_STATISTICS_V1_SIZE 176

/*
 * Extension. Fills *statistics for one stream of a player that plays through the low-latency
 * engine; streamIndex counts the descriptions added with AddMediaType (0, 1, ...).
 * Returns Ok, UnknownPlayer, InvalidArgument (null pointer, size below the first version's size
 * ORVO_STREAM_STATISTICS_V1_SIZE, or no such stream), InvalidState (no engine), or Failed (the Media Session engine keeps no
 * such statistics). Only the first `size` bytes are written. Any thread, the callback included; cheap enough to poll.
 */
ORVO_MEDIA_API int GetStatistics(int playerId, int streamIndex, OrvoStreamStatistics *statistics);

/*
 * The picture a video stream presented last, as the host asks GetSnapshot for it. The host sets
 * size to sizeof(OrvoSnapshot), pixels to its buffer and bufferSize to that buffer's bytes; later
 * versions only append fields. The picture is the video frame as decoded, at its own size (the
 * frame size, cropped to the display aperture the renderer shows where the stream has one, as a
 * 640x360 picture decoded into 368 rows), not as the window shows it: no scaling to the window, no
 * black bars, no pixel-aspect-ratio correction.
 */
typedef struct OrvoSnapshot {
  unsigned int size;       /* in: sizeof(OrvoSnapshot) */
  unsigned int bufferSize; /* in: bytes the buffer at pixels holds */
  unsigned char *pixels;   /* in: the host's buffer; null to ask for the size only */
  unsigned int neededSize; /* out: bytes the picture takes, stride * height */
  unsigned int width;      /* out: pixels per row */
  unsigned int height;     /* out: rows, the top one first */
  unsigned int stride;     /* out: bytes from one row to the next, width * 4 */
} OrvoSnapshot;

/* The size of the first version of OrvoSnapshot. */
#define ORVO_SNAPSHOT_V1_SIZE 32

/*
 * Extension. Copies the picture that stream streamIndex (counted as for AddMediaType) of a
 * low-latency player presented last into snapshot->pixels: height rows of width pixels, 32-bit
 * BGRA (bytes blue, green, red, alpha; alpha 255), rows stride bytes apart, the top row first. YUV
 * frames are converted with the matrix and range the renderer draws them with. After Stop the
 * last picture presented is the black one Stop shows.
 * Returns Ok (copied; width, height, stride and neededSize filled), UnknownPlayer,
 * InvalidArgument (null snapshot, size below ORVO_SNAPSHOT_V1_SIZE, no such video stream, or
 * pixels null or bufferSize below the picture's bytes: then neededSize, width, height and stride
 * are filled and nothing else is written; call again with a buffer of neededSize bytes),
 * InvalidState (no engine, or the stream has presented nothing since Open), or Failed (the Media
 * Session engine, which keeps its pictures to itself; or the picture could not be read back from
 * the graphics device or is in a format this function does not convert). Any thread, the
 * callbacks included; the copy and conversion run on the calling thread, and the rendering thread
 * waits for it at most while a picture held on the graphics device is copied in video memory or
 * mapped and copied out, never for the conversion.
 */
ORVO_MEDIA_API int GetSnapshot(int playerId, int streamIndex, OrvoSnapshot *snapshot);

/*
 * Extension. Digital zoom: shows only the part left..right, top..bottom of the picture, in
 * coordinates where 0, 0, 1, 1 is the whole picture (after its display aperture and pixel aspect
 * ratio). That part fills the window as the whole picture would: its aspect ratio kept, black bars
 * around it; SetSourceRect(id, 0, 0, 1, 1) shows the whole picture again. Both engines, every video
 * stream of the player. Set before Open it is kept and the player starts zoomed; a playing engine
 * shows it from its next frame, a paused or stopped one at the next picture it draws.
 * Returns Ok, UnknownPlayer, InvalidArgument (an edge outside 0..1, not a number, or
 * left >= right or top >= bottom; nothing changes), or Failed (the Media Session engine's video
 * renderer refused it; the rectangle is still kept). Any thread, the callbacks included.
 */
ORVO_MEDIA_API int SetSourceRect(int playerId, double left, double top, double right, double bottom);

/* What happened to a player, as told to its OrvoEventCallback. */
typedef enum OrvoEventType {
  OrvoEventStateChanged = 1, /* state holds the player's new PlayerState (what GetState answers) */
  OrvoEventFirstFrame = 2,   /* streamIndex presented its first sample since Play */
  OrvoEventStreamEnded = 3,  /* streamIndex ended: the host's callback answered an error */
  OrvoEventError = 4,        /* streamIndex cannot go on; error says why (the player moves to Error).
                                With streamIndex -1: the audio endpoint chosen with
                                SetAudioOutputDevice cannot play and the sound plays on the
                                default endpoint instead; the state does not change */
  OrvoEventStallBegan = 5,   /* streamIndex got no sample from the host for more than 1 s while playing */
  OrvoEventStallEnded = 6,   /* samples flow again into streamIndex, or it stopped waiting for them */
  OrvoEventSyncLost = 7,     /* the player's audio-minus-video offset left -40 ms .. +60 ms (audio at
                                most 40 ms early, 60 ms late) for several samples in a row;
                                streamIndex -1 */
  OrvoEventSyncRestored = 8, /* the offset is back within those bounds; streamIndex -1 */
  OrvoEventLatencyCatchUp = 9 /* streamIndex (audio) was 40 ms or more behind its time and catches up:
                                 queued audio dropped (low latency) or played faster (Smooth) */
} OrvoEventType;

typedef struct OrvoEvent {
  unsigned int size; /* sizeof(OrvoEvent) of the library; later versions only append fields */
  int type;          /* an OrvoEventType */
  int playerId;
  int streamIndex;   /* the stream, counted as for AddMediaType; -1 for the player as a whole */
  int state;         /* OrvoEventStateChanged: the new PlayerState; otherwise 0 */
  HRESULT error;     /* OrvoEventError: the failure; otherwise S_OK */
} OrvoEvent;

/* The event is valid for the duration of the call only. */
typedef void (*OrvoEventCallback)(const OrvoEvent *event, void *context);

/*
 * Extension. Registers the host's event callback for one player; a null callback unregisters.
 * Events come in order on a library thread of the player's own, within about 20 ms of the change,
 * never while a library lock is held: the callback may call any function of this library, Close of
 * its own player included. A player's first event is OrvoEventStateChanged with its state at the
 * time of the first registration. Stream events (first frame, end, error, stall) come from the low-latency engine;
 * the Media Session engine tells state changes. Both tell an audio endpoint that could not be used
 * (OrvoEventError, streamIndex -1), also one that failed before the callback was registered. Close
 * waits at most about 2 s for an event callback in progress. Returns Ok or UnknownPlayer. Any
 * thread.
 */
ORVO_MEDIA_API int SetEventCallback(int playerId, OrvoEventCallback callback, void *context);

#ifdef __cplusplus
}
#endif

#endif /* RC_INVOKED */

#endif /* ORVO_MEDIA_H */
