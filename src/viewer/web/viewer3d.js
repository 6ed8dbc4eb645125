// The 3-D panel: the packet on display as a coloured point cloud, in plain
// WebGL2. Point frames arrive on one binary stream (/stream/points.bin; the
// layout is ViewerSession::wait_points's): depth in millimetres on a grid,
// the colours and the rectified left camera, which the vertex shader turns
// into points. Only the newest frame is kept: one that arrives before the
// last was drawn replaces it, so a browser that cannot keep up drops frames
// and never queues them. Measuring picks the frame pixels of two points and
// asks /api/measure, as the depth panel does.
'use strict';

const POINTS_HEADER_BYTES = 64;
const POINTS_MAGIC = 'KVP1';
const BACKGROUND = [0.086, 0.094, 0.11];

const POINTS_VERTEX_SHADER = `#version 300 es
in float a_depth;
in vec3 a_colour;
uniform mat4 u_mvp;
uniform vec4 u_camera;  // fx, fy, cx, cy in frame pixels
uniform vec3 u_grid;    // columns, step, metres per depth unit
uniform vec2 u_clip;    // the nearest and farthest depth shown
uniform float u_size;
out vec3 v_colour;
void main() {
    float z = a_depth * u_grid.z;
    if (a_depth == 0.0 || z < u_clip.x || z > u_clip.y) {
        gl_Position = vec4(2.0, 2.0, 2.0, 1.0);  // outside the view: not drawn
        gl_PointSize = 1.0;
        return;
    }
    int columns = int(u_grid.x);
    vec2 px = vec2(float(gl_VertexID % columns), float(gl_VertexID / columns)) * u_grid.y;
    // The camera's x right, y down, z forward as GL's x right, y up, z back.
    vec3 p = vec3((px.x - u_camera.z) * z / u_camera.x, -(px.y - u_camera.w) * z / u_camera.y, -z);
    gl_Position = u_mvp * vec4(p, 1.0);
    gl_PointSize = u_size;
    v_colour = a_colour;
}`;

const POINTS_FRAGMENT_SHADER = `#version 300 es
precision mediump float;
in vec3 v_colour;
out vec4 colour;
void main() { colour = vec4(v_colour, 1.0); }`;

// --- 4x4 matrices, column-major as GL takes them ----------------------------

function perspective(fovy, aspect, near, far) {
    const f = 1 / Math.tan(fovy / 2);
    const m = new Float32Array(16);
    m[0] = f / aspect;
    m[5] = f;
    m[10] = (far + near) / (near - far);
    m[11] = -1;
    m[14] = (2 * far * near) / (near - far);
    return m;
}

function sub3(a, b) { return [a[0] - b[0], a[1] - b[1], a[2] - b[2]]; }
function cross3(a, b) {
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
}
function unit3(a) {
    const n = Math.hypot(a[0], a[1], a[2]) || 1;
    return [a[0] / n, a[1] / n, a[2] / n];
}
function dot3(a, b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

function lookAt(eye, target, up) {
    const z = unit3(sub3(eye, target));
    const x = unit3(cross3(up, z));
    const y = cross3(z, x);
    return new Float32Array([
        x[0], y[0], z[0], 0, x[1], y[1], z[1], 0, x[2], y[2], z[2], 0, -dot3(x, eye), -dot3(y, eye),
        -dot3(z, eye), 1
    ]);
}

function multiply(a, b) {
    const m = new Float32Array(16);
    for (let c = 0; c < 4; ++c)
        for (let r = 0; r < 4; ++r) {
            let s = 0;
            for (let k = 0; k < 4; ++k) s += a[k * 4 + r] * b[c * 4 + k];
            m[c * 4 + r] = s;
        }
    return m;
}

// --- point frames -----------------------------------------------------------

function parsePointFrame(bytes) {
    const d = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const columns = d.getUint16(24, true), rows = d.getUint16(26, true);
    const n = columns * rows;
    if (bytes.byteLength !== POINTS_HEADER_BYTES + 5 * n) throw new Error('a damaged point frame');
    const frame = Number(d.getBigInt64(8, true));
    return {
        frame: frame < 0 ? null : frame,
        generation: Number(d.getBigUint64(16, true)),
        columns,
        rows,
        step: d.getUint16(28, true),
        hasConfidence: (d.getUint16(30, true) & 1) !== 0,
        hasDepth: (d.getUint16(30, true) & 2) !== 0,
        camera: [
            d.getFloat32(32, true), d.getFloat32(36, true), d.getFloat32(40, true),
            d.getFloat32(44, true)
        ],
        unit: d.getFloat32(48, true),
        nearest: d.getFloat32(52, true),
        farthest: d.getFloat32(56, true),
        valid: d.getUint32(60, true),
        depth: new Uint16Array(bytes.buffer, bytes.byteOffset + POINTS_HEADER_BYTES, n),
        rgb: new Uint8Array(bytes.buffer, bytes.byteOffset + POINTS_HEADER_BYTES + 2 * n, 3 * n),
    };
}

// Cuts the stream's bytes into whole point frames; `feed` returns the newest
// frame the chunk completed (older ones are dropped), or null.
class PointFrameReader {
    constructor() {
        this.head = new Uint8Array(8);
        this.headFilled = 0;
        this.frame = null;
        this.filled = 0;
    }

    feed(chunk) {
        let at = 0;
        let newest = null;
        while (at < chunk.length) {
            if (!this.frame) {
                const n = Math.min(8 - this.headFilled, chunk.length - at);
                this.head.set(chunk.subarray(at, at + n), this.headFilled);
                this.headFilled += n;
                at += n;
                if (this.headFilled < 8) break;
                if (String.fromCharCode(...this.head.subarray(0, 4)) !== POINTS_MAGIC)
                    throw new Error('the point stream is not in step');
                const size = new DataView(this.head.buffer).getUint32(4, true);
                if (size < POINTS_HEADER_BYTES) throw new Error('the point stream is not in step');
                this.frame = new Uint8Array(size);
                this.frame.set(this.head);
                this.filled = 8;
                this.headFilled = 0;
            }
            const n = Math.min(this.frame.length - this.filled, chunk.length - at);
            this.frame.set(chunk.subarray(at, at + n), this.filled);
            this.filled += n;
            at += n;
            if (this.filled === this.frame.length) {
                newest = this.frame;
                this.frame = null;
            }
        }
        return newest;
    }
}

// --- the panel --------------------------------------------------------------

const cloud = {
    gl: null,
    program: null,
    buffers: null,
    shown: null,  // the frame drawn
    next: null,   // the newest frame not yet drawn
    drawPending: false,
    orbit: {yaw: 0, pitch: 0, distance: 1, target: [0, 0, -1]},
    placed: false,  // the view was set from a frame
    measuring: false,
    picks: [],     // [{pixel: [x, y], p: [x, y, z]}]
    stream: null,  // AbortController of the open stream
    streamUrl: '',
};

function cloudCanvas() { return $('cloud-canvas'); }

function compile(gl, type, source) {
    const shader = gl.createShader(type);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS))
        throw new Error(`a WebGL shader did not compile: ${gl.getShaderInfoLog(shader)}`);
    return shader;
}

function setUpGl() {
    // Kept after drawing, so that a screenshot or a test reads what is shown.
    const gl = cloudCanvas().getContext('webgl2', {preserveDrawingBuffer: true, antialias: false});
    if (!gl) throw new Error('this browser has no WebGL2: the 3-D panel cannot draw');
    const program = gl.createProgram();
    gl.attachShader(program, compile(gl, gl.VERTEX_SHADER, POINTS_VERTEX_SHADER));
    gl.attachShader(program, compile(gl, gl.FRAGMENT_SHADER, POINTS_FRAGMENT_SHADER));
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS))
        throw new Error(`the WebGL program did not link: ${gl.getProgramInfoLog(program)}`);
    cloud.gl = gl;
    cloud.program = program;
    cloud.buffers = {depth: gl.createBuffer(), rgb: gl.createBuffer()};
    const vao = gl.createVertexArray();
    gl.bindVertexArray(vao);
    const depthAt = gl.getAttribLocation(program, 'a_depth');
    gl.bindBuffer(gl.ARRAY_BUFFER, cloud.buffers.depth);
    gl.enableVertexAttribArray(depthAt);
    gl.vertexAttribPointer(depthAt, 1, gl.UNSIGNED_SHORT, false, 0, 0);
    const colourAt = gl.getAttribLocation(program, 'a_colour');
    gl.bindBuffer(gl.ARRAY_BUFFER, cloud.buffers.rgb);
    gl.enableVertexAttribArray(colourAt);
    gl.vertexAttribPointer(colourAt, 3, gl.UNSIGNED_BYTE, true, 0, 0);
}

function clipRange() { return [Number($('cloud-near').value), Number($('cloud-far').value)]; }

// The vertical field of view of the rectified left camera, so that the reset
// view shows the scene as the left image does.
function fieldOfView(f) {
    return f && f.camera[1] > 0 ? 2 * Math.atan((f.rows * f.step) / 2 / f.camera[1]) : 1;
}

function eyePosition() {
    const o = cloud.orbit;
    const c = Math.cos(o.pitch);
    return [
        o.target[0] + o.distance * Math.sin(o.yaw) * c,
        o.target[1] + o.distance * Math.sin(o.pitch), o.target[2] + o.distance * Math.cos(o.yaw) * c
    ];
}

function viewProjection() {
    const canvas = cloudCanvas();
    const f = cloud.shown;
    const far = Math.max(10, 2 * ((f && f.farthest) || 0) + 2 * cloud.orbit.distance);
    const projection =
        perspective(fieldOfView(f), canvas.width / Math.max(1, canvas.height), 0.01, far);
    return multiply(projection, lookAt(eyePosition(), cloud.orbit.target, [0, 1, 0]));
}

// The view from the left camera, turning about the middle of the scene.
function resetView() {
    const f = cloud.shown;
    const middle = f && f.valid ? (f.nearest + f.farthest) / 2 : 1;
    cloud.orbit = {yaw: 0, pitch: 0, distance: middle, target: [0, 0, -middle]};
    requestCloudDraw();
}

// The depth clip's sliders reach a little beyond the farthest point seen.
function fitClipSliders(f) {
    const near = $('cloud-near'), far = $('cloud-far');
    const reach = Math.max(0.5, Math.ceil((f.farthest * 1.1) / 0.5) * 0.5);
    if (reach <= Number(far.max)) return;
    const wasOpen = Number(far.value) >= Number(far.max);
    near.max = far.max = reach;
    if (wasOpen || !cloud.placed) far.value = reach;
    showClip();
}

function showClip() {
    const [near, far] = clipRange();
    $('cloud-near-value').textContent = `${near.toFixed(2)} m`;
    $('cloud-far-value').textContent = `${far.toFixed(2)} m`;
}

function requestCloudDraw() {
    if (cloud.drawPending) return;
    cloud.drawPending = true;
    requestAnimationFrame(drawCloud);
}

function sizeCanvas() {
    const canvas = cloudCanvas();
    const ratio = window.devicePixelRatio || 1;
    const w = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const h = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== w || canvas.height !== h) {
        canvas.width = w;
        canvas.height = h;
    }
}

function drawCloud() {
    cloud.drawPending = false;
    const gl = cloud.gl;
    if (!gl) return;
    if (cloud.next) {
        // Only the newest frame reaches the GPU; those before it were dropped.
        const f = cloud.next;
        cloud.next = null;
        gl.bindBuffer(gl.ARRAY_BUFFER, cloud.buffers.depth);
        gl.bufferData(gl.ARRAY_BUFFER, f.depth, gl.STREAM_DRAW);
        gl.bindBuffer(gl.ARRAY_BUFFER, cloud.buffers.rgb);
        gl.bufferData(gl.ARRAY_BUFFER, f.rgb, gl.STREAM_DRAW);
        cloud.shown = f;
        if (f.valid) fitClipSliders(f);
        if (!cloud.placed && f.valid) {
            resetView();
            cloud.placed = true;
        }
        showCloudFrame(f);
    }
    sizeCanvas();
    const canvas = cloudCanvas();
    gl.viewport(0, 0, canvas.width, canvas.height);
    gl.clearColor(...BACKGROUND, 1);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    const f = cloud.shown;
    if (f && f.columns * f.rows > 0) {
        gl.enable(gl.DEPTH_TEST);
        gl.useProgram(cloud.program);
        const at = (name) => gl.getUniformLocation(cloud.program, name);
        gl.uniformMatrix4fv(at('u_mvp'), false, viewProjection());
        gl.uniform4fv(at('u_camera'), f.camera);
        gl.uniform3f(at('u_grid'), f.columns, f.step, f.unit);
        gl.uniform2fv(at('u_clip'), clipRange());
        gl.uniform1f(at('u_size'), Number($('cloud-size').value) * (window.devicePixelRatio || 1));
        gl.drawArrays(gl.POINTS, 0, f.columns * f.rows);
    }
    drawPicks();
    const o = cloud.orbit;
    canvas.dataset.yaw = o.yaw.toFixed(4);
    canvas.dataset.pitch = o.pitch.toFixed(4);
    canvas.dataset.distance = o.distance.toFixed(4);
}

function showCloudFrame(f) {
    const canvas = cloudCanvas();
    canvas.dataset.frame = f.frame ?? '';
    canvas.dataset.generation = f.generation;
    canvas.dataset.points = f.valid;
    $('cloud-threshold-box').hidden = !f.hasConfidence;
    $('cloud-status').textContent = !f.hasDepth ?
        'no depth (no calibration or back-end map)' :
        `${f.valid} points · frame ${f.frame ?? '–'} · ${f.columns}×${f.rows} grid`;
}

// --- picking and measuring --------------------------------------------------

// Where 3-D point `p` lands on the canvas, in CSS pixels; null behind the eye.
function toScreen(m, p) {
    const x = m[0] * p[0] + m[4] * p[1] + m[8] * p[2] + m[12];
    const y = m[1] * p[0] + m[5] * p[1] + m[9] * p[2] + m[13];
    const w = m[3] * p[0] + m[7] * p[1] + m[11] * p[2] + m[15];
    if (w <= 1e-6) return null;
    const canvas = cloudCanvas();
    return [((x / w + 1) / 2) * canvas.clientWidth, ((1 - y / w) / 2) * canvas.clientHeight];
}

// The drawn point nearest to (sx, sy) on the canvas (CSS pixels), with its
// frame pixel; null when none lies within a few pixels.
function pickPoint(sx, sy) {
    const f = cloud.shown;
    if (!f) return null;
    const m = viewProjection();
    const [near, far] = clipRange();
    const [fx, fy, cx, cy] = f.camera;
    const reach = Math.max(6, Number($('cloud-size').value));
    let best = null, bestD2 = reach * reach;
    for (let k = 0; k < f.depth.length; ++k) {
        const z = f.depth[k] * f.unit;
        if (f.depth[k] === 0 || z < near || z > far) continue;
        const px = (k % f.columns) * f.step, py = Math.floor(k / f.columns) * f.step;
        const p = [((px - cx) * z) / fx, (-(py - cy) * z) / fy, -z];
        const s = toScreen(m, p);
        if (!s) continue;
        const d2 = (s[0] - sx) ** 2 + (s[1] - sy) ** 2;
        if (d2 < bestD2) {
            bestD2 = d2;
            best = {pixel: [px, py], p};
        }
    }
    return best;
}

function drawPicks() {
    const canvas = cloudCanvas(), overlay = $('cloud-overlay');
    overlay.width = canvas.clientWidth;
    overlay.height = canvas.clientHeight;
    const g = overlay.getContext('2d');
    g.clearRect(0, 0, overlay.width, overlay.height);
    if (!cloud.picks.length) return;
    const m = viewProjection();
    strokeMeasureMarks(g, cloud.picks.map((p) => toScreen(m, p.p)).filter((s) => s));
}

async function pickForMeasure(sx, sy) {
    const out = $('cloud-measure-result');
    const picked = pickPoint(sx, sy);
    if (!picked) {
        out.textContent = 'no point there: click on the cloud';
        return;
    }
    if (cloud.picks.length === 2) cloud.picks = [];
    cloud.picks.push(picked);
    requestCloudDraw();
    if (cloud.picks.length < 2) {
        out.textContent = `point at pixel (${picked.pixel.join(', ')}); click a second one`;
        return;
    }
    const [a, b] = cloud.picks.map((p) => p.pixel);
    out.dataset.pixels = JSON.stringify([a, b]);
    try {
        const m = await api('/api/measure', {a, b});
        out.dataset.distance = m.distance_m ?? '';
        out.textContent = m.distance_m === null ?
            `no distance: ${m.reason}` :
            `distance ${m.distance_m.toFixed(3)} m (frame ${m.frame})`;
    } catch (e) {
        // shown in the error line
    }
}

// --- mouse and touch --------------------------------------------------------

function setUpCloudPointer() {
    const canvas = cloudCanvas();
    const pointers = new Map();  // id -> [x, y]
    let moved = 0, panning = false;
    const spread = () => {
        const [a, b] = [...pointers.values()];
        return {
            mid: [(a[0] + b[0]) / 2, (a[1] + b[1]) / 2],
            span: Math.hypot(a[0] - b[0], a[1] - b[1])
        };
    };
    const pan = (dx, dy) => {
        const o = cloud.orbit;
        const scale =
            (2 * Math.tan(fieldOfView(cloud.shown) / 2) * o.distance) / canvas.clientHeight;
        const eye = eyePosition();
        const forward = unit3(sub3(o.target, eye));
        const right = unit3(cross3(forward, [0, 1, 0]));
        const up = cross3(right, forward);
        for (let i = 0; i < 3; ++i) o.target[i] += (-dx * right[i] + dy * up[i]) * scale;
    };
    canvas.addEventListener('contextmenu', (e) => e.preventDefault());
    canvas.addEventListener('pointerdown', (e) => {
        canvas.setPointerCapture(e.pointerId);
        pointers.set(e.pointerId, [e.offsetX, e.offsetY]);
        if (pointers.size === 1) {
            moved = 0;
            panning = e.button === 2 || e.shiftKey;
        }
    });
    canvas.addEventListener('pointermove', (e) => {
        const last = pointers.get(e.pointerId);
        if (!last) return;
        const before = pointers.size === 2 ? spread() : null;
        pointers.set(e.pointerId, [e.offsetX, e.offsetY]);
        const dx = e.offsetX - last[0], dy = e.offsetY - last[1];
        moved += Math.abs(dx) + Math.abs(dy);
        const o = cloud.orbit;
        if (before) {
            // Two fingers: pinch to zoom, move together to pan.
            const after = spread();
            if (after.span > 0 && before.span > 0) o.distance *= before.span / after.span;
            pan(after.mid[0] - before.mid[0], after.mid[1] - before.mid[1]);
        } else if (panning) {
            pan(dx, dy);
        } else {
            o.yaw -= dx * 0.01;
            o.pitch = Math.max(-1.5, Math.min(1.5, o.pitch + dy * 0.01));
        }
        requestCloudDraw();
    });
    const release = (e) => {
        const single = pointers.size === 1;
        pointers.delete(e.pointerId);
        // A click (not a drag) picks a point to measure.
        if (e.type === 'pointerup' && single && moved < 5 && cloud.measuring)
            pickForMeasure(e.offsetX, e.offsetY);
    };
    canvas.addEventListener('pointerup', release);
    canvas.addEventListener('pointercancel', release);
    canvas.addEventListener('wheel', (e) => {
        e.preventDefault();
        cloud.orbit.distance = Math.max(0.01, cloud.orbit.distance * Math.exp(e.deltaY * 0.001));
        requestCloudDraw();
    }, {passive: false});
}

// --- the stream -------------------------------------------------------------

// Half a point per device pixel across: points are drawn two pixels wide.
function pointsUrl() {
    const px = ((cloudCanvas().clientWidth || 640) * (window.devicePixelRatio || 1)) / 2;
    return `/stream/points.bin?width=${Math.min(8192, Math.max(16, Math.ceil(px / 16) * 16))}`;
}

async function readPoints(url, signal) {
    const res = await fetch(url, {signal, cache: 'no-store'});
    if (!res.ok) {
        const data = await res.json().catch(() => ({}));
        throw new Error(data.error || `${res.status} ${res.statusText}`);
    }
    const reader = res.body.getReader();
    const frames = new PointFrameReader();
    for (;;) {
        const {done, value} = await reader.read();
        if (done) throw new Error('the point stream ended');
        const newest = frames.feed(value);
        if (newest) {
            cloud.next = parsePointFrame(newest);
            requestCloudDraw();
        }
    }
}

// (Re)opens the stream when the panel is on and its width changes; a refused
// or broken stream (the server's stream limit, a restart) is retried.
function startPoints() {
    const on = $('cloud-on').checked;
    const url = pointsUrl();
    if (cloud.stream && (!on || cloud.streamUrl !== url)) {
        cloud.stream.abort();
        cloud.stream = null;
    }
    if (!on || cloud.stream) return;
    const stream = new AbortController();
    cloud.stream = stream;
    cloud.streamUrl = url;
    readPoints(url, stream.signal).catch((e) => {
        if (stream.signal.aborted) return;
        $('cloud-status').textContent = `3-D stream: ${e.message}; retrying…`;
        cloud.stream = null;
        setTimeout(startPoints, 1000);
    });
}

// Called with each state the page receives.
function cloudState(s) {
    const threshold = $('cloud-threshold');
    if (s.confidence_threshold !== undefined && document.activeElement !== threshold) {
        threshold.value = s.confidence_threshold;
        $('cloud-threshold-value').textContent = s.confidence_threshold;
    }
}

function setUpCloud() {
    try {
        setUpGl();
    } catch (e) {
        $('cloud-status').textContent = e.message;
        return;
    }
    setUpCloudPointer();
    for (const id of ['cloud-size', 'cloud-near', 'cloud-far']) {
        $(id).addEventListener('input', () => {
            $('cloud-size-value').textContent = $('cloud-size').value;
            showClip();
            requestCloudDraw();
        });
    }
    showClip();
    $('cloud-reset').onclick = resetView;
    $('cloud-measure').onclick = () => {
        cloud.measuring = !cloud.measuring;
        cloud.picks = [];
        $('cloud-measure').classList.toggle('active', cloud.measuring);
        $('cloud-measure-result').textContent =
            cloud.measuring ? 'click two points of the cloud' : '';
        requestCloudDraw();
    };
    const threshold = $('cloud-threshold');
    threshold.addEventListener('input', () => {
        $('cloud-threshold-value').textContent = threshold.value;
    });
    // The same threshold as the map panels': the server applies it to both.
    threshold.addEventListener('change', () => {
        api('/api/confidence_threshold', {threshold: Number(threshold.value)})
            .then((s) => {
                threshold.blur();
                applyState(s);
            })
            .catch(() => {});
    });
    $('cloud-on').onchange = () => {
        startPoints();
        if (!$('cloud-on').checked) $('cloud-status').textContent = '3-D view off';
    };
    let settle = null;
    new ResizeObserver(() => {
        requestCloudDraw();
        clearTimeout(settle);
        settle = setTimeout(startPoints, 300);
    }).observe(cloudCanvas());
    startPoints();
}
