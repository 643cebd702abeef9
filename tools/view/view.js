// tarvo view: fetches the newest frame as binary (long poll), draws depth, gray and the point
// cloud, shows the camera's status and sends the controls' changes with the run's token.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);

const state = {
  seq: 0, shown: 0, frame: null, lut: null, rays: null, raysFor: '',
  latency: 0,
};
window.tarvoView = state; // for tests and the console

// ---- Frames --------------------------------------------------------------------------------

// "TVF1", u32 seq, u16 width, u16 height, u16 index, u16 0, f64 capture ms, u16 depth mm[],
// u16 gray[]; little-endian.
function parseFrame(buffer) {
  const view = new DataView(buffer);
  if (buffer.byteLength < 24 || view.getUint32(0, false) !== 0x54564631) return null;
  const width = view.getUint16(8, true), height = view.getUint16(10, true);
  const pixels = width * height;
  if (buffer.byteLength !== 24 + 4 * pixels) return null;
  return {
    seq: view.getUint32(4, true), width, height, index: view.getUint16(12, true),
    capturedMs: view.getFloat64(16, true),
    depth: new Uint16Array(buffer, 24, pixels),
    gray: new Uint16Array(buffer, 24 + 2 * pixels, pixels),
  };
}

async function frameLoop() {
  for (;;) {
    try {
      const res = await fetch('/frame?after=' + state.seq, { cache: 'no-store' });
      if (res.status === 200) {
        const arrived = performance.now();
        const frame = parseFrame(await res.arrayBuffer());
        if (frame) {
          state.seq = frame.seq;
          state.frame = frame;
          state.shown++;
          draw(frame);
          // Capture to drawn: the frame's age when sent, plus reading and drawing it here.
          const age = parseFloat(res.headers.get('X-Frame-Age-Ms')) || 0;
          state.latency = 0.9 * state.latency + 0.1 * (age + performance.now() - arrived);
          $('st-latency').textContent = state.latency.toFixed(0);
        }
      } else if (res.status !== 204) {
        await sleep(500);
      }
    } catch (e) {
      await sleep(1000); // server gone or restarting
    }
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The colour map from near to far with the range's ends, under the depth image.
function drawLegend() {
  if (!state.lut) return;
  const canvas = $('legend'), ctx = canvas.getContext('2d');
  const img = ctx.createImageData(256, 1);
  for (let i = 0; i < 256; i++) {
    img.data.set([state.lut[3 * i], state.lut[3 * i + 1], state.lut[3 * i + 2], 255], 4 * i);
  }
  ctx.putImageData(img, 0, 0);
  const [lo, hi] = rangeMm();
  $('legend-near').textContent = (lo / 1000).toFixed(2) + ' m';
  $('legend-far').textContent = (hi / 1000).toFixed(2) + ' m';
}

function draw(frame) {
  $('st-frame').textContent = state.shown;
  drawDepth(frame);
  drawGray(frame);
  drawCloud(frame);
}

function rangeMm() {
  const lo = Math.max(0, parseFloat($('range-min').value) || 0) * 1000;
  const hi = Math.max(lo + 1, (parseFloat($('range-max').value) || 5) * 1000);
  return [lo, hi];
}

// The library's colour map (256 steps, near to far) for depth d in mm.
function colourIndex(d, lo, hi) {
  return Math.min(255, Math.max(0, Math.round(((d - lo) * 255) / (hi - lo))));
}

function imageFor(canvas, frame) {
  if (canvas.width !== frame.width || canvas.height !== frame.height) {
    canvas.width = frame.width;
    canvas.height = frame.height;
  }
  const ctx = canvas.getContext('2d');
  return [ctx, ctx.createImageData(frame.width, frame.height)];
}

function drawDepth(frame) {
  if (!state.lut) return;
  const [ctx, img] = imageFor($('depth'), frame);
  const [lo, hi] = rangeMm();
  const lut = state.lut, px = img.data;
  for (let i = 0; i < frame.depth.length; i++) {
    const d = frame.depth[i];
    if (d === 0) { px[4 * i + 3] = 255; continue; } // no distance: black
    const c = 3 * colourIndex(d, lo, hi);
    px[4 * i] = lut[c]; px[4 * i + 1] = lut[c + 1]; px[4 * i + 2] = lut[c + 2]; px[4 * i + 3] = 255;
  }
  ctx.putImageData(img, 0, 0);
}

function drawGray(frame) {
  const [ctx, img] = imageFor($('gray'), frame);
  let max = 1;
  for (const g of frame.gray) if (g > max) max = g;
  const px = img.data;
  for (let i = 0; i < frame.gray.length; i++) {
    const v = Math.round((frame.gray[i] * 255) / max);
    px[4 * i] = px[4 * i + 1] = px[4 * i + 2] = v; px[4 * i + 3] = 255;
  }
  ctx.putImageData(img, 0, 0);
}

// The distance under the cursor.
$('depth').addEventListener('mousemove', (e) => {
  const f = state.frame;
  if (!f) return;
  const r = e.target.getBoundingClientRect();
  const x = Math.floor(((e.clientX - r.left) * f.width) / r.width);
  const y = Math.floor(((e.clientY - r.top) * f.height) / r.height);
  if (x < 0 || y < 0 || x >= f.width || y >= f.height) return;
  const d = f.depth[y * f.width + x];
  $('cursor').textContent = `(${x}, ${y}): ` + (d ? (d / 1000).toFixed(3) + ' m' : 'no distance');
});

// ---- Point cloud ---------------------------------------------------------------------------

const cloud = { gl: null, prog: null, pos: null, col: null, count: 0,
  yaw: 0, pitch: 0, dist: 3, target: [0, 0, 2] };

function initCloud() {
  const gl = $('cloud').getContext('webgl', { preserveDrawingBuffer: true });
  if (!gl) { $('message').textContent = 'no WebGL: point cloud off'; return; }
  const vs = `attribute vec3 p; attribute vec3 c; uniform mat4 m; varying vec3 v;
    void main() { gl_Position = m * vec4(p, 1.0); gl_PointSize = 2.0; v = c; }`;
  const fs = `precision mediump float; varying vec3 v; void main() { gl_FragColor = vec4(v, 1.0); }`;
  const prog = gl.createProgram();
  for (const [type, src] of [[gl.VERTEX_SHADER, vs], [gl.FRAGMENT_SHADER, fs]]) {
    const s = gl.createShader(type);
    gl.shaderSource(s, src);
    gl.compileShader(s);
    gl.attachShader(prog, s);
  }
  gl.linkProgram(prog);
  Object.assign(cloud, { gl, prog, pos: gl.createBuffer(), col: gl.createBuffer() });
  gl.enable(gl.DEPTH_TEST);
  hookMouse($('cloud'));
}

function hookMouse(canvas) {
  let drag = null;
  canvas.addEventListener('contextmenu', (e) => e.preventDefault());
  canvas.addEventListener('mousedown', (e) => { drag = { x: e.clientX, y: e.clientY, pan: e.shiftKey || e.button === 2 }; });
  window.addEventListener('mouseup', () => { drag = null; });
  window.addEventListener('mousemove', (e) => {
    if (!drag) return;
    const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
    drag.x = e.clientX; drag.y = e.clientY;
    if (drag.pan) {
      const s = cloud.dist / 400;
      cloud.target[0] -= dx * s * Math.cos(cloud.yaw);
      cloud.target[2] -= dx * s * Math.sin(cloud.yaw);
      cloud.target[1] -= dy * s;
    } else {
      cloud.yaw += dx * 0.01;
      cloud.pitch = Math.max(-1.5, Math.min(1.5, cloud.pitch + dy * 0.01));
    }
    renderCloud();
  });
  canvas.addEventListener('wheel', (e) => {
    e.preventDefault();
    cloud.dist = Math.max(0.2, Math.min(50, cloud.dist * Math.exp(e.deltaY * 0.001)));
    renderCloud();
  }, { passive: false });
}

function mul(a, b) {
  const r = new Float32Array(16);
  for (let i = 0; i < 4; i++)
    for (let j = 0; j < 4; j++)
      for (let k = 0; k < 4; k++) r[j * 4 + i] += a[k * 4 + i] * b[j * 4 + k];
  return r;
}

// Column-major matrices; camera coordinates (x right, y down, z forward) into GL's.
function viewMatrix(aspect) {
  const f = 1 / Math.tan(0.5), n = 0.05, fa = 100;
  const proj = [f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (fa + n) / (n - fa), -1, 0, 0, (2 * fa * n) / (n - fa), 0];
  const back = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -cloud.dist, 1];
  const cp = Math.cos(cloud.pitch), sp = Math.sin(cloud.pitch);
  const cy = Math.cos(cloud.yaw), sy = Math.sin(cloud.yaw);
  const pitch = [1, 0, 0, 0, 0, cp, sp, 0, 0, -sp, cp, 0, 0, 0, 0, 1];
  const yaw = [cy, 0, -sy, 0, 0, 1, 0, 0, sy, 0, cy, 0, 0, 0, 0, 1];
  const t = cloud.target;
  const flip = [1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, -t[0], t[1], t[2], 1];
  return mul(proj, mul(back, mul(pitch, mul(yaw, flip))));
}

function drawCloud(frame) {
  const gl = cloud.gl, rays = state.rays;
  if (!gl || !rays || rays.width !== frame.width || rays.height !== frame.height || !state.lut) return;
  const [lo, hi] = rangeMm();
  const pos = new Float32Array(3 * frame.depth.length), col = new Float32Array(3 * frame.depth.length);
  let n = 0;
  for (let i = 0; i < frame.depth.length; i++) {
    const d = frame.depth[i];
    if (!d) continue;
    const m = d / 1000, c = 3 * colourIndex(d, lo, hi);
    pos[3 * n] = rays.xyz[3 * i] * m; pos[3 * n + 1] = rays.xyz[3 * i + 1] * m; pos[3 * n + 2] = rays.xyz[3 * i + 2] * m;
    col[3 * n] = state.lut[c] / 255; col[3 * n + 1] = state.lut[c + 1] / 255; col[3 * n + 2] = state.lut[c + 2] / 255;
    n++;
  }
  gl.bindBuffer(gl.ARRAY_BUFFER, cloud.pos);
  gl.bufferData(gl.ARRAY_BUFFER, pos.subarray(0, 3 * n), gl.DYNAMIC_DRAW);
  gl.bindBuffer(gl.ARRAY_BUFFER, cloud.col);
  gl.bufferData(gl.ARRAY_BUFFER, col.subarray(0, 3 * n), gl.DYNAMIC_DRAW);
  cloud.count = n;
  renderCloud();
}

function renderCloud() {
  const gl = cloud.gl;
  if (!gl) return;
  const canvas = gl.canvas;
  gl.viewport(0, 0, canvas.width, canvas.height);
  gl.clearColor(0, 0, 0, 1);
  gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
  if (!cloud.count) return;
  gl.useProgram(cloud.prog);
  gl.uniformMatrix4fv(gl.getUniformLocation(cloud.prog, 'm'), false, viewMatrix(canvas.width / canvas.height));
  for (const [name, buf] of [['p', cloud.pos], ['c', cloud.col]]) {
    const at = gl.getAttribLocation(cloud.prog, name);
    gl.bindBuffer(gl.ARRAY_BUFFER, buf);
    gl.enableVertexAttribArray(at);
    gl.vertexAttribPointer(at, 3, gl.FLOAT, false, 0, 0);
  }
  gl.drawArrays(gl.POINTS, 0, cloud.count);
}

// Turns the cloud by yaw and pitch radians (also for tests and the console).
state.turn = (yaw, pitch) => { cloud.yaw += yaw; cloud.pitch += pitch; renderCloud(); };

async function loadRays() {
  const res = await fetch('/rays', { cache: 'no-store' });
  if (!res.ok) return false;
  const buf = await res.arrayBuffer();
  const dims = new Uint16Array(buf, 0, 2);
  state.rays = { width: dims[0], height: dims[1], xyz: new Float32Array(buf, 4) };
  return true;
}

// ---- Status and controls -------------------------------------------------------------------

async function statusLoop() {
  for (;;) {
    try {
      const s = await (await fetch('/status', { cache: 'no-store' })).json();
      $('st-fps').textContent = s.fps.toFixed(1);
      $('st-dropped').textContent = s.dropped;
      $('st-discarded').textContent = s.discarded;
      // A camera on the bus tells none of these.
      const local = s.source === 'camera';
      $('st-tsensor').textContent = local ? s.sensor_temp.toFixed(1) : '-';
      $('st-tillum').textContent = local ? s.illumination_temp.toFixed(1) : '-';
      $('st-integration').textContent = local ? s.integration_us : '-';
      $('st-modulation').textContent = local ? s.modulation_khz : '-';
      showCamera(s.camera_note || s.camera, s.camera !== 'capturing');
      showSource(s);
      showRecording(s);
      state.status = s;
      if (!state.controlsLoaded) {
        state.controlsLoaded = true;
        $('auto_exposure').checked = s.auto_exposure;
        $('ae_target').value = s.ae_target;
        $('min_amplitude').value = s.min_amplitude;
        $('undistort').checked = s.undistort;
        $('hdr').checked = s.hdr;
        if (s.integration_us >= 0) $('integration').value = s.integration_us;
        if (s.frame_rate > 0) $('frame_rate').value = s.frame_rate;
        for (const id of ['ae_target', 'min_amplitude', 'integration', 'frame_rate'])
          accepted[id] = $(id).value;
      }
    } catch (e) {
      showCamera('viewer not answering', true); // server busy or gone: try again
    }
    await sleep(1000);
  }
}

// "camera left; waiting for it to return", "camera back, capture resumed" and the like.
function showCamera(text, away) {
  $('st-camera').textContent = text;
  $('st-camera').classList.toggle('away', away);
}

const cameraControls = ['auto_exposure', 'ae_target', 'min_amplitude', 'undistort', 'hdr',
  'integration', 'frame_rate'];

// A camera seen on the bus is set where it is published: its controls are off here.
function showSource(s) {
  const remote = s.source !== 'camera';
  $('st-source').textContent = s.source;
  $('source-box').hidden = !remote;
  for (const id of cameraControls) {
    $(id).disabled = remote;
    $(id).title = remote ? 'settings belong to the publishing camera' : '';
  }
}

// The record button: off without a recording folder (its tooltip says why), else start or stop.
function showRecording(s) {
  const button = $('record');
  button.disabled = !s.record_available;
  button.title = s.record_available ? '' : s.record_note;
  button.textContent = s.recording ? 'Stop recording' : 'Record';
  button.classList.toggle('recording', s.recording);
  const file = s.record_file.split('/').pop();
  $('record-state').textContent = s.recording
    ? `recording ${file}: ${s.recorded} frames`
    : (file ? `${s.record_note}: ${file}` : '');
  $('record-state').title = s.record_file;
}

async function toggleRecording() {
  const start = !(state.status && state.status.recording);
  const res = await fetch('/record', {
    method: 'POST',
    headers: { 'X-Tarvo-Token': token, 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ action: start ? 'start' : 'stop' }),
  });
  $('message').textContent = res.ok ? (start ? 'recording' : 'recording stopped')
    : `refused: ${reason(await res.text())}`;
  if (res.ok) {
    const answer = await res.json();
    state.status = Object.assign(state.status || {}, { recording: answer.recording });
    $('record').textContent = answer.recording ? 'Stop recording' : 'Record';
  }
}

// The last value the camera took for each number field, restored when a value is refused.
const accepted = {};

// A number field's value: refused here, with a message, unless it is a whole number in range.
function valid(input) {
  const v = input.value.trim(), n = Number(v);
  const label = input.closest('label').textContent.trim();
  if (v === '' || !Number.isInteger(n) || n < Number(input.min) || n > Number(input.max))
    return `${label}: ${input.min} to ${input.max}`;
  return '';
}

async function changeNumber(input) {
  const why = valid(input);
  const ok = !why && await send(input.id, input.value.trim());
  if (ok) {
    accepted[input.id] = input.value.trim();
  } else {
    if (why) $('message').textContent = `refused: ${why}`;
    if (input.id in accepted) input.value = accepted[input.id];
  }
  input.classList.toggle('refused', !ok);
}

async function send(key, value) {
  const res = await fetch('/control', {
    method: 'POST',
    headers: { 'X-Tarvo-Token': token, 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ [key]: value }),
  });
  $('message').textContent = res.ok ? `${key} set` : `refused: ${reason(await res.text())}`;
  if (res.ok && key === 'undistort') { state.rays = null; await loadRays(); }
  return res.ok;
}

// The refusal's text: plain, or the "error" of a JSON answer (the camera is away).
function reason(text) {
  try { return JSON.parse(text).error || text.trim(); } catch (e) { return text.trim(); }
}

function hookControls() {
  for (const id of ['auto_exposure', 'undistort', 'hdr'])
    $(id).addEventListener('change', (e) => send(id, e.target.checked ? '1' : '0'));
  for (const id of ['ae_target', 'min_amplitude', 'integration', 'frame_rate']) {
    accepted[id] = $(id).value;
    $(id).addEventListener('change', (e) => changeNumber(e.target));
  }
  for (const id of ['range-min', 'range-max'])
    $(id).addEventListener('input', () => { drawLegend(); if (state.frame) draw(state.frame); });
  $('save-png').addEventListener('click', () => {
    $('depth').toBlob((blob) => download(blob, 'tarvo-depth.png'), 'image/png');
  });
  $('save-ply').addEventListener('click', () => { location.href = '/cloud.ply'; });
  $('record').addEventListener('click', toggleRecording);
}

function download(blob, name) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 1000);
}

async function main() {
  state.lut = new Uint8Array(await (await fetch('/cmap')).arrayBuffer());
  drawLegend();
  initCloud();
  hookControls();
  statusLoop();
  frameLoop();
  while (!state.rays) if (!(await loadRays())) await sleep(500);
}

main();
