/*
 * ORVO.Media: media playback for hosts that own the window.
 *
 * Every function but SetLog and Create takes the player id returned by Create. Functions return a
 * PlayerResult unless they are getters; a getter given an unknown id returns its neutral value
 * (state Closed, 0 for times, 1.0 for rate and volume, 0.5 for balance).
 *
 * Host-fed streams: before Open, describe each elementary stream with CreateMediaType (fill the
 * returned IMFMediaType) and AddMediaType, and register a RequestDataCallback. The library then calls
 * the callback from its own threads whenever a stream needs a compressed sample.
 */
#ifndef ORVO_MEDIA_H
#define ORVO_MEDIA_H

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

typedef enum PlayerResult {
  Ok = 0,
  Failed = 1,          /* the engine failed, or the operation does not exist for this engine */
  UnknownPlayer = 2,   /* no player with this id */
  InvalidArgument = 3, /* SetPreviewWindow with a null window */
  OpenFailed = 4,      /* Open with the Media Session engine could not open the URI */
  InvalidState = 5     /* no engine yet, an engine already exists, or playback already started */
} PlayerResult;

typedef enum PlayerState {
  Closed = 0,
  Ready = 1,
  OpenPending = 2,
  Started = 3,
  Paused = 4,
  Stopped = 5,
  Closing = 6,
  Error = 7
} PlayerState;

/* Return values of RequestDataCallback. */
#define ORVO_REQUEST_OK 0
/* The buffer is too small: store the size needed as a UINT32 under ORVO_NEEDED_SIZE_KEY on the
   sample before returning; the library grows the buffer and calls again with a new sample. */
#define ORVO_REQUEST_BUFFER_TOO_SMALL 7
/* {6C990D34-BB8E-477A-8598-0D5D96FCD88A}, the GUID Media Foundation calls MF_PD_TOTAL_FILE_SIZE. */
#define ORVO_NEEDED_SIZE_KEY_INIT \
  { 0x6c990d34, 0xbb8e, 0x477a, { 0x85, 0x98, 0x0d, 0x5d, 0x96, 0xfc, 0xd8, 0x8a } }

/*
 * Fills one sample of a host-fed stream. playerId: the player. streamId: the position of the
 * stream's description among those added with AddMediaType (the low-latency engine passes 0 for
 * video). sample: holds one empty memory buffer; write the compressed access unit into it, set its
 * current length and the sample time (100-ns units). reserved: always 0.
 * Called on a library thread; return 0 when filled, 7 when the buffer is too small, anything else
 * to end every stream of the source.
 */
typedef int (*RequestDataCallback)(int playerId, unsigned char streamId, IMFSample *sample,
                                   int reserved);

ORVO_MEDIA_API int SetLog(bool enable);
ORVO_MEDIA_API int Create(int *playerId);
/* Any export may be called from inside the callback. Close from inside the callback of the same
 * player answers InvalidState (it would wait for the calling thread). */
ORVO_MEDIA_API int Close(int playerId);

ORVO_MEDIA_API int SetCallback(int playerId, RequestDataCallback callback);
ORVO_MEDIA_API int SetPreviewWindow(int playerId, HWND window);
ORVO_MEDIA_API int SetAudioOutputDevice(int playerId, int value, const wchar_t *deviceId);
ORVO_MEDIA_API int UseLowLatencyRenderer(int playerId, bool enable);
ORVO_MEDIA_API int CreateMediaType(int playerId, IMFMediaType **mediaType);
ORVO_MEDIA_API int AddMediaType(int playerId, IMFMediaType *mediaType);

ORVO_MEDIA_API int Open(int playerId, const wchar_t *uri);
ORVO_MEDIA_API int Play(int playerId);
ORVO_MEDIA_API int Pause(int playerId);
/* From inside the callback of the same player: InvalidState, nothing stops. */
ORVO_MEDIA_API int Stop(int playerId);
ORVO_MEDIA_API int SetPosition(int playerId, LONGLONG position);
ORVO_MEDIA_API int SetPlaybackRate(int playerId, double rate);

ORVO_MEDIA_API int GetState(int playerId);
ORVO_MEDIA_API LONGLONG GetDuration(int playerId);
ORVO_MEDIA_API LONGLONG GetPosition(int playerId);
ORVO_MEDIA_API double GetPlaybackRate(int playerId);
ORVO_MEDIA_API double GetVolume(int playerId);
ORVO_MEDIA_API double GetBalance(int playerId);
ORVO_MEDIA_API int IsStreamActive(int playerId, int streamIndex);

ORVO_MEDIA_API int SetVolume(int playerId, double volume);
ORVO_MEDIA_API int SetBalance(int playerId, double balance);
ORVO_MEDIA_API int SetAlphaBitmap(int playerId, HBITMAP bitmap);
ORVO_MEDIA_API int SetFullScreen(int playerId, BOOL fullScreen);
ORVO_MEDIA_API int SetStretch(int playerId, BOOL stretch);

#ifdef __cplusplus
}
#endif

#endif /* ORVO_MEDIA_H */
