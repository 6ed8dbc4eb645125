// The viewer page: images arrive as multipart JPEG streams (the browser
// shows the newest part), the 3-D panel's points as a binary stream
// (viewer3d.js), figures as server-sent events, and every command is a small
// JSON POST. No framework and no build step.
'use strict';

const $ = (id) => document.getElementById(id);
const view = {
    describe: null,
    state: null,
    measuring: false,
    points: [],
    dragging: false
};

function showError(message) { $('error').textContent = message || ''; }

async function api(path, body) {
    const options = body === undefined ? {} : {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify(body),
    };
    const res = await fetch(path, options);
    const data = await res.json().catch(() => ({}));
    if (!res.ok) {
        showError(data.error || `${res.status} ${res.statusText}`);
        throw new Error(data.error || res.statusText);
    }
    showError('');
    return data;
}

// --- back-end and controls -------------------------------------------------

function fillBackends() {
    const select = $('backend');
    select.innerHTML = '';
    for (const b of view.describe.backends) select.add(new Option(b.label || b.key, b.key));
}

function fillVariants(key, chosen) {
    const select = $('variant');
    select.innerHTML = '';
    const backend = view.describe.backends.find((b) => b.key === key);
    for (const v of backend ? backend.variants : [])
        select.add(new Option(v.label || v.slug, v.slug));
    if (chosen) select.value = chosen;
}

function controlWidget(c, onChange) {
    const box = document.createElement('div');
    box.className = 'control';
    const label = document.createElement('label');
    label.textContent = c.label || c.name;
    if (c.unit) label.textContent += ` (${c.unit})`;
    box.append(label);
    const id = `control-${c.name}`;
    label.htmlFor = id;
    let input;
    const value = c.value ?? c.default;
    if (c.kind === 'enum' && c.enum_values) {
        input = document.createElement('select');
        for (const [v, text] of c.enum_values) input.add(new Option(text, v));
        input.value = value;
    } else if (c.kind === 'boolean') {
        input = document.createElement('input');
        input.type = 'checkbox';
        input.checked = !!value;
    } else {
        input = document.createElement('input');
        input.type = 'range';
        input.min = c.min ?? 0;
        input.max = c.max ?? 100;
        input.step = c.step ?? 1;
        input.value = value;
    }
    input.id = id;
    input.dataset.name = c.name;
    const shown = document.createElement('output');
    shown.id = `${id}-value`;
    shown.textContent = value;
    input.addEventListener('input', () => {
        shown.textContent = input.type === 'checkbox' ? input.checked : input.value;
    });
    input.addEventListener('change', () => {
        const v = input.type === 'checkbox' ? input.checked : Number(input.value);
        onChange(c.name, v).catch(() => {});
    });
    box.append(input, shown);
    return box;
}

function fillControls(data) {
    const box = $('controls');
    box.innerHTML = '';
    for (const c of data.backend) {
        box.append(controlWidget(c, (name, value) => api('/api/control', {name, value})));
    }
    const camera = $('camera-controls');
    camera.innerHTML = '';
    $('camera-box').hidden = data.camera.length === 0;
    for (const c of data.camera) {
        camera.append(controlWidget(c, (name, value) => api('/api/camera_control', {name, value})));
    }
}

async function chooseBackend() {
    const data = await api(
        '/api/backend', {backend: $('backend').value, variant: $('variant').value || null});
    fillControls(data);
}

// --- figures ---------------------------------------------------------------

function fmt(v, digits = 1) {
    return v === null || v === undefined ? '–' : Number(v).toFixed(digits);
}

function applyState(s) {
    view.state = s;
    $('frame-index').textContent = s.frame ?? '–';
    $('frame-pts').textContent = s.pts_us ?? '–';
    $('source-fps').textContent = `${fmt(s.source_fps)} fps`;
    $('pipeline-fps').textContent = `${fmt(s.pipeline_fps)} fps`;
    const d = s.dropped || {};
    $('dropped').textContent = `source ${d.source ?? 0}, pipeline ${d.pipeline ?? 0}, failed ${
        (d.failed ?? 0) + (d.undecodable ?? 0)}`;
    const t = s.timings_ms;
    $('timings').textContent = t ? `decode ${fmt(t.decode)} · rectify ${fmt(t.rectify)} · infer ${
                                       fmt(t.inference)} · total ${fmt(t.total)}` :
                                   '–';
    const kind = $('map-kind').value;
    if (kind === 'confidence') {
        // A fixed scale: grey levels are the confidence itself.
        $('bar-hi').textContent = '255';
        $('bar-lo').textContent = '0';
    } else {
        const range = s.ranges ? s.ranges[kind] : null;
        const unit = kind === 'depth' ? 'm' : 'px';
        $('bar-hi').textContent = range ? `${fmt(range[1], 2)} ${unit}` : '';
        $('bar-lo').textContent = range ? `${fmt(range[0], 2)} ${unit}` : '';
    }
    const threshold = $('confidence-threshold');
    // The server's value wins, except while the user holds the slider.
    if (s.confidence_threshold !== undefined && document.activeElement !== threshold) {
        threshold.value = s.confidence_threshold;
        $('confidence-threshold-value').textContent = s.confidence_threshold;
    }
    if (s.frame !== null && s.frame !== undefined && !view.dragging) $('timeline').value = s.frame;
    if (s.rate !== undefined && document.activeElement !== $('rate'))
        $('rate').value = String(s.rate);
    if (s.loop !== undefined) $('loop').checked = s.loop;
    if ($('backend').value !== s.backend && document.activeElement !== $('backend')) {
        $('backend').value = s.backend;
        fillVariants(s.backend, s.variant);
    }
    const r = s.recording;
    const l = s.last_recording;
    let status = 'not recording';
    // A recording that stopped by itself stays on the page, with why, until
    // the next one starts.
    let failure = null;
    if (r && r.state === 'failed') {
        status = `stopped: ${r.frames_written} frames kept → ${r.path}`;
        failure = r;
    } else if (r) {
        // Frames the writer had no room for (a realtime replay never waits for it).
        const missed = r.frames_dropped ? `, ${r.frames_dropped} missed` : '';
        status = `${r.is_paused ? 'paused' : 'recording'}: ${r.frames_written} frames${missed}, ${
            fmt(r.duration_us / 1e6, 2)} s → ${r.path}`;
    } else if (l && l.state === 'failed') {
        status = `stopped: ${l.frames_written} frames kept → ${l.path ?? 'nothing'}`;
        failure = l;
    } else if (l) {
        const missed = l.frames_dropped ? ` (${l.frames_dropped} missed)` : '';
        status = `saved ${l.frames_written} frames${missed} → ${l.path}`;
    }
    $('record-status').textContent = status;
    $('record-failure').textContent = failure ? `recording failed: ${failure.reason}` : '';
    $('record-failure').hidden = !failure;
    cloudState(s);
    document.body.dataset.playing = s.playing ? 'yes' : 'no';
    document.body.dataset.generation = s.generation;
}

function listen() {
    const events = new EventSource('/events');
    events.onmessage = (e) => applyState(JSON.parse(e.data));
    events.onerror = () => showError('connection to the viewer lost; retrying…');
    events.onopen = () => showError('');
}

// --- playback --------------------------------------------------------------

function playback(body) { return api('/api/playback', body).then(applyState).catch(() => {}); }

function setUpPlayback() {
    const source = view.describe.source;
    if (!source.seekable) {
        $('playback').hidden = true;
        return;
    }
    const n = source.frame_count || 0;
    $('timeline').max = Math.max(0, n - 1);
    const marks = $('marks');
    for (const m of source.calibration_marks || []) {
        const tick = document.createElement('span');
        tick.style.left = `${n > 1 ? (100 * m.frame) / (n - 1) : 0}%`;
        tick.title = `calibration update at frame ${m.frame} (${m.pts_us} µs)`;
        marks.append(tick);
    }
    $('play').onclick = () => playback({action: 'play'});
    $('pause').onclick = () => playback({action: 'pause'});
    $('step-forward').onclick = () => playback({action: 'step_forward'});
    $('step-back').onclick = () => playback({action: 'step_back'});
    $('rate').onchange = () => playback({action: 'rate', rate: Number($('rate').value)});
    $('loop').onchange = () => playback({action: 'loop', loop: $('loop').checked});
    const timeline = $('timeline');
    timeline.addEventListener('pointerdown', () => {
        view.dragging = true;
    });
    timeline.addEventListener('input', () => {
        $('frame-index').textContent = timeline.value;
    });
    timeline.addEventListener('change', () => {
        view.dragging = false;
        playback({action: 'seek', frame: Number(timeline.value)});
    });
}

// --- map: hover, measure, colour bar ---------------------------------------

// The map may arrive smaller than the frame (see streamUrl); probes and
// measurements take the frame's own pixels.
function frameSize() {
    const img = $('panel-map');
    const size = view.state && view.state.image_size;
    return size ? size : [img.naturalWidth || 1, img.naturalHeight || 1];
}

function imagePoint(event) {
    const rect = $('panel-map').getBoundingClientRect();
    const [w, h] = frameSize();
    return [
        ((event.clientX - rect.left) * w) / rect.width,
        ((event.clientY - rect.top) * h) / rect.height
    ];
}

function drawMarks() {
    const img = $('panel-map');
    const canvas = $('overlay');
    canvas.width = img.clientWidth;
    canvas.height = img.clientHeight;
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, canvas.width, canvas.height);
    const [w, h] = frameSize();
    const sx = img.clientWidth / w;
    const sy = img.clientHeight / h;
    strokeMeasureMarks(g, view.points.map(([x, y]) => [x * sx, y * sy]));
}

// The measure tool's marks on an overlay, as every panel draws them: a dot
// at each picked point and, with both, the line between them.
function strokeMeasureMarks(g, pts) {
    g.strokeStyle = '#fff';
    g.fillStyle = '#fff';
    g.lineWidth = 2;
    for (const [x, y] of pts) {
        g.beginPath();
        g.arc(x, y, 4, 0, 2 * Math.PI);
        g.fill();
    }
    if (pts.length === 2) {
        g.beginPath();
        g.moveTo(...pts[0]);
        g.lineTo(...pts[1]);
        g.stroke();
    }
}

function setUpMap() {
    const img = $('panel-map');
    let probing = false;
    img.addEventListener('mousemove', async (event) => {
        if (probing || !img.naturalWidth) return;
        probing = true;  // one probe in flight at a time
        const [x, y] = imagePoint(event);
        try {
            const p = await api(`/api/probe?x=${x.toFixed(1)}&y=${y.toFixed(1)}`);
            $('hover-readout').textContent = `(${Math.round(x)}, ${Math.round(y)}) disparity ${
                fmt(p.disparity_px, 2)} px · depth ${fmt(p.depth_m, 3)} m`;
        } catch (e) {
            // shown in the error line
        } finally {
            probing = false;
        }
    });
    $('measure-toggle').onclick = () => {
        view.measuring = !view.measuring;
        view.points = [];
        $('measure-toggle').classList.toggle('active', view.measuring);
        $('measure-result').textContent = view.measuring ? 'click two points on the map' : '';
        drawMarks();
    };
    img.addEventListener('click', async (event) => {
        if (!view.measuring) return;
        if (view.points.length === 2) view.points = [];
        view.points.push(imagePoint(event));
        drawMarks();
        if (view.points.length < 2) return;
        const [a, b] = view.points;
        try {
            const m = await api('/api/measure', {a, b});
            const out = $('measure-result');
            out.dataset.distance = m.distance_m ?? '';
            out.textContent = m.distance_m === null ?
                `no distance: ${m.reason}` :
                `distance ${m.distance_m.toFixed(3)} m (frame ${m.frame})`;
        } catch (e) {
            // shown in the error line
        }
    });
    $('map-kind').onchange = () => {
        const kind = $('map-kind').value;
        img.dataset.stream = `/stream/${kind}.mjpg`;
        img.closest('.map-wrap').dataset.kind = kind;
        startStream(img);
        if (view.state) applyState(view.state);
    };
    const threshold = $('confidence-threshold');
    threshold.addEventListener('input', () => {
        $('confidence-threshold-value').textContent = threshold.value;
    });
    threshold.addEventListener('change', () => {
        api('/api/confidence_threshold', {threshold: Number(threshold.value)})
            .then((s) => {
                threshold.blur();  // so that the next state shown is the server's
                applyState(s);
            })
            .catch(() => {});
    });
}

// --- recording and saving ---------------------------------------------------

function setUpRecording() {
    for (const action of ['start', 'pause', 'resume', 'stop']) {
        $(`record-${action}`).onclick = () => api('/api/record', {action}).catch(() => {});
    }
    $('save-frame').onclick = async () => {
        try {
            const saved = await api('/api/save', {});
            $('save-status').textContent = `saved ${(saved.files || []).join(', ')}`;
        } catch (e) {
            // shown in the error line
        }
    };
}

// --- image streams ---------------------------------------------------------

// Each stream asks for the width its panel shows in device pixels (the
// server encodes no more than that), rounded up as the server rounds it.
function streamUrl(img) {
    const px = Math.ceil((img.clientWidth || 640) * (window.devicePixelRatio || 1));
    return `${img.dataset.stream}?width=${Math.min(8192, Math.max(16, Math.ceil(px / 16) * 16))}`;
}

// (Re)opens a panel's stream when its address changes (first load, another
// map kind, a panel resized to another width); the old stream is closed.
function startStream(img) {
    const url = streamUrl(img);
    if (img.dataset.url === url) return;
    img.dataset.url = url;
    img.src = url;
}

async function main() {
    view.describe = await api('/api/describe');
    const s = view.describe.source;
    $('source-name').textContent = `${s.camera || s.kind}${s.serial ? ` (${s.serial})` : ''}`;
    fillBackends();
    const state = await api('/api/state');
    $('backend').value = state.backend;
    fillVariants(state.backend, state.variant);
    $('backend').onchange = () => {
        fillVariants($('backend').value);
        chooseBackend().catch(() => {});
    };
    $('variant').onchange = () => chooseBackend().catch(() => {});
    fillControls(await api('/api/controls'));
    applyState(state);
    setUpPlayback();
    setUpMap();
    setUpRecording();
    setUpCloud();
    listen();
    // Streams start once the page has loaded: an endless image would otherwise
    // keep the page loading forever.
    // A window being dragged resizes the panels many times a second: the
    // streams are re-asked once it has settled, not for every step.
    let settle = null;
    const resized = new ResizeObserver(() => {
        clearTimeout(settle);
        settle = setTimeout(() => {
            for (const img of document.querySelectorAll('img[data-stream]')) startStream(img);
        }, 300);
    });
    for (const img of document.querySelectorAll('img[data-stream]')) {
        // A refused or broken stream (the server's stream limit, a restart) is retried.
        img.addEventListener('error', () => {
            delete img.dataset.url;
            setTimeout(() => startStream(img), 1000);
        });
        startStream(img);
        resized.observe(img);
    }
    document.body.dataset.ready = 'yes';
}

main().catch((e) => showError(`the viewer could not start: ${e.message}`));
