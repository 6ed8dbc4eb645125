"""Record the attached camera for a few seconds.

    python examples/record_camera.py OUT.mkv [SECONDS]
"""

import sys
import time

import kelvo_camera_sdk as k

cameras = k.list_connected_kelvo_cameras()
if not cameras:
    sys.exit("no connected Kelvo cameras found")
camera = k.LiveCapture(cameras[0])
pipeline = k.Pipeline(camera, backend="rectify-passthrough")
manager = k.RecordingManager(pipeline)
pipeline.set_recording_controller(manager)
with pipeline:
    pipeline.start_recording(sys.argv[1])
    time.sleep(float(sys.argv[2]) if len(sys.argv) > 2 else 5.0)
    print(pipeline.stop_recording())
