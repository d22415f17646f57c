/*
 * observer: the viewer's side of avsync-bench, a native Linux program beside Wine. It watches one
 * pixel of the X screen and listens to a PulseAudio source (the null sink's monitor), and writes what
 * it saw and heard with CLOCK_MONOTONIC_RAW times, the clock Wine's QueryPerformanceCounter runs on.
 *
 *   observer --x X --y Y --out PREFIX [--source orvo_sink.monitor] [--seconds S] [--fragment-ms F]
 *
 * PREFIX.flashes   one line per dark-to-white change of the pixel: raw_ns poll_gap_ns value
 *                  (raw_ns is the middle of the XShmGetImage call that first saw white; poll_gap_ns the
 *                  time since the previous poll started, the uncertainty of that change)
 * PREFIX.beeps     one line per beep: onset_sample length_samples longest_quiet_run_samples peak
 *                  (sample indices count frames of the recording from its first one; the onset is
 *                  the beep's phase-zero sample, the last quiet one before the level rises)
 * PREFIX.arrivals  one line per block read: frames_received_so_far raw_ns, from which the analysis
 *                  rebuilds the sink's clock (the sample index -> raw time mapping)
 * PREFIX.polls     the pixel poll's statistics: polls, median and largest gap between polls
 *
 * It runs until SIGINT/SIGTERM or --seconds, whichever comes first; it creates PREFIX.ready once it
 * polls and records, so a driver starts the player only when nothing can be missed.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <pthread.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#define RATE 48000
#define CHANNELS 2
/* A beep starts where the level first exceeds ON_LEVEL and ends after END_QUIET of quiet; a sample
 * counts as quiet at QUIET_LEVEL or below (digital silence is 0; a 1 kHz sine at 48 kHz passes
 * within this level only at its zero crossings, one sample at a time). */
#define ON_LEVEL 1000
#define QUIET_LEVEL 8
#define END_QUIET (RATE / 10)
/* The pixel counts as white above WHITE_LEVEL and as dark again below DARK_LEVEL (mean of R, G, B):
 * mid-grey shows near 128, full white near 255. */
#define WHITE_LEVEL 200
#define DARK_LEVEL 170

static volatile sig_atomic_t g_stop = 0;
static const char *g_prefix;

static void on_signal(int sig) {
  (void)sig;
  g_stop = 1;
}

static int64_t raw_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static FILE *open_out(const char *suffix) {
  char path[4096];
  snprintf(path, sizeof path, "%s.%s", g_prefix, suffix);
  FILE *f = fopen(path, "w");
  if (!f) {
    perror(path);
    exit(1);
  }
  return f;
}

struct video_args {
  int x, y;
  int ready;
};

static int compare_i64(const void *a, const void *b) {
  int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
  return x < y ? -1 : x > y;
}

static void *watch_pixel(void *arg) {
  struct video_args *va = arg;
  Display *display = XOpenDisplay(NULL);
  if (!display || !XShmQueryExtension(display)) {
    fprintf(stderr, "observer: no X display with MIT-SHM\n");
    exit(1);
  }
  int screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  /* The pointer is drawn by the server; keep it away from the watched pixel. */
  XWarpPointer(display, None, root, 0, 0, 0, 0, DisplayWidth(display, screen) - 1,
               DisplayHeight(display, screen) - 1);
  XShmSegmentInfo shm;
  XImage *image = XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap,
                                  NULL, &shm, 1, 1);
  shm.shmid = shmget(IPC_PRIVATE, (size_t)image->bytes_per_line * image->height, IPC_CREAT | 0600);
  shm.shmaddr = image->data = shmat(shm.shmid, NULL, 0);
  shm.readOnly = False;
  XShmAttach(display, &shm);
  XSync(display, False);
  shmctl(shm.shmid, IPC_RMID, NULL);

  FILE *flashes = open_out("flashes");
  size_t capacity = 1 << 16, polls = 0;
  int64_t *gaps = malloc(capacity * sizeof *gaps);
  int64_t previous = 0, largest_gap = 0;
  int white = 0;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  va->ready = 1;
  while (!g_stop) {
    int64_t before = raw_ns();
    XShmGetImage(display, root, image, va->x, va->y, AllPlanes);
    int64_t after = raw_ns();
    unsigned long pixel = XGetPixel(image, 0, 0);
    int level = (int)(((pixel >> 16) & 0xff) + ((pixel >> 8) & 0xff) + (pixel & 0xff)) / 3;
    int64_t gap = previous ? before - previous : 0;
    previous = before;
    if (gap > largest_gap) largest_gap = gap;
    if (polls == capacity) {
      capacity *= 2;
      gaps = realloc(gaps, capacity * sizeof *gaps);
    }
    gaps[polls++] = gap;
    if (!white && level > WHITE_LEVEL) {
      white = 1;
      fprintf(flashes, "%lld %lld %d\n", (long long)((before + after) / 2), (long long)gap, level);
      fflush(flashes);
    } else if (white && level < DARK_LEVEL) {
      white = 0;
    }
    /* About 1 kHz, on an absolute schedule so slow polls do not add up. */
    next.tv_nsec += 1000000;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      next.tv_sec++;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec)) next = now;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
  }
  fclose(flashes);
  FILE *stats = open_out("polls");
  if (polls > 1) qsort(gaps + 1, polls - 1, sizeof *gaps, compare_i64);
  fprintf(stats, "polls=%zu median_gap_us=%.0f largest_gap_us=%.0f\n", polls,
          polls > 1 ? gaps[1 + (polls - 1) / 2] / 1000.0 : 0.0, largest_gap / 1000.0);
  fclose(stats);
  free(gaps);
  XShmDetach(display, &shm);
  XCloseDisplay(display);
  return NULL;
}

/* Finds beeps in the left channel as the samples arrive. */
struct beep_finder {
  FILE *out;
  int64_t index;          /* of the next sample */
  int in_beep;
  int64_t last_quiet;     /* the last quiet sample seen */
  int64_t onset;
  int64_t last_active;
  int64_t quiet_run_start;
  int64_t longest_quiet_run;
  int peak;
};

static void find_beeps(struct beep_finder *b, const int16_t *frames, size_t count) {
  for (size_t i = 0; i < count; ++i, ++b->index) {
    int level = abs(frames[i * CHANNELS]);
    int quiet = level <= QUIET_LEVEL;
    if (!b->in_beep) {
      if (quiet) {
        b->last_quiet = b->index;
      } else if (level > ON_LEVEL) {
        b->in_beep = 1;
        b->onset = b->last_quiet;
        b->last_active = b->index;
        b->quiet_run_start = -1;
        b->longest_quiet_run = 0;
        b->peak = level;
      }
      continue;
    }
    if (quiet) {
      if (b->quiet_run_start < 0) b->quiet_run_start = b->index;
      if (b->index - b->last_active >= END_QUIET) {
        fprintf(b->out, "%lld %lld %lld %d\n", (long long)b->onset, (long long)(b->last_active - b->onset + 1),
                (long long)b->longest_quiet_run, b->peak);
        fflush(b->out);
        b->in_beep = 0;
        b->last_quiet = b->index;
      }
    } else {
      if (b->quiet_run_start >= 0 && b->index - b->quiet_run_start > b->longest_quiet_run) {
        b->longest_quiet_run = b->index - b->quiet_run_start;
      }
      b->quiet_run_start = -1;
      b->last_active = b->index;
      if (level > b->peak) b->peak = level;
    }
  }
}

int main(int argc, char **argv) {
  struct video_args va = {-1, -1, 0};
  const char *source = "orvo_sink.monitor";
  double seconds = 7300, fragment_ms = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--x")) va.x = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--y")) va.y = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--out")) g_prefix = argv[i + 1];
    else if (!strcmp(argv[i], "--source")) source = argv[i + 1];
    else if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[i + 1]);
    else if (!strcmp(argv[i], "--fragment-ms")) fragment_ms = atof(argv[i + 1]);
    else {
      fprintf(stderr, "observer: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (va.x < 0 || va.y < 0 || !g_prefix || fragment_ms <= 0) {
    fprintf(stderr, "usage: observer --x X --y Y --out PREFIX [--source S] [--seconds S] [--fragment-ms F]\n");
    return 2;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);

  /* Small fragments: the monitor then delivers (and the null sink renders) in blocks of a few
   * milliseconds, which bounds how far an arrival can sit from the sink's clock. */
  pa_sample_spec format = {PA_SAMPLE_S16LE, RATE, CHANNELS};
  const size_t fragment_frames = (size_t)(RATE * fragment_ms / 1000);
  const size_t fragment_bytes = fragment_frames * CHANNELS * sizeof(int16_t);
  pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)fragment_bytes};
  int error = 0;
  pa_simple *pa = pa_simple_new(NULL, "avsync-observer", PA_STREAM_RECORD, source, "monitor", &format, NULL, &attr,
                                &error);
  if (!pa) {
    fprintf(stderr, "observer: cannot record %s: %s\n", source, pa_strerror(error));
    return 1;
  }
  pthread_t video;
  pthread_create(&video, NULL, watch_pixel, &va);

  FILE *arrivals = open_out("arrivals");
  struct beep_finder beeps = {open_out("beeps"), 0, 0, 0, 0, 0, -1, 0, 0};
  int16_t *block = malloc(fragment_bytes);
  int64_t received = 0;
  const int64_t end = raw_ns() + (int64_t)(seconds * 1e9);
  int announced = 0;
  while (!g_stop && raw_ns() < end) {
    if (pa_simple_read(pa, block, fragment_bytes, &error) < 0) {
      fprintf(stderr, "observer: read failed: %s\n", pa_strerror(error));
      break;
    }
    const int64_t arrived = raw_ns();
    received += (int64_t)fragment_frames;
    fprintf(arrivals, "%lld %lld\n", (long long)received, (long long)arrived);
    find_beeps(&beeps, block, fragment_frames);
    if (!announced && va.ready) {
      fclose(open_out("ready"));
      announced = 1;
    }
  }
  g_stop = 1;
  pthread_join(video, NULL);
  fclose(arrivals);
  fclose(beeps.out);
  pa_simple_free(pa);
  free(block);
  return 0;
}
