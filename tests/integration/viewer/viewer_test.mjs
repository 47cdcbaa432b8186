// tarvo-cli view in a real browser: headless Chromium driven by
// playwright-core, the tool on a simulated camera through the launcher,
// as the README runs it. Exit status 77 (skipped) only when Chromium is
// not installed.
//
// Environment: TARVO_SIM, TARVO_CLI (the programs), TARVO_WEB (the page's
// directory, with node_modules), TARVO_ARTEFACTS (screenshots), and
// optionally CHROMIUM (the browser) and TARVO_TSAN (a ThreadSanitizer
// build).
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';

const env = (k) => { const v = process.env[k]; if (!v) throw new Error(`${k} is not set`); return v; };
const sim = env('TARVO_SIM'), cli = env('TARVO_CLI'), web = env('TARVO_WEB'), artefacts = env('TARVO_ARTEFACTS');
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';
if (!fs.existsSync(browserPath)) {
  console.log(`SKIPPED: no Chromium at ${browserPath} (scripts/deps.sh installs Debian's chromium)`);
  process.exit(77);
}
const { chromium } = createRequire(path.join(web, 'package.json'))('playwright-core');

// The scene: a plane 1.5 m ahead, turned 15 degrees (lower part further).
const DIST_M = 1.5, TILT_DEG = 15;
const work = fs.mkdtempSync(path.join(process.cwd(), 'viewer-'));
fs.mkdirSync(artefacts, { recursive: true });
const saves = path.join(work, 'saves');
fs.mkdirSync(saves);

const tool = spawn(sim, ['run', '--distance', `${DIST_M}`, '--tilt', `${TILT_DEG}`, '--noise', 'off', '--',
  cli, '--prefix', path.join(work, 'prefix'), 'view', '--port', '0', '--max-viewers', '2', '--save-dir', saves],
{ stdio: ['ignore', 'pipe', 'inherit'] });
let out = '';
const url = await new Promise((resolve, reject) => {
  const t = setTimeout(() => reject(new Error(`no "listening on" line in 60 s: ${out}`)), 60000);
  tool.stdout.on('data', (d) => {
    out += d;
    const m = out.match(/listening on (http:\/\/[^\s]+)/);
    if (m) { clearTimeout(t); resolve(m[1]); }
  });
  tool.on('exit', (code) => reject(new Error(`the tool ended (${code}): ${out}`)));
});
console.log(`tool: ${url}`);

const browser = await chromium.launch({
  executablePath: browserPath,
  // WebGL in software (no graphics processor here); pages and canvases
  // composited in software too, which on two cores leaves the renderer
  // far more time than rasterising them through the software GL.
  args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
    '--disable-gpu-rasterization', '--disable-gpu-compositing'],
});
const failures = [];
let checks = 0;
let recordingFile = null;  // written by the record button
async function check(name, fn) {
  checks++;
  try { await fn(); console.log(`ok: ${name}`); } catch (e) { failures.push(name); console.log(`FAILED: ${name}\n${e.stack}`); }
}
const drawn = (p) => p.evaluate(() => window.viewer.drawn);
const until = async (p, fn, arg, what, ms = 15000) => {
  try { await p.waitForFunction(fn, arg, { timeout: ms, polling: 100 }); } catch (e) { throw new Error(`${what}: not within ${ms} ms`); }
};
// The pointer on pixel (u, v) of the distance image; the page's readout.
async function readPixel(p, u, v) {
  const b = await p.locator('#roi-overlay').boundingBox();
  const f = await p.evaluate(() => ({ w: window.viewer.frame.width, h: window.viewer.frame.height }));
  await p.mouse.move(b.x + (u + 0.5) * b.width / f.w, b.y + (v + 0.5) * b.height / f.h);
  return p.locator('#pixel').textContent();
}
async function status(p) { return p.evaluate(async () => (await fetch('/api/status')).json()); }

try {
  const page = await browser.newPage({ viewport: { width: 1400, height: 1500 } });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url);

  await check('the page loads and its images update', async () => {
    await until(page, () => window.viewer.drawn >= 3, null, 'three frames drawn');
    const a = await page.evaluate(() => window.viewer.frame.counter);
    await until(page, (c) => window.viewer.frame.counter > c + 5, a, 'five more frames');
    const f = await page.evaluate(() => ({ w: window.viewer.frame.width, h: window.viewer.frame.height, n: window.viewer.cloudPoints }));
    assert.deepEqual([f.w, f.h], [320, 240]);
    assert.ok(f.n > 50000, `${f.n} points in the cloud`);
    // The distance canvas shows the colour map, not an empty picture.
    const colours = await page.evaluate(() => {
      const c = document.getElementById('dist');
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      const seen = new Set();
      for (let i = 0; i < d.length; i += 4) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
      return seen.size;
    });
    assert.ok(colours > 20, `${colours} colours in the distance image (a tilted plane spans many)`);
    assert.deepEqual(errors, []);
  });

  await check('the distance under the principal point is the plane\'s', async () => {
    const text = await readPixel(page, 157, 122);
    const m = text.match(/u 157 v 122: (\d+) mm, amplitude (\d+)/);
    assert.ok(m, text);
    assert.ok(Math.abs(+m[1] - DIST_M * 1000) <= 4, text);
    assert.ok(+m[2] > 100, text);
    // Further down the tilted plane is further away.
    const low = (await readPixel(page, 157, 220)).match(/: (\d+) mm/);
    assert.ok(low && +low[1] > DIST_M * 1000 + 100, `row 220: ${low}`);
  });

  await check('a minimum amplitude reaches the driver', async () => {
    await page.fill('#min-amplitude', '5000');
    await page.dispatchEvent('#min-amplitude', 'change');
    await until(page, () => /low amplitude/.test(document.getElementById('pixel').textContent) ||
      (window.viewer.frame && window.viewer.frame.dist[122 * 320 + 157] === 65300), null, 'low amplitude at the pixel');
    assert.equal((await status(page)).switches.min_amplitude, 5000);
    await page.fill('#min-amplitude', '');
    await page.dispatchEvent('#min-amplitude', 'change');
    await until(page, () => window.viewer.frame.dist[122 * 320 + 157] < 60000, null, 'a distance again');
  });

  await check('the page keeps up with the camera', async () => {
    const d0 = await drawn(page), t0 = Date.now();
    await page.waitForTimeout(5000);
    const d1 = await drawn(page), secs = (Date.now() - t0) / 1000;
    const s = await status(page);
    const pageFps = (d1 - d0) / secs;
    console.log(`page frame rate: ${pageFps.toFixed(1)} frames drawn per second over ${secs.toFixed(1)} s ` +
      `(camera ${s.fps.toFixed(1)} fps; dropped for a busy page: ${s.viewers[0].dropped_busy})`);
    // Every frame the tool gets is drawn, give or take the page's share
    // of a machine that also runs the camera and the tool.
    assert.ok(pageFps >= 0.5 * s.fps, `${pageFps} frames drawn per second, camera ${s.fps}`);
  });

  await check('the save buttons write valid files', async () => {
    const saved = async (button, re) => {
      await page.click(button);
      await until(page, (r) => new RegExp(r).test(document.getElementById('saved').textContent), re, `${button} saved`);
      return (await page.locator('#saved').textContent()).match(new RegExp(re));
    };
    const png = (await saved('#save-png', 'saved (\\S+\\.png)'))[1];
    assert.deepEqual([...fs.readFileSync(png).subarray(0, 8)], [137, 80, 78, 71, 13, 10, 26, 10]);
    const gray = (await saved('#save-gray', 'saved (\\S+_gray\\.png)'))[1];
    assert.equal(fs.readFileSync(gray).subarray(1, 4).toString(), 'PNG');
    const [, ply, pts] = await saved('#save-ply', 'saved (\\S+\\.ply) \\((\\d+) points\\)');
    const plyBytes = fs.readFileSync(ply);
    const end = plyBytes.indexOf('end_header\n') + 'end_header\n'.length;
    const head = plyBytes.subarray(0, end).toString();
    assert.match(head, new RegExp(`^ply\\nformat binary_little_endian 1.0\\n[^]*element vertex ${pts}\\n`));
    assert.equal(plyBytes.length - end, +pts * 15, 'x y z floats and r g b bytes per point');
    const dist = (await saved('#save-dist', 'saved (\\S+\\.tq)'))[1];
    const dBytes = fs.readFileSync(dist);
    assert.equal(dBytes.subarray(0, 20).toString(), 'TQ_DIST,F32,320,240\n');
    assert.equal(dBytes.length, 20 + 320 * 240 * 4);
    const centre = dBytes.readFloatLE(20 + 4 * (122 * 320 + 157));
    assert.ok(Math.abs(centre - DIST_M) < 0.005, `${centre} m`);
    // A recording of some frames that tarvo-cli converts back.
    await page.click('#record');
    await until(page, () => /recording to/.test(document.getElementById('saved').textContent), null, 'recording');
    const c0 = await page.evaluate(() => window.viewer.frame.counter);
    await until(page, (c) => window.viewer.frame.counter >= c + 8, c0, 'eight frames while recording', 30000);
    await page.click('#record');
    const [, frames, tvr] = (await (async () => {
      await until(page, () => /recorded \d+ frames/.test(document.getElementById('saved').textContent), null, 'recorded');
      return (await page.locator('#saved').textContent()).match(/recorded (\d+) frames to (\S+)/);
    })());
    assert.ok(+frames >= 5, `${frames} frames`);
    assert.equal(fs.readFileSync(tvr).subarray(0, 8).toString(), 'TARVOREC');
    recordingFile = tvr;
    // Under ThreadSanitizer a second emulated bus in convert is too slow
    // for the link's command time-outs on a small machine.
    if (process.env.TARVO_TSAN) return;
    const conv = JSON.parse(execFileSync(cli, ['--json', '--prefix', path.join(work, 'prefix'), 'convert', tvr,
      '--frame', '2', '--png', path.join(work, 'rec.png')], { encoding: 'utf8' }));
    assert.ok(Math.abs(conv.centre_median_m - DIST_M) < 0.05, JSON.stringify(conv));
  });

  await check('screenshots of the 2D and 3D views', async () => {
    // Orbit the cloud a little: drag on its canvas.
    const b = await page.locator('#cloud canvas').boundingBox();
    await page.mouse.move(b.x + b.width / 2, b.y + b.height / 2);
    await page.mouse.down();
    await page.mouse.move(b.x + b.width / 2 + 50, b.y + b.height / 2 + 25, { steps: 8 });
    await page.mouse.up();
    await page.mouse.wheel(0, -200);
    await page.waitForTimeout(300);
    const lit = await page.evaluate(() => {
      const c = document.querySelector('#cloud canvas');
      const gl = c.getContext('webgl2');
      const px = new Uint8Array(c.width * c.height * 4);
      gl.readPixels(0, 0, c.width, c.height, gl.RGBA, gl.UNSIGNED_BYTE, px);
      let n = 0;
      for (let i = 0; i < px.length; i += 4) if (px[i] + px[i + 1] + px[i + 2] > 0) n++;
      return n;
    });
    assert.ok(lit > 2000, `${lit} lit pixels in the point cloud view`);
    const shot2d = path.join(artefacts, 'viewer_2d.png'), shot3d = path.join(artefacts, 'viewer_3d.png');
    await page.locator('#images').screenshot({ path: shot2d });
    await page.locator('#cloud').screenshot({ path: shot3d });
    console.log(`screenshots: ${shot2d} ${shot3d}`);
  });

  await check('a second viewer is served, a third refused', async () => {
    const second = await browser.newPage();
    await second.goto(url);
    await until(second, () => window.viewer.drawn >= 3, null, 'the second page draws');
    const d = await drawn(page);
    await until(page, (n) => window.viewer.drawn > n + 3, d, 'the first page still draws');
    const s = await status(page);
    assert.equal(s.viewers.length, 2);
    const third = await browser.newPage();
    const r = await third.goto(url);
    assert.equal(r.status(), 503);
    assert.match(await third.textContent('body'), /already serves 2 pages/);
    assert.equal((await status(page)).viewers_refused, 1);
    await second.close();
    await third.close();
  });

  await check('the quality figures match the simulated plane', async () => {
    // Undistortion from the page (a flat wall looks bent without it), a
    // region of 120 x 80 pixels off the centre and the true distance.
    await page.check('#undistort');
    await until(page, () => window.viewer.status && window.viewer.status.switches.undistort, null, 'undistortion on');
    for (const [id, v] of [['#roi-x', '100'], ['#roi-y', '70'], ['#roi-w', '120'], ['#roi-h', '80'], ['#truth', `${DIST_M}`]]) {
      await page.fill(id, v);
      await page.dispatchEvent(id, 'change');
    }
    // A full window of 30 frames taken after the switch.
    await until(page, () => {
      const q = window.viewer.status && window.viewer.status.quality;
      return q && q.roi.x === 100 && q.roi.width === 120 && q.frames === 30 && 'error_mm' in q;
    }, null, 'figures of the new region over 30 frames', 60000).catch(async (e) => {
      throw new Error(`${e.message}: ${JSON.stringify((await status(page)).quality)}`);
    });
    const q = (await status(page)).quality;
    console.log(`quality: ${JSON.stringify(q)}`);
    assert.equal(q.roi_pixels, 120 * 80);
    assert.equal(q.fill_rate_percent, 100);
    assert.ok(Math.abs(q.distance_m - DIST_M) < 0.005, `distance ${q.distance_m}`);
    assert.ok(Math.abs(q.tilt_x_deg - TILT_DEG) < 0.2, `tilt ${q.tilt_x_deg}`);
    assert.ok(Math.abs(q.tilt_y_deg) < 0.2, `tilt about y ${q.tilt_y_deg}`);
    assert.ok(Math.abs(q.error_mm) < 5 && Math.abs(q.error_mm - (q.distance_m - DIST_M) * 1000) < 0.01, `error ${q.error_mm}`);
    assert.ok(q.rms_mm < 6 && q.temporal_noise_mm < 1, `rms ${q.rms_mm}, noise ${q.temporal_noise_mm} (noise off)`);
    // The page shows them.
    await until(page, () => document.getElementById('q-distance_m') && document.getElementById('q-error_mm'), null, 'the page\'s quality table');
    const shown = parseFloat(await page.textContent('#q-distance_m'));
    assert.ok(Math.abs(shown - DIST_M) < 0.005, `page shows ${shown}`);
    await page.locator('#quality').screenshot({ path: path.join(artefacts, 'viewer_quality.png') });
  });

  await check('the frame rate switch reaches the camera', async () => {
    // The camera paces its frames: at 5 per second it cannot send more.
    await page.fill('#fps-set', '5');
    await page.dispatchEvent('#fps-set', 'change');
    await until(page, () => window.viewer.status && window.viewer.status.switches.fps === 5, null, 'fps 5 set');
    // The camera's frame indices over 4 s after the capture restarted, by
    // the tool's clock when it published them.
    await page.waitForTimeout(1500);
    const index = () => page.evaluate(() => [window.viewer.frame.cameraIndex, window.viewer.frame.timeMs]);
    const [c0, t0] = await index();
    await page.waitForTimeout(4000);
    const [c1, t1] = await index();
    const rate = ((c1 - c0) & 0xFFFF) / ((t1 - t0) / 1000);
    assert.ok(rate > 2 && rate < 5.6, `${rate.toFixed(2)} camera frames per second after asking for 5`);
  });

  // The recording, opened directly: replayed inside the tool, looping.
  if (recordingFile && !process.env.TARVO_TSAN) {
    await check('a recording opened directly is shown', async () => {
      const replay = spawn(cli, ['--prefix', path.join(work, 'prefix'), 'view', recordingFile, '--port', '0'],
        { stdio: ['ignore', 'pipe', 'inherit'] });
      try {
        let text = '';
        const rurl = await new Promise((resolve, reject) => {
          const t = setTimeout(() => reject(new Error(`no "listening on" line: ${text}`)), 60000);
          replay.stdout.on('data', (d) => { text += d; const m = text.match(/listening on (http:\/\/\S+)/); if (m) { clearTimeout(t); resolve(m[1]); } });
        });
        const p = await browser.newPage({ viewport: { width: 1400, height: 1500 } });
        await p.goto(rurl);
        await until(p, () => window.viewer.drawn >= 3, null, 'frames of the recording drawn', 30000);
        const m = (await readPixel(p, 157, 122)).match(/: (\d+) mm/);
        assert.ok(m && Math.abs(+m[1] - DIST_M * 1000) <= 4, `${m}`);
        assert.equal((await status(p)).source, recordingFile);
      } finally {
        const code = new Promise((r) => replay.on('exit', (c, sig) => r(c ?? sig)));
        replay.kill('SIGTERM');
        assert.equal(await code, 0);
      }
    });
  }
} finally {
  await browser.close();
}
await check('the tool stops cleanly on SIGTERM', async () => {
  const code = new Promise((r) => tool.on('exit', (c, sig) => r(c ?? sig)));
  tool.kill('SIGTERM');
  // 0, or a sanitizer's report status (races, leaks) or a crash.
  assert.equal(await code, 0);
  assert.match(out, /frames \d+\n/);
});
const passed = checks - failures.length;
console.log(`${passed} passed, ${failures.length} failed`);
if (!failures.length) fs.rmSync(work, { recursive: true, force: true });
process.exit(failures.length ? 1 : 0);
