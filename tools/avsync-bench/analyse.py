#!/usr/bin/env python3
"""Joins what the host fed (PREFIX.csv, from avsync-bench.exe) with what the observer saw and heard
(PREFIX.flashes, .beeps, .arrivals) and prints one RESULT line for the run.

    analyse.py PREFIX --config NAME --run N [--lead-ms L] [--events FILE]

Clocks. The host writes QueryPerformanceCounter values; the observer writes CLOCK_MONOTONIC_RAW. The
host also read both Linux clocks beside QPC at its start and end (a raw clock_gettime system call):
the offsets are printed on the `clock` line, and QPC ticks are turned into raw seconds with the
measured raw offset (which is 0 within a microsecond under Wine 8, where QPC is raw monotonic in
100-ns ticks; plain CLOCK_MONOTONIC differs by a fraction of a second).

Sound. The observer timed each block it read from the null sink's monitor. The monitor hands data
over up to one block ahead of the sink's clock and late by whatever the scheduler adds, so the
sink's clock is rebuilt from the earliest arrivals: the lower envelope of (arrival - samples/rate)
over a few seconds around each sample, plus the lead (one fragment, --lead-ms) by which the earliest
arrivals precede the sink's clock.

Pairing. White frames and beeps recur once a second, so an event is paired with its sample by order:
a monotonic alignment that keeps the latency continuous from one event to the next, skips as few
samples as it can (a dropped white frame shows no flash) and anchors the first event on the sample
that gives it the smallest non-negative latency. A latency above one second at the very first event
would therefore be read one second short; later changes of any size are followed.
"""
import argparse
import bisect
import math
import sys

RATE = 48000
FRAME_100NS = 10_000_000 / 30
SKIP_COST = 0.3      # seconds of latency change that one unexplained skipped sample is worth
UNMATCHED_COST = 1.0  # an event that pairs with nothing (a stray flash)
MAX_LATENCY = 6.0    # seconds; no event is paired further from its sample than this
MAX_SKIP = 4


def read_csv(path):
    meta, rows = {}, {"video": [], "audio": []}
    engine = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("# engine"):
                engine.append(line[2:])
            elif line.startswith("#"):
                for token in line[1:].split():
                    if "=" in token:
                        key, value = token.split("=", 1)
                        meta[key] = value
            elif line and not line.startswith("stream,"):
                kind, time, duration, qpc = line.split(",")
                rows[kind].append((int(time), int(duration), int(qpc)))
    return meta, rows, engine


def read_numbers(path):
    try:
        with open(path) as f:
            return [tuple(float(x) for x in line.split()) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def percentile(values, fraction):
    """Nearest rank; None when empty."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[min(rank, len(ordered)) - 1]


def ms(value):
    return "na" if value is None else "%.1f" % (value * 1000)


class SinkClock:
    """Sample index of the recording -> raw seconds at which the sink played it."""

    def __init__(self, arrivals, lead, window=2.0):
        self.lead = lead
        self.index = [a[0] for a in arrivals]
        offsets = [a[1] / 1e9 - a[0] / RATE for a in arrivals]
        # Lower envelope over +-window: a sliding minimum (monotonic deque) over the arrivals.
        span = int(window * RATE)
        self.envelope = [0.0] * len(offsets)
        from collections import deque
        dq = deque()
        right = 0
        for i in range(len(offsets)):
            while right < len(offsets) and self.index[right] <= self.index[i] + span:
                while dq and offsets[dq[-1]] >= offsets[right]:
                    dq.pop()
                dq.append(right)
                right += 1
            while self.index[dq[0]] < self.index[i] - span:
                dq.popleft()
            self.envelope[i] = offsets[dq[0]]

    def heard(self, sample):
        if not self.index:
            return None
        i = min(bisect.bisect_left(self.index, sample), len(self.index) - 1)
        return self.envelope[i] + sample / RATE + self.lead


def align(events, samples):
    """events: times (s), ascending; samples: (media_time, returned_s), ascending by media time.
    Returns {event index: sample index}."""
    n, m = len(events), len(samples)
    if n == 0 or m == 0:
        return {}
    INF = float("inf")
    # Candidates per event: samples returned before it and not too far back.
    cands = []
    for e in events:
        cands.append([j for j in range(m) if 0 <= e - samples[j][1] <= MAX_LATENCY])
    # cost[i][j], back[i][j]; state (event i matched with sample j) or event i unmatched.
    best = []  # per event: dict j -> (cost, prev_state)
    anchor = None
    if cands[0]:
        anchor = max(cands[0])  # the smallest non-negative latency
    best0 = {}
    for j in cands[0]:
        best0[j] = (SKIP_COST * (anchor - j), None)
    best.append(best0)
    carry = [(0.0 + UNMATCHED_COST, None)]  # best state if all events so far unmatched
    for i in range(1, n):
        cur = {}
        for j in cands[i]:
            lat = events[i] - samples[j][1]
            bestc, bestp = INF, None
            for back in range(1, i + 1):
                if back > 3:
                    break
                prev = best[i - back]
                for pj, (pc, _) in prev.items():
                    if pj >= j or j - pj - 1 > MAX_SKIP:
                        continue
                    plat = events[i - back] - samples[pj][1]
                    c = pc + abs(lat - plat) + SKIP_COST * (j - pj - 1) + UNMATCHED_COST * (back - 1)
                    if c < bestc:
                        bestc, bestp = c, (i - back, pj)
            if bestp is None:
                # Start over here (everything before unmatched).
                bestc, bestp = UNMATCHED_COST * i, None
            cur[j] = (bestc, bestp)
        best.append(cur)
    # End state: the cheapest over the last few events (trailing unmatched events cost).
    endc, end = INF, None
    for i in range(max(0, n - 4), n):
        for j, (c, _) in best[i].items():
            c2 = c + UNMATCHED_COST * (n - 1 - i)
            if c2 < endc:
                endc, end = c2, (i, j)
    pairs = {}
    while end is not None:
        i, j = end
        pairs[i] = j
        end = best[i][j][1]
    return pairs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("prefix")
    parser.add_argument("--config", default="run")
    parser.add_argument("--run", default="1")
    parser.add_argument("--lead-ms", type=float, default=5.0)
    parser.add_argument("--events", help="write the paired events here (CSV)")
    parser.add_argument("--extra", default="", help="appended to the RESULT line as it is")
    args = parser.parse_args()

    meta, rows, engine = read_csv(args.prefix + ".csv")
    frequency = int(meta["qpc_frequency"])
    start_qpc_s = int(meta["start_qpc"]) / frequency
    end_qpc_s = int(meta["end_qpc"]) / frequency
    clock_ok = int(meta.get("start_raw_ns", "-1")) >= 0
    if clock_ok:
        raw_offsets = [int(meta[k + "_raw_ns"]) / 1e9 - int(meta[k + "_qpc"]) / frequency for k in ("start", "end")]
        mono_offsets = [int(meta[k + "_monotonic_ns"]) / 1e9 - int(meta[k + "_qpc"]) / frequency
                        for k in ("start", "end")]
        offset = sum(raw_offsets) / 2
        print("clock qpc_frequency=%d raw_minus_qpc_us=%.1f,%.1f monotonic_minus_qpc_ms=%.1f,%.1f"
              % (frequency, raw_offsets[0] * 1e6, raw_offsets[1] * 1e6, mono_offsets[0] * 1e3, mono_offsets[1] * 1e3))
    else:
        offset = 0.0
        print("clock: the host could not read the Linux clocks; QPC taken as CLOCK_MONOTONIC_RAW")
    for line in engine:
        print(line)

    def host_s(qpc):
        return qpc / frequency + offset

    feed_start = host_s(int(meta["feed_start_qpc"]))
    # Counted: samples returned from 1 s after the feed began to 1 s before the end of the counted
    # seconds (the feed goes on for a tail after them), so start-up and the closing player do not
    # count as losses: 18 flashes and 18 beeps in 20 s.
    seconds = float(meta.get("seconds", "0"))
    counted = lambda r: feed_start + 1.0 <= r <= feed_start + seconds - 1.0

    # Flash samples: frame 15 of each second. Beep samples: the audio block holding t = k + 0.5 s.
    flash_samples = [(t, host_s(q)) for t, d, q in rows["video"] if round(t / FRAME_100NS) % 30 == 15]
    beep_samples = []
    audio = sorted(rows["audio"])
    for t, d, q in audio:
        first = math.ceil((t - 5_000_000) / 10_000_000)
        onset = first * 10_000_000 + 5_000_000
        if t <= onset < t + d:
            beep_samples.append((onset, host_s(q) + (onset - t) / 1e7))

    flashes = [f[0] / 1e9 for f in read_numbers(args.prefix + ".flashes")]
    beeps = read_numbers(args.prefix + ".beeps")
    clock = SinkClock(read_numbers(args.prefix + ".arrivals"), args.lead_ms / 1000)
    heard = [clock.heard(b[0]) for b in beeps]

    video_pairs = align(flashes, flash_samples)
    audio_pairs = align(heard, beep_samples)
    seen_at = {flash_samples[j][0]: (flashes[i], flash_samples[j][1]) for i, j in video_pairs.items()}
    heard_at = {beep_samples[j][0]: (heard[i], beep_samples[j][1], beeps[i]) for i, j in audio_pairs.items()}

    expected_flashes = [s for s in flash_samples if counted(s[1])]
    expected_beeps = [s for s in beep_samples if counted(s[1])]
    video_lat = [seen_at[t][0] - r for t, r in expected_flashes if t in seen_at]
    audio_lat = [heard_at[t][0] - r for t, r in expected_beeps if t in heard_at]
    common = sorted(t for t, r in expected_flashes if t in seen_at and t in heard_at)
    offsets = [heard_at[t][0] - seen_at[t][0] for t in common]
    gaps = []
    lengths = []
    for t, r in expected_beeps:
        if t in heard_at:
            onset, length, quiet, peak = heard_at[t][2]
            lengths.append(int(length))
            # A sine crosses zero one sample at a time; a longer quiet run, or a beep longer than
            # its 960 samples, is a gap inside it.
            gaps.append(max(quiet if quiet > 2 else 0, length - 960, 0) / RATE)

    # How well the host kept its own pace: a host starved of CPU returns samples late, and the
    # engine is then measured against a feed that was not live-paced.
    ppm = float(meta.get("clock_ppm", "0"))
    stall_at = float(meta.get("stall_at", "-1"))
    stall_s = float(meta.get("stall_ms", "0")) / 1000

    def due(time):
        at = time / 1e7 / (1 + ppm / 1e6)
        if stall_at >= 0 and stall_at <= at < stall_at + stall_s:
            at = stall_at + stall_s
        return feed_start + at

    late = [host_s(q) - due(t) for kind in ("video", "audio") for t, d, q in rows[kind] if counted(host_s(q))]

    fields = [
        ("config", args.config), ("run", args.run),
        ("flashes", "%d/%d" % (len(video_lat), len(expected_flashes))),
        ("beeps", "%d/%d" % (len(audio_lat), len(expected_beeps))),
        ("video_p50_ms", ms(percentile(video_lat, 0.5))), ("video_p90_ms", ms(percentile(video_lat, 0.9))),
        ("video_p99_ms", ms(percentile(video_lat, 0.99))),
        ("audio_p50_ms", ms(percentile(audio_lat, 0.5))), ("audio_p90_ms", ms(percentile(audio_lat, 0.9))),
        ("audio_p99_ms", ms(percentile(audio_lat, 0.99))),
        ("offset_p50_ms", ms(percentile(offsets, 0.5))),
        ("offset_min_ms", ms(min(offsets) if offsets else None)),
        ("offset_max_ms", ms(max(offsets) if offsets else None)),
        ("longest_beep_gap_ms", ms(max(gaps) if gaps else None)),
        ("beep_samples_max", str(max(lengths)) if lengths else "na"),
        # Events paired at a latency of a period (1 s) or more: a one-second-shorter reading exists
        # for them, and their pairing rests on continuity with the events before.
        ("over_period", str(sum(1 for v in video_lat + audio_lat if v >= 1.0))),
        ("feed_late_p99_ms", ms(percentile(late, 0.99))),
        ("feed_late_max_ms", ms(max(late) if late else None)),
    ]

    # Long runs: the first and the last minute of the counted seconds (a third of them when the run
    # is shorter than three minutes), for drift.
    if seconds >= 50:
        window = min(60.0, seconds / 3)

        def part(table, lo, hi):
            return [t for t in table if lo <= table[t][1] - feed_start < hi]

        def offsets_in(lo, hi):
            return [heard_at[t][0] - seen_at[t][0] for t in part(seen_at, lo, hi) if t in heard_at]

        def latency_in(table, lo, hi):
            return [table[t][0] - table[t][1] for t in part(table, lo, hi)]

        first, last = (1.0, 1.0 + window), (seconds - 1.0 - window, seconds - 1.0)
        fields += [
            ("drift_window_s", "%.0f" % window),
            ("offset_first_p50_ms", ms(percentile(offsets_in(*first), 0.5))),
            ("offset_last_p50_ms", ms(percentile(offsets_in(*last), 0.5))),
            ("audio_first_p50_ms", ms(percentile(latency_in(heard_at, *first), 0.5))),
            ("audio_last_p50_ms", ms(percentile(latency_in(heard_at, *last), 0.5))),
            ("video_first_p50_ms", ms(percentile(latency_in(seen_at, *first), 0.5))),
            ("video_last_p50_ms", ms(percentile(latency_in(seen_at, *last), 0.5))),
        ]

    # A stall: how long after the feed resumed sound and picture are back in bounds for good.
    if stall_at >= 0:
        stall_start = feed_start + stall_at
        stall_end = stall_start + float(meta["stall_ms"]) / 1000
        pre_v = percentile([seen_at[t][0] - r for t, r in expected_flashes if t in seen_at and r < stall_start], 0.5)
        pre_a = percentile([heard_at[t][0] - r for t, r in expected_beeps if t in heard_at and r < stall_start], 0.5)

        def recovery(times_ok):
            """times_ok: [(event time, in bounds)], ascending; seconds from the stall's end to the
            first event after which every event is in bounds; None when never."""
            after = [(at, ok) for at, ok in times_ok if at >= stall_start]
            last_bad = None
            for at, ok in after:
                if not ok:
                    last_bad = at
            if not after or not after[-1][1]:
                return None
            if last_bad is None:
                return 0.0
            following = [at for at, ok in after if at > last_bad]
            return max(0.0, following[0] - stall_end) if following else None

        in_sync = [(max(seen_at[t][0], heard_at[t][0]), -0.040 <= heard_at[t][0] - seen_at[t][0] <= 0.060)
                   for t in common if counted(seen_at[t][1]) or seen_at[t][1] > stall_start]
        video_ok = [(seen_at[t][0], pre_v is not None and seen_at[t][0] - seen_at[t][1] <= pre_v + 0.020)
                    for t, r in expected_flashes if t in seen_at]
        audio_ok = [(heard_at[t][0], pre_a is not None and heard_at[t][0] - heard_at[t][1] <= pre_a + 0.020)
                    for t, r in expected_beeps if t in heard_at]
        fmt = lambda v: "never" if v is None else "%.2f" % v
        fields += [
            ("pre_stall_video_p50_ms", ms(pre_v)), ("pre_stall_audio_p50_ms", ms(pre_a)),
            ("video_back_s", fmt(recovery(sorted(video_ok)))),
            ("audio_back_s", fmt(recovery(sorted(audio_ok)))),
            ("offset_back_s", fmt(recovery(sorted(in_sync)))),
        ]

    if args.events:
        with open(args.events, "w") as f:
            f.write("media_s,returned_video_s,seen_s,video_ms,returned_audio_s,heard_s,audio_ms,offset_ms,beep_samples\n")
            for t in sorted(set(seen_at) | set(heard_at)):
                v = seen_at.get(t)
                a = heard_at.get(t)
                f.write("%.3f,%s,%s,%s,%s,%s,%s,%s,%s\n" % (
                    t / 1e7,
                    "%.4f" % (v[1] - feed_start) if v else "", "%.4f" % (v[0] - feed_start) if v else "",
                    "%.1f" % ((v[0] - v[1]) * 1e3) if v else "",
                    "%.4f" % (a[1] - feed_start) if a else "", "%.4f" % (a[0] - feed_start) if a else "",
                    "%.1f" % ((a[0] - a[1]) * 1e3) if a else "",
                    "%.1f" % ((a[0] - v[0]) * 1e3) if v and a else "", "%d" % a[2][1] if a else ""))

    line = "RESULT " + " ".join("%s=%s" % kv for kv in fields)
    if args.extra:
        line += " " + args.extra
    print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
