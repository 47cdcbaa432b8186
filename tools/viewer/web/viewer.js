// The tarvo viewer page: frames from the WebSocket /ws (layout in
// docs/viewer.md), drawn as a colour-mapped distance image, a gray image
// and a three.js point cloud; switches and buttons call /api/.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

const $ = (id) => document.getElementById(id);
const HEADER = 64;
const LOW_AMP = 65300, SATURATED = 65400, ADC_LIMIT = 65500;

// What the tests and the figures read.
const viewer = { drawn: 0, received: 0, missed: 0, lastCounter: 0, frame: null };
window.viewer = viewer;

// ---- frames ---------------------------------------------------------------

function parseFrame(buf) {
  const dv = new DataView(buf);
  const magic = String.fromCharCode(dv.getUint8(0), dv.getUint8(1), dv.getUint8(2), dv.getUint8(3));
  if (magic !== 'TVFR' || dv.getUint16(4, true) !== 1) return null;
  const headerBytes = dv.getUint16(6, true);
  const w = dv.getUint16(8, true), h = dv.getUint16(10, true);
  const flags = dv.getUint16(18, true);
  const f = {
    width: w, height: h,
    counter: dv.getUint32(12, true),
    cameraIndex: dv.getUint16(16, true),
    fps: dv.getFloat32(24, true),
    streamDrops: dv.getUint32(28, true),
    lostDrops: dv.getUint32(32, true),
    sensorTemp: dv.getInt16(36, true),
    ibTemp: dv.getInt16(38, true),
    integration: dv.getUint16(40, true),
    raysVersion: dv.getUint16(42, true),
    decodeMs: dv.getFloat32(44, true),
    timeMs: dv.getUint32(48, true),
  };
  const px = w * h;
  let off = headerBytes;
  f.dist = new Uint16Array(buf.slice(off, off + 2 * px)); off += 2 * px;
  f.gray = null;
  if (flags & 1) f.gray = new Uint16Array(buf.slice(off, off + 2 * px));
  return f;
}

// ---- 2D images ------------------------------------------------------------

let palette = null;  // Uint32Array of 0x00BBGGRR
fetch('/api/palette').then((r) => r.arrayBuffer()).then((b) => { palette = new Uint32Array(b); });

// The library's colour lookup: near red, far blue, fixed colours for the
// invalid codes, black outside the range.
function colourOf(mm, lo, hi, scale) {
  if (mm === LOW_AMP) return 0;
  if (mm === SATURATED) return 0x8000FF;
  if (mm === ADC_LIMIT) return 0xFF0EA9;
  if (mm < lo || mm > hi) return 0;
  const n = palette.length;
  let i = n - Math.trunc(Math.fround(mm - lo) * scale);
  if (i <= 0) i = 0; else if (i >= n) i = n - 1;
  return palette[i];
}

function range() {
  let lo = Math.trunc(1000 * parseFloat($('range-min').value || '0'));
  let hi = Math.trunc(1000 * parseFloat($('range-max').value || '5'));
  if (lo > hi) [lo, hi] = [hi, lo];
  return { lo, hi, scale: hi > lo ? Math.fround(palette.length / (hi - lo)) : palette.length };
}

function grayMax(f) {
  const set = parseFloat($('gray-max').value || '0');
  if (set > 0) return set;
  let m = 1;
  for (let i = 0; i < f.gray.length; i++) if (f.gray[i] > m) m = f.gray[i];
  return m;
}

function drawImages(f) {
  const px = f.width * f.height;
  for (const id of ['dist', 'gray', 'roi-overlay']) {
    const c = $(id);
    if (c.width !== f.width || c.height !== f.height) { c.width = f.width; c.height = f.height; }
  }
  const r = range();
  const d = $('dist').getContext('2d');
  const di = d.createImageData(f.width, f.height);
  const out = new Uint32Array(di.data.buffer);
  for (let i = 0; i < px; i++) out[i] = 0xFF000000 | colourOf(f.dist[i], r.lo, r.hi, r.scale);
  d.putImageData(di, 0, 0);
  if (f.gray) {
    const g = $('gray').getContext('2d');
    const gi = g.createImageData(f.width, f.height);
    const go = new Uint32Array(gi.data.buffer);
    const k = 255 / grayMax(f);
    for (let i = 0; i < px; i++) {
      const v = Math.min(255, Math.round(f.gray[i] * k));
      go[i] = 0xFF000000 | (v << 16) | (v << 8) | v;
    }
    g.putImageData(gi, 0, 0);
  }
  drawRoi(f);
}

// ---- the pixel under the pointer ------------------------------------------

let pointer = null;  // {u, v}
function describe(f, u, v) {
  const i = v * f.width + u;
  const mm = f.dist[i];
  const amp = f.gray ? `, amplitude ${f.gray[i]}` : '';
  let what;
  if (mm === LOW_AMP) what = 'no distance (low amplitude)';
  else if (mm === SATURATED) what = 'no distance (saturated)';
  else if (mm === ADC_LIMIT) what = 'no distance (ADC limit)';
  else if (mm === 0 || mm >= 60000) what = 'no distance';
  else what = `${mm} mm`;
  return `u ${u} v ${v}: ${what}${amp}`;
}
function showPixel() {
  if (pointer && viewer.frame) $('pixel').textContent = describe(viewer.frame, pointer.u, pointer.v);
}
for (const id of ['roi-overlay', 'gray']) {
  const el = $(id);
  el.addEventListener('mousemove', (e) => {
    const f = viewer.frame;
    if (!f) return;
    const b = el.getBoundingClientRect();
    const u = Math.floor((e.clientX - b.left) * f.width / b.width);
    const v = Math.floor((e.clientY - b.top) * f.height / b.height);
    if (u < 0 || v < 0 || u >= f.width || v >= f.height) return;
    pointer = { u, v };
    showPixel();
  });
}

// ---- the point cloud ------------------------------------------------------

const cloudEl = $('cloud');
const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setSize(cloudEl.clientWidth, cloudEl.clientHeight);
cloudEl.appendChild(renderer.domElement);
const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(60, cloudEl.clientWidth / cloudEl.clientHeight, 0.01, 100);
const controls = new OrbitControls(camera, renderer.domElement);
let geometry = null, cloud = null, aimed = false;

function ensureGeometry(n) {
  if (geometry && geometry.userData.capacity >= n) return;
  if (cloud) { scene.remove(cloud); geometry.dispose(); }
  geometry = new THREE.BufferGeometry();
  geometry.userData.capacity = n;
  geometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(3 * n), 3));
  geometry.setAttribute('color', new THREE.BufferAttribute(new Float32Array(3 * n), 3));
  cloud = new THREE.Points(geometry, new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: true }));
  scene.add(cloud);
}

// The library's point of every pixel at 1 m (GET /api/rays); a pixel's
// point is its ray scaled by its distance. Fetched again when the frames
// name a newer table (another size, undistortion switched).
let rays = null, raysFetching = false;
async function fetchRays() {
  raysFetching = true;
  try {
    const b = await (await fetch('/api/rays')).arrayBuffer();
    const dv = new DataView(b);
    rays = { width: dv.getUint16(0, true), height: dv.getUint16(2, true), version: dv.getUint16(4, true),
      valid: dv.getUint16(6, true) === 1, xyz: new Float32Array(b.slice(8)) };
  } catch (e) { /* tried again with the next frame */ }
  raysFetching = false;
}

function drawCloud(f) {
  if (!rays || rays.version !== f.raysVersion || rays.width !== f.width) {
    if (!raysFetching) fetchRays();
    if (!rays || rays.width !== f.width || rays.height !== f.height) return;
  }
  ensureGeometry(f.width * f.height);
  const pos = geometry.attributes.position.array, col = geometry.attributes.color.array;
  const byGray = $('cloud-colour').value === 'gray' && f.gray;
  const r = range();
  const gk = f.gray ? 1 / grayMax(f) : 0;
  const ray = rays.xyz;
  // Camera coordinates (x right, y down, z ahead) become three.js's
  // (x, -y, -z); metres.
  let n = 0, sz = 0;
  for (let i = 0; i < f.dist.length; i++) {
    const mm = f.dist[i];
    if (mm === 0 || mm >= 60000 || !rays.valid) continue;
    const z = ray[3 * i + 2];
    if (Number.isNaN(z)) continue;
    const d = mm / 1000;
    pos[3 * n] = d * ray[3 * i]; pos[3 * n + 1] = -d * ray[3 * i + 1]; pos[3 * n + 2] = -d * z;
    sz += d * z;
    if (byGray) {
      const v = Math.min(1, f.gray[i] * gk);
      col[3 * n] = col[3 * n + 1] = col[3 * n + 2] = v;
    } else {
      const c = colourOf(mm, r.lo, r.hi, r.scale);
      col[3 * n] = (c & 0xFF) / 255; col[3 * n + 1] = ((c >> 8) & 0xFF) / 255; col[3 * n + 2] = ((c >> 16) & 0xFF) / 255;
    }
    n++;
  }
  viewer.cloudPoints = n;
  geometry.setDrawRange(0, n);
  geometry.attributes.position.needsUpdate = true;
  geometry.attributes.color.needsUpdate = true;
  if (!aimed && n > 0) {
    // Look from the camera's place at the middle of the first cloud.
    const depth = sz / n;
    camera.position.set(0, 0, 0.3);
    controls.target.set(0, 0, -depth);
    controls.update();
    aimed = true;
  }
  renderer.render(scene, camera);
}
controls.addEventListener('change', () => renderer.render(scene, camera));

// ---- figures --------------------------------------------------------------

let pageFrames = 0, pageT0 = performance.now();
function showFigures(f) {
  $('fps').textContent = f.fps.toFixed(1);
  const now = performance.now();
  pageFrames++;
  if (now - pageT0 >= 1000) {
    $('page-fps').textContent = (pageFrames * 1000 / (now - pageT0)).toFixed(1);
    pageFrames = 0; pageT0 = now;
  }
  $('drops').textContent = `${viewer.missed} page busy, ${f.streamDrops} stream errors, ` +
    `${f.lostDrops} lost before the tool`;
  const t = (v) => (v === -32768 ? '-' : (v / 10).toFixed(1) + ' °C');
  $('temps').textContent = `${t(f.sensorTemp)}, ${t(f.ibTemp)}`;
  $('intg').textContent = f.integration ? `${f.integration} µs` : '-';
  $('decode').textContent = `${f.decodeMs.toFixed(2)} ms`;
  if (viewer.imagesMs !== undefined) $('draw-time').textContent = `${(viewer.imagesMs + viewer.cloudMs).toFixed(1)} ms`;
  $('frame').textContent = `${f.counter} (camera index ${f.cameraIndex}, ${f.width} x ${f.height}, ${viewer.cloudPoints || 0} points)`;
}

// ---- the WebSocket --------------------------------------------------------

// The 3D view is redrawn at most ten times a second. Without a graphics
// processor (software WebGL) a cloud of 76,800 points costs more than a
// frame's time, and the images and figures must keep up with the camera.
const CLOUD_INTERVAL_MS = 100;
let lastCloud = -Infinity;

let ws = null;
function draw(f) {
  viewer.frame = f;
  const t0 = performance.now();
  drawImages(f);
  const t1 = performance.now();
  if (t1 - lastCloud >= CLOUD_INTERVAL_MS) {
    drawCloud(f);
    lastCloud = t1;
    viewer.cloudMs = performance.now() - t1;  // the last cloud's time
  }
  showFigures(f);
  showPixel();
  viewer.drawn++;
  viewer.imagesMs = t1 - t0;  // the time the page took to draw, shown with the next frame
  ws.send('drawn');
}

function connect() {
  ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => { $('connection').textContent = 'live'; };
  ws.onclose = () => {
    $('connection').textContent = viewer.received ? 'disconnected' : 'refused or unreachable';
    $('connection').className = 'refused';
  };
  ws.onmessage = (e) => {
    if (!palette) { ws.send('drawn'); return; }
    const f = parseFrame(e.data);
    if (!f) return;
    viewer.received++;
    if (viewer.lastCounter && f.counter > viewer.lastCounter + 1) viewer.missed += f.counter - viewer.lastCounter - 1;
    viewer.lastCounter = f.counter;
    draw(f);
  };
}
connect();

// ---- switches, buttons, status ---------------------------------------------

async function post(path) {
  const r = await fetch(`/api/${path}`, { method: 'POST' });
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

async function setSwitch(name, value) {
  const out = $('switch-result');
  try {
    const s = await post(`set?${name}=${value}`);
    out.textContent = `${name} set`;
    out.className = '';
    return s;
  } catch (e) {
    out.textContent = `${name}: ${e.message}`;
    out.className = 'error';
    return null;
  }
}
$('undistort').addEventListener('change', (e) => setSwitch('undistort', e.target.checked ? 1 : 0));
$('hdr').addEventListener('change', (e) => setSwitch('hdr', e.target.checked ? 1 : 0));
for (const [id, name] of [['min-amplitude', 'min_amplitude'], ['auto-intg', 'auto_intg'],
  ['sync-guard', 'sync_guard'], ['fps-set', 'fps']]) {
  $(id).addEventListener('change', (e) => setSwitch(name, e.target.value === '' ? -1 : parseInt(e.target.value, 10)));
}

async function save(kind) {
  try {
    const r = await post(`save?kind=${kind}`);
    $('saved').textContent = `saved ${r.path}` + (r.points !== undefined ? ` (${r.points} points)` : '');
  } catch (e) { $('saved').textContent = `not saved: ${e.message}`; }
}
$('save-png').addEventListener('click', () => save('png'));
$('save-gray').addEventListener('click', () => save('gray_png'));
$('save-ply').addEventListener('click', () => save('ply'));
$('save-dist').addEventListener('click', () => save('dist'));
let recording = false;
$('record').addEventListener('click', async () => {
  try {
    const r = await post(`record?on=${recording ? 0 : 1}`);
    recording = r.recording;
    $('record').textContent = recording ? 'stop recording' : 'start recording';
    $('saved').textContent = recording ? `recording to ${r.path}` : `recorded ${r.frames} frames to ${r.path}`;
  } catch (e) { $('saved').textContent = `recording: ${e.message}`; }
});

// ---- depth quality --------------------------------------------------------

// The region: the tool's default until the user types one.
let roi = null, roiTyped = false;  // {x, y, w, h} in pixels
function drawRoi(f) {
  const c = $('roi-overlay').getContext('2d');
  c.clearRect(0, 0, f.width, f.height);
  if (!roi) return;
  c.strokeStyle = '#fff';
  c.lineWidth = 1;
  c.strokeRect(roi.x + 0.5, roi.y + 0.5, roi.w - 1, roi.h - 1);
}
function roiChanged() {
  roi = { x: +$('roi-x').value, y: +$('roi-y').value, w: +$('roi-w').value, h: +$('roi-h').value };
  roiTyped = true;
  sendQuality();
}
for (const id of ['roi-x', 'roi-y', 'roi-w', 'roi-h', 'truth']) {
  $(id).addEventListener('input', () => { roiTyped = true; });
  $(id).addEventListener('change', roiChanged);
}
async function sendQuality() {
  const t = $('truth').value === '' ? '' : `&truth=${parseFloat($('truth').value)}`;
  try { await post(`quality?x=${roi.x}&y=${roi.y}&w=${roi.w}&h=${roi.h}${t}`); } catch (e) {
    $('quality-figures').textContent = e.message;
  }
}

const QUALITY_ROWS = [
  ['distance_m', 'plane distance', 'm', 4], ['tilt_deg', 'tilt', '°', 2],
  ['tilt_x_deg', 'tilt about x (lower part further)', '°', 2], ['tilt_y_deg', 'tilt about y (right part further)', '°', 2],
  ['rms_mm', 'RMS to the plane', 'mm', 2], ['rms_percent', 'RMS share of the distance', '%', 3],
  ['fill_rate_percent', 'fill rate', '%', 1], ['temporal_noise_mm', 'temporal noise (median of pixels)', 'mm', 2],
  ['frames', 'frames in the noise window', '', 0], ['true_distance_m', 'true distance', 'm', 4],
  ['error_mm', 'error against the true distance', 'mm', 2], ['error_percent', 'error share', '%', 3],
];
function showQuality(q, undistort) {
  const t = $('quality-figures');
  if (!q) { t.innerHTML = '<tr><td>no figures yet</td></tr>'; return; }
  if (!roiTyped && q.roi) {
    roi = { x: q.roi.x, y: q.roi.y, w: q.roi.width, h: q.roi.height };
    $('roi-x').value = roi.x; $('roi-y').value = roi.y; $('roi-w').value = roi.w; $('roi-h').value = roi.h;
  }
  const fmt = (v, d) => (v === null || v === undefined ? '-' : (+v).toFixed(d));
  t.innerHTML = QUALITY_ROWS.filter(([k]) => k in q)
    .map(([k, name, unit, d]) => `<tr><th>${name}</th><td id="q-${k}">${fmt(q[k], d)} ${unit}</td></tr>`).join('') +
    (undistort ? '' : '<tr><th colspan="2" class="hint">lens undistortion is off: a flat wall looks bent</th></tr>');
}

async function pollStatus() {
  try {
    const s = await (await fetch('/api/status')).json();
    $('source').textContent = s.source;
    viewer.status = s;
    showQuality(s.quality, s.switches.undistort);
    const sw = s.switches;
    if (document.activeElement?.tagName !== 'INPUT') {
      $('undistort').checked = sw.undistort;
      $('hdr').checked = sw.hdr;
      $('min-amplitude').value = sw.min_amplitude >= 0 ? sw.min_amplitude : '';
      $('auto-intg').value = sw.auto_intg >= 0 ? sw.auto_intg : '';
      $('sync-guard').value = sw.sync_guard >= 0 ? sw.sync_guard : '';
      $('fps-set').value = sw.fps || '';
    }
  } catch (e) { /* the tool has gone: the WebSocket says so */ }
}
setInterval(pollStatus, 500);
pollStatus();
