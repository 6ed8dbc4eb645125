"""`kelvo ros2 export` without depth against the bare work it cannot avoid,
same recording, same run: a loop that reads the same packets (an
"every_frame" replay), cuts each frame's eyes with the same call (the eye
bytes come from nowhere else) and writes the same bytes (the export's own
messages, serialised beforehand) with the same library (rosbags' rosbag2
writer, MCAP), one frame after the other. Target: the export's frame rate
>= 0.8x that loop's. Also reported, for scale: the loop without the cut
(reading and writing only). Interleaved rounds (loop, loop without the cut,
export, ...), the medians of the rounds' ratios reported.

    python bench/ros2_bench.py [REC.mkv]   (default: a kelvo demo recording)
"""

import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from rosbags.rosbag2 import Reader, StoragePlugin, Writer

from kelvo_camera_sdk import _native, ros2
from kelvo_camera_sdk.ros2 import messages as msgs


def recorded_messages(bag):
    """[(topic, msgtype, timestamp, raw bytes)] of a bag, in its order."""
    with Reader(bag) as r:
        return [(c.topic, c.msgtype, t, bytes(raw)) for c, t, raw in r.messages()]


def bare_loop(path, messages, out, cut):
    """Reads every packet (cutting its eyes with `cut`) and writes, per
    frame, the messages of its time."""
    store = msgs.typestore()
    start = time.perf_counter()
    replay = _native.MkvReplay(path, replay_mode="every_frame", build_frame_index=True)
    replay.open()
    t0 = replay.t0_utc_ns
    writer = Writer(out, version=8, storage_plugin=StoragePlugin.MCAP)
    writer.open()
    conns, i, frames = {}, 0, 0
    while (frame := replay.grab()) is not None:
        stamp = t0 + frame.pts_us * 1000
        if cut:
            _native._split_eyes(frame)
        while i < len(messages) and messages[i][2] <= stamp:
            topic, msgtype, t, raw = messages[i]
            if topic not in conns:
                conns[topic] = writer.add_connection(topic, msgtype, typestore=store)
            writer.write(conns[topic], t, raw)
            i += 1
        frames += 1
    writer.close()
    replay.close()
    return frames, time.perf_counter() - start


def export(path, out):
    start = time.perf_counter()
    result = ros2.export(path, out)
    return result.frames, time.perf_counter() - start


def main():
    work = Path(tempfile.mkdtemp())
    try:
        if len(sys.argv) > 1:
            path = sys.argv[1]
        else:
            kelvo = shutil.which("kelvo", path=str(Path(sys.executable).parent)) or "kelvo"
            subprocess.run([kelvo, "demo", "--out", str(work), "--frames", "150", "--quiet"],
                           check=True, stdout=subprocess.DEVNULL)
            path = str(work / "demo.mkv")
        ros2.export(path, work / "reference")  # also warms the file cache
        messages = recorded_messages(work / "reference")
        ratios, io_ratios, loop_fps, io_fps, export_fps = [], [], [], [], []
        for n in range(7):
            frames, loop_s = bare_loop(path, messages, work / f"loop{n}", cut=True)
            io_frames, io_s = bare_loop(path, messages, work / f"io{n}", cut=False)
            exported, export_s = export(path, work / f"export{n}")
            assert frames == exported == io_frames, (frames, exported, io_frames)
            for name in ("loop", "io", "export"):
                shutil.rmtree(work / f"{name}{n}")
            loop_fps.append(frames / loop_s)
            io_fps.append(frames / io_s)
            export_fps.append(frames / export_s)
            ratios.append(export_fps[-1] / loop_fps[-1])
            io_ratios.append(export_fps[-1] / io_fps[-1])
        ratio = statistics.median(ratios)
        print(f"ros2 export without depth, {frames} frames, {len(ratios)} interleaved rounds: "
              f"bare loop {statistics.median(loop_fps):.0f} fps, export "
              f"{statistics.median(export_fps):.0f} fps (medians); median ratio {ratio:.3f} "
              f"(rounds {min(ratios):.3f}..{max(ratios):.3f}; target >= 0.8)")
        print(f"  for scale: reading and writing alone {statistics.median(io_fps):.0f} fps; the "
              f"export at {statistics.median(io_ratios):.3f}x of it (the cut is the cost)")
        sys.exit(0 if ratio >= 0.8 else 1)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
