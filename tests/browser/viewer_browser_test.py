"""The viewer page in a real browser (Debian's headless Chromium driven by
Selenium) on the synthetic recording of `kelvo demo`, served by `kelvo view`.

    /usr/bin/python3 tests/browser/viewer_browser_test.py --kelvo build/bin/kelvo \
        --artefacts build/test_artefacts
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

ARGS = None
# The board at 1.25 m of the synthetic scene (focal length 500 px), which
# moves 1 px right per frame; at frame 5 its top part is seen by both cameras
# and covered by no nearer board.
FOCAL_PX = 500.0
BOARD_DEPTH_M = 1.25
POINT_A = (150 + 5 + 40, 60 + 40)
POINT_B = (POINT_A[0] + 160, POINT_A[1])


def wait_for(condition, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class ViewerInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvo_view_browser_")
        subprocess.run([ARGS.kelvo, "demo", "--quiet", "--frames", "40", "--out",
                        os.path.join(cls.tmp, "demo")], check=True, stdout=subprocess.DEVNULL)
        cls.out = os.path.join(cls.tmp, "out")
        cls.server = subprocess.Popen(
            [ARGS.kelvo, "view", os.path.join(cls.tmp, "demo", "demo.mkv"), "--port", "0",
             "--out", cls.out, "--quiet"],
            stdout=subprocess.PIPE, text=True)
        line = cls.server.stdout.readline()
        match = re.search(r"open (http://\S+)", line)
        if not match:
            cls.server.kill()
            raise AssertionError(f"kelvo view printed no address: {line!r}")
        cls.url = match.group(1)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        options.page_load_strategy = "eager"
        # WebGL (the 3-D panel) on the CPU, through SwiftShader.
        for flag in ("--headless=new", "--no-sandbox", "--use-angle=swiftshader",
                     "--enable-unsafe-swiftshader", "--disable-dev-shm-usage",
                     "--window-size=1400,1000"):
            options.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.get(cls.url)
        WebDriverWait(cls.driver, 20).until(
            lambda d: d.execute_script("return document.body.dataset.ready") == "yes")

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.server.send_signal(signal.SIGINT)
        try:
            cls.server.wait(timeout=10)
        finally:
            if cls.server.poll() is None:
                cls.server.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    # --- helpers ----------------------------------------------------------

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()

    def frame(self):
        text = self.text("frame-index")
        return int(text) if text.isdigit() else None

    def shows_frame(self, index):
        wait_for(lambda: self.frame() == index, what=f"frame {index}")

    def post(self, path, body):
        return self.driver.execute_async_script(
            """const [path, body, done] = arguments;
            fetch(path, {method: 'POST', headers: {'Content-Type': 'application/json'},
                         body: JSON.stringify(body)}).then(r => r.json()).then(done);""",
            path, body)

    def map_pixels(self):
        """A digest of the map image as the browser shows it."""
        return self.driver.execute_script(
            """const img = document.getElementById('panel-map');
            const c = document.createElement('canvas');
            c.width = img.naturalWidth; c.height = img.naturalHeight;
            const g = c.getContext('2d');
            g.drawImage(img, 0, 0);
            const d = g.getImageData(0, 0, c.width, c.height).data;
            let sum = 0;
            for (let i = 0; i < d.length; i += 4) sum = (sum * 31 + d[i] + 7 * d[i + 1]) % 1000000007;
            return sum;""")

    def map_stats(self):
        """How far from grey the map image is (mean |r - g| + |g - b|), its share of black
        (hole) pixels and the spread of its grey levels, as the browser shows it."""
        return self.driver.execute_script(
            """const img = document.getElementById('panel-map');
            if (!img.naturalWidth) return null;
            const c = document.createElement('canvas');
            c.width = img.naturalWidth; c.height = img.naturalHeight;
            const g = c.getContext('2d');
            g.drawImage(img, 0, 0);
            const d = g.getImageData(0, 0, c.width, c.height).data;
            let colour = 0, black = 0, lo = 255, hi = 0;
            for (let i = 0; i < d.length; i += 4) {
              colour += Math.abs(d[i] - d[i + 1]) + Math.abs(d[i + 1] - d[i + 2]);
              const y = (d[i] + d[i + 1] + d[i + 2]) / 3;
              if (y < 20) black++;
              lo = Math.min(lo, y); hi = Math.max(hi, y);
            }
            const n = d.length / 4;
            return [colour / n, black / n, hi - lo];""")

    def state(self):
        return self.driver.execute_async_script(
            "const done = arguments[0]; fetch('/api/state').then(r => r.json()).then(done);")

    def choose_map(self, kind):
        Select(self.driver.find_element(By.ID, "map-kind")).select_by_value(kind)
        wait_for(lambda: f"/stream/{kind}.mjpg" in
                 self.driver.find_element(By.ID, "panel-map").get_attribute("src"),
                 what=f"the {kind} stream")

    def move_threshold(self, value):
        self.driver.execute_script(
            """const s = document.getElementById('confidence-threshold');
            s.focus(); s.value = arguments[0];
            s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'));""", value)

    def pause_at(self, index):
        self.click("pause")
        wait_for(lambda: self.driver.execute_script("return document.body.dataset.playing") == "no",
                 what="paused")
        self.post("/api/playback", {"action": "seek", "frame": index})
        self.shows_frame(index)

    def click_map_at(self, point):
        img = self.driver.find_element(By.ID, "panel-map")
        # Scrolled first: a scroll during the move would shift the click.
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", img)
        w, h = self.driver.execute_script(
            "const i = arguments[0]; return [i.clientWidth, i.clientHeight];", img)
        # The stream may be smaller than the frame: points are frame pixels.
        nw, nh = self.driver.execute_async_script(
            "const done = arguments[0]; fetch('/api/state').then(r => r.json()).then(s => done(s.image_size));")
        # Selenium offsets are from the element's centre, in CSS pixels.
        x = (point[0] + 0.5) * w / nw - w / 2
        y = (point[1] + 0.5) * h / nh - h / 2
        ActionChains(self.driver).move_to_element_with_offset(img, x, y).click().perform()

    def wait_panels_at_shown_width(self):
        """Waits until every panel shows an image of the width it asks for (a panel resized
        meanwhile asks again)."""
        def at_shown_width(panel):
            shown, got, ratio = self.driver.execute_script(
                "const i = document.getElementById(arguments[0]);"
                "return [i.clientWidth, i.naturalWidth, devicePixelRatio];", panel)
            asked = min(640, -(-(shown * ratio) // 16) * 16)
            return got > 0 and got == asked

        for panel in ("panel-left", "panel-right", "panel-map"):
            wait_for(lambda: at_shown_width(panel), what=f"{panel} image at its shown width")

    def click_map_pixel(self, pixel):
        """A click on the very frame pixel `pixel` of the map (the map shown at one CSS
        pixel per frame pixel or more), at whole viewport coordinates."""
        img = self.driver.find_element(By.ID, "panel-map")
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", img)
        x, y = self.driver.execute_script(
            """const [img, px, py, w, h] = arguments;
            const r = img.getBoundingClientRect();
            return [Math.round(r.left + (px + 0.5) * r.width / w),
                    Math.round(r.top + (py + 0.5) * r.height / h)];""",
            img, pixel[0], pixel[1], *self.state()["image_size"])
        actions = ActionBuilder(self.driver)
        actions.pointer_action.move_to_location(x, y).click()
        actions.perform()

    def cloud(self):
        """What the 3-D panel shows: its frame, the share of its pixels that are not the
        background, a digest of them, and its view's yaw."""
        return self.driver.execute_script(
            """const g = document.getElementById('cloud-canvas');
            const c = document.createElement('canvas');
            c.width = g.width; c.height = g.height;
            const x = c.getContext('2d');
            x.drawImage(g, 0, 0);
            const d = x.getImageData(0, 0, c.width, c.height).data;
            let drawn = 0, sum = 0;
            for (let i = 0; i < d.length; i += 4) {
              if (Math.abs(d[i] - 22) + Math.abs(d[i + 1] - 24) + Math.abs(d[i + 2] - 28) > 12) drawn++;
              sum = (sum * 31 + d[i] + 7 * d[i + 1]) % 1000000007;
            }
            return {frame: g.dataset.frame, drawn: drawn / (d.length / 4), digest: sum,
                    yaw: Number(g.dataset.yaw || 0)};""")

    def cloud_shows(self, index):
        seen = {}

        def shown():
            seen.update(self.cloud())
            return seen["frame"] == str(index) and seen["drawn"] > 0.05 and dict(seen)

        try:
            return wait_for(shown, timeout=15, what=f"the 3-D panel drawing frame {index}")
        except AssertionError as e:
            status = self.text("cloud-status")
            raise AssertionError(f"{e}; it shows {seen}, status {status!r}") from None

    def drag_cloud(self, dx, dy):
        canvas = self.driver.find_element(By.ID, "cloud-canvas")
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", canvas)
        ActionChains(self.driver).move_to_element(canvas).click_and_hold().move_by_offset(
            dx // 2, dy // 2).move_by_offset(dx - dx // 2, dy - dy // 2).release().perform()

    # --- what the page must do -------------------------------------------

    def test_1_page_opens_on_the_recording(self):
        self.assertIn("Synthetic plane scene", self.text("source-name"))
        wait_for(lambda: self.frame() is not None, what="a frame index")
        self.assertEqual(self.driver.find_element(By.ID, "timeline").get_attribute("max"), "39")
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#marks span")), 1)
        self.assertTrue(self.driver.find_elements(By.ID, "control-block_size"))
        wait_for(lambda: "fps" in self.text("pipeline-fps"), what="figures")
        # Each panel's stream comes at the width it is shown (rounded up to 16 px), not the
        # frame's: the pipeline makes the eyes that wide.
        self.wait_panels_at_shown_width()

    def test_1b_panels_follow_the_window(self):
        before = self.driver.execute_script("return document.getElementById('panel-left').naturalWidth")
        self.driver.set_window_size(1000, 1000)
        try:
            self.wait_panels_at_shown_width()
            after = self.driver.execute_script(
                "return document.getElementById('panel-left').naturalWidth")
            self.assertLess(after, before)
        finally:
            self.driver.set_window_size(1400, 1000)
        self.wait_panels_at_shown_width()

    def test_2_play_and_pause(self):
        self.click("loop")
        self.post("/api/playback", {"action": "seek", "frame": 0})
        self.click("play")
        start = wait_for(lambda: self.frame() is not None and self.frame(), what="playing")
        wait_for(lambda: self.frame() not in (None, start), what="frames advancing")
        self.click("pause")
        wait_for(lambda: self.driver.execute_script("return document.body.dataset.playing") == "no",
                 what="paused")
        time.sleep(0.3)
        held = self.frame()
        time.sleep(0.5)
        self.assertEqual(self.frame(), held)

    def test_3_steps_land_on_exact_frames(self):
        self.pause_at(10)
        for button, expected in (("step-forward", 11), ("step-forward", 12), ("step-back", 11),
                                 ("step-back", 10), ("step-back", 9)):
            self.click(button)
            self.shows_frame(expected)
        self.assertTrue(self.text("frame-pts").isdigit())

    def test_4_stereo_bm_slider_changes_the_disparity(self):
        self.pause_at(20)
        wait_for(lambda: self.map_pixels(), what="a map image")
        time.sleep(0.3)
        before = self.map_pixels()
        self.driver.execute_script(
            """const s = document.getElementById('control-block_size');
            s.value = 31; s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'));""")
        wait_for(lambda: self.map_pixels() != before, what="the disparity to change")
        self.assertEqual(self.text("control-block_size-value"), "31")

    def test_4b_confidence_panel_and_threshold(self):
        self.pause_at(20)
        self.choose_map("confidence")
        # Grey, from black holes to well-trusted white-ish values; a fixed scale.
        wait_for(lambda: (lambda m: m and m[0] < 3 and m[2] > 100)(self.map_stats()),
                 what="a grey confidence image")
        self.assertEqual(self.text("bar-hi"), "255")
        self.assertEqual(self.text("bar-lo"), "0")
        holes = self.map_stats()[1]
        self.choose_map("disparity")
        wait_for(lambda: (lambda m: m and m[0] > 20)(self.map_stats()), what="a colour map")
        time.sleep(0.3)
        shown = self.map_stats()[1]
        self.assertLess(abs(shown - holes), 0.03, "the holes of both panels differ")
        try:
            self.move_threshold(200)
            wait_for(lambda: self.state()["confidence_threshold"] == 200,
                     what="the threshold in the state")
            self.assertEqual(self.text("confidence-threshold-value"), "200")
            wait_for(lambda: self.map_stats()[1] > shown + 0.05, what="doubtful values hidden")
            # Let go, the slider shows the server's value from then on: the one set.
            self.driver.execute_script("document.getElementById('confidence-threshold').blur();")
            time.sleep(0.6)  # at least one state event
            self.assertEqual(self.driver.find_element(By.ID, "confidence-threshold")
                             .get_attribute("value"), "200")
        finally:
            self.move_threshold(0)
            wait_for(lambda: self.state()["confidence_threshold"] == 0, what="threshold 0")
        wait_for(lambda: abs(self.map_stats()[1] - shown) < 0.03, what="every value shown again")

    def test_5_measure_tool_matches_the_scene(self):
        self.pause_at(5)
        self.click("measure-toggle")
        self.click_map_at(POINT_A)
        self.click_map_at(POINT_B)
        result = self.driver.find_element(By.ID, "measure-result")
        distance = float(wait_for(lambda: result.get_attribute("data-distance"), what="a distance"))
        truth = (POINT_B[0] - POINT_A[0]) * BOARD_DEPTH_M / FOCAL_PX
        self.assertLess(abs(distance - truth), 0.02 * truth, f"{distance} m vs {truth} m")
        self.click("measure-toggle")

    def test_6_record_button_writes_a_readable_recording(self):
        self.post("/api/playback", {"action": "seek", "frame": 0})
        self.click("play")
        self.click("record-start")
        wait_for(lambda: self.text("record-status").startswith("recording"), what="recording")
        time.sleep(1.0)
        self.click("record-stop")
        status = wait_for(lambda: self.text("record-status").startswith("saved") and
                          self.text("record-status"), what="saved")
        path = status.split("→")[-1].strip()
        self.assertTrue(path.endswith(".mkv"), status)
        info = json.loads(subprocess.run([ARGS.kelvo, "info", path, "--json"], check=True,
                                         capture_output=True, text=True).stdout)
        self.assertGreater(info["frame_count"], 5)
        self.assertEqual(info["camera"]["serial"] if "camera" in info else "DEMO-0001", "DEMO-0001")
        self.click("pause")

    def test_6b_save_button_writes_maps_and_a_coloured_point_cloud(self):
        self.pause_at(5)
        self.wait_panels_at_shown_width()  # the eyes are made smaller than the frame
        self.click("save-frame")
        wait_for(lambda: self.text("save-status").startswith("saved"), what="saved")
        saved = self.post("/api/save", {})
        self.assertIn("disparity_000005.tiff", saved["files"])
        ply = next(f for f in saved["files"] if f.endswith(".ply"))
        with open(os.path.join(saved["folder"], ply), "rb") as f:
            header = b""
            while not header.endswith(b"end_header\n"):
                header += f.read(1)
            count = int(re.search(rb"element vertex (\d+)", header).group(1))
            records = f.read()
        # x, y, z as floats and r, g, b per point, for most of the 640x360 frame.
        self.assertEqual(len(records), 15 * count)
        self.assertGreater(count, 640 * 360 // 2)
        colours = [records[i + 12:i + 15] for i in range(0, len(records), 15 * 97)]
        self.assertGreater(sum(sum(c) for c in colours) / (3 * len(colours)), 20, "a dark cloud")

    def test_8_cloud_draws_follows_steps_and_turns(self):
        self.pause_at(10)
        before = self.cloud_shows(10)
        self.assertTrue(self.driver.find_element(By.ID, "cloud-threshold").is_displayed(),
                        "stereo-bm gives confidence: the 3-D panel offers its threshold")
        self.click("step-forward")
        stepped = self.cloud_shows(11)
        self.assertNotEqual(stepped["digest"], before["digest"])
        self.drag_cloud(120, 30)
        turned = wait_for(lambda: (lambda c: abs(c["yaw"]) > 0.5 and c)(self.cloud()),
                          what="the view turned")
        self.assertNotEqual(turned["digest"], stepped["digest"])
        self.assertGreater(turned["drawn"], 0.02)
        self.click("cloud-reset")
        wait_for(lambda: self.cloud()["yaw"] == 0, what="the view reset")
        # The depth clip leaves the farther boards out.
        drawn = self.cloud()["drawn"]
        self.driver.execute_script(
            """const s = document.getElementById('cloud-far');
            s.value = 1.0; s.dispatchEvent(new Event('input'));""")
        try:
            wait_for(lambda: self.cloud()["drawn"] < 0.8 * drawn, what="far points clipped")
        finally:
            self.driver.execute_script(
                """const s = document.getElementById('cloud-far');
                s.value = s.max; s.dispatchEvent(new Event('input'));""")

    def test_9_measure_in_3d_matches_the_depth_panel(self):
        # Wide enough that every frame pixel of the map is a CSS pixel or more,
        # so that a click on the depth panel lands on the very pixel picked in 3-D.
        self.driver.set_window_size(2600, 1400)
        try:
            self.pause_at(5)
            self.cloud_shows(5)
            self.click("cloud-reset")
            self.click("cloud-measure")
            canvas = self.driver.find_element(By.ID, "cloud-canvas")
            self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", canvas)
            w, h = self.driver.execute_script(
                "const c = arguments[0]; return [c.clientWidth, c.clientHeight];", canvas)
            # The reset view is the left camera's: frame pixels scale by the height.
            scale = h / 360
            for x, y in (POINT_A, POINT_B):
                ActionChains(self.driver).move_to_element_with_offset(
                    canvas, (x - 320) * scale, (y - 180) * scale).click().perform()
            result = self.driver.find_element(By.ID, "cloud-measure-result")
            in_3d = wait_for(lambda: result.get_attribute("data-distance"), what="a 3-D distance")
            a, b = json.loads(result.get_attribute("data-pixels"))
            for picked, aimed in ((a, POINT_A), (b, POINT_B)):
                self.assertLess(max(abs(picked[0] - aimed[0]), abs(picked[1] - aimed[1])), 8,
                                f"picked {picked} for {aimed}")
            truth = (b[0] - a[0]) * BOARD_DEPTH_M / FOCAL_PX
            self.assertLess(abs(float(in_3d) - truth), 0.02 * truth, f"{in_3d} m vs {truth} m")
            self.click("cloud-measure")

            self.choose_map("depth")
            self.driver.execute_script(
                "delete document.getElementById('measure-result').dataset.distance;")
            self.click("measure-toggle")
            self.click_map_pixel(a)
            self.click_map_pixel(b)
            clicked = self.driver.execute_script(
                "return view.points.map(([x, y]) => [Math.floor(x), Math.floor(y)]);")
            self.assertEqual(clicked, [a, b])
            on_map = self.driver.find_element(By.ID, "measure-result")
            self.assertEqual(wait_for(lambda: on_map.get_attribute("data-distance"),
                                      what="a distance on the depth panel"), in_3d,
                             f"3-D: {result.text}; depth panel: {on_map.text}")
            self.click("measure-toggle")
        finally:
            self.choose_map("disparity")
            self.driver.set_window_size(1400, 1000)

    def test_9b_screenshot_of_the_3d_panel(self):
        self.pause_at(12)
        self.cloud_shows(12)
        self.click("cloud-reset")
        self.drag_cloud(-60, -30)
        wait_for(lambda: abs(self.cloud()["yaw"]) > 0.4, what="the view turned")
        time.sleep(0.3)
        os.makedirs(ARGS.artefacts, exist_ok=True)
        path = os.path.join(ARGS.artefacts, "kelvo_view_3d.png")
        self.assertTrue(self.driver.find_element(By.ID, "cloud").screenshot(path))
        self.assertGreater(os.path.getsize(path), 10000)
        self.click("cloud-reset")

    def test_7_screenshot(self):
        self.pause_at(12)
        self.driver.execute_script("document.getElementById('map-kind').value = 'disparity';")
        self.driver.execute_script("window.scrollTo(0, 0);")
        time.sleep(0.5)
        os.makedirs(ARGS.artefacts, exist_ok=True)
        path = os.path.join(ARGS.artefacts, "kelvo_view.png")
        self.assertTrue(self.driver.save_screenshot(path))
        self.assertGreater(os.path.getsize(path), 10000)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--kelvo", required=True)
    parser.add_argument("--artefacts", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
