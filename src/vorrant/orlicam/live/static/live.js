// The live view of one camera: one socket (text for the frame's figures, binary for its
// pictures), one update in flight (the next is asked for once the last is drawn), closed
// while the tab is hidden; settings, save and record as same-origin requests.
const camera = Number(location.pathname.split('/').filter(Boolean).pop());
const $ = (id) => document.getElementById(id);
const base = new URL(`/live/${camera}/`, location.href);
let socket = null;
let meta = null;
let pictures = [];
let described = null;
let shown = [];            // arrival times of drawn frames, for the view's own rate
let editing = false;       // the form is not overwritten while the user types in it
let last = null;           // the last frame's index, and frames this page never got
let skipped = 0;
let state = 'connecting…'; // what the status line says, before the exposure's progress
let exposing = null;       // the exposure under way: { seconds, since } (performance.now())

async function send(path, method, body) {
  const response = await fetch(new URL(path, base), {
    method, headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body ?? {}),
  });
  const text = await response.text();
  if (!response.ok) throw new Error(text);
  return JSON.parse(text);
}

function say(text, error = false) {
  $('message').textContent = text;
  $('message').classList.toggle('error', error);
}

function connect() {
  const ws = (socket = new WebSocket(new URL(`ws`, base.href.replace(/^http/, 'ws'))));
  ws.binaryType = 'blob';
  ws.onmessage = async ({ data }) => {
    if (typeof data === 'string') {
      meta = JSON.parse(data);
      pictures = [];
      if (meta.parts === 0) return done(ws);
      return;
    }
    pictures.push(data);
    if (pictures.length < meta.parts) return;
    const [view, zoom] = await Promise.all(pictures.map((p) => createImageBitmap(p)));
    draw(view, zoom);
    done(ws);
  };
  ws.onopen = () => status('live', (state = 'connected'));
  ws.onclose = () => {
    if (socket === ws) {
      socket = null;
      status('stopped', 'disconnected; reconnecting…');
      setTimeout(resume, 2000);
    }
  };
}

function done(ws) {
  show(meta);
  if (ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ ack: meta.index }));
}

const resume = () => { if (!document.hidden && socket === null) connect(); };
document.addEventListener('visibilitychange', () => (document.hidden ? socket?.close() : resume()));

function status(kind, text) {
  $('status').className = `status ${kind}`;
  $('status').textContent = text || kind;
}

function draw(view, zoom) {
  const canvas = $('view');
  if (canvas.width !== view.width || canvas.height !== view.height) {
    canvas.width = view.width;
    canvas.height = view.height;
  }
  canvas.getContext('2d').drawImage(view, 0, 0);
  view.close();
  if (zoom) {
    const z = $('zoom');
    z.width = zoom.width;
    z.height = zoom.height;
    z.getContext('2d').drawImage(zoom, 0, 0);
    zoom.close();
  }
  const now = performance.now();
  shown.push(now);
  while (shown.length > 1 && now - shown[0] > 3000) shown.shift();
}

const fixed = (v, n = 2) => (v === null || v === undefined ? '–' : Number(v).toFixed(n));

// The exposure under way and how far it is, told each tenth of a second: single exposures
// follow one another, the next beginning as the last is read.
function progress() {
  if (!exposing) return;
  const elapsed = (performance.now() - exposing.since) / 1000;
  const text = elapsed < exposing.seconds
    ? `exposing ${elapsed.toFixed(1)} of ${exposing.seconds} s`
    : `reading the ${exposing.seconds} s exposure out`;
  $('status').textContent = `${state} · ${text}`;
  if (!$('overlay').hidden) $('overlay').textContent = `Waiting for the first frame · ${text}`;
}
setInterval(progress, 100);

function expose(seconds, elapsed = 0) {
  exposing = { seconds, since: performance.now() - elapsed * 1000 };
  progress();
}

function show(m) {
  if (m.kind === 'status') {
    status(m.status, m.message);
    state = m.message;
    if (m.status === 'waiting') expose(m.exposure);
    else exposing = null;
    return;
  }
  $('overlay').hidden = true;
  state = m.recording ? `live · recording ${m.recording} (${m.recorded} frames)` : 'live';
  status('live', state);
  if (m.single) expose(m.exposure, m.latency ?? 0);
  else exposing = null;
  $('frame').textContent = m.index;
  $('fps').textContent = fixed(m.fps, 1);
  $('view-fps').textContent = shown.length > 1 ? fixed((shown.length - 1) / ((shown.at(-1) - shown[0]) / 1000), 1) : '–';
  if (last !== null && m.index > last) skipped += m.index - last - 1;
  last = m.index;
  $('dropped').textContent = skipped;
  $('size').textContent = `${m.width}×${m.height} ${m.format} bin ${m.bin}`;
  $('hfr').textContent = fixed(m.hfr);
  $('fwhm').textContent = fixed(m.fwhm);
  $('stars').textContent = m.stars;
  $('focus-reason').hidden = m.hfr !== null;
  $('focus-reason').textContent = m.hfr === null ? `No focus figures: ${m.focus_reason}` : '';
  $('hfr-arcsec').textContent = m.hfr_arcsec ? `${fixed(m.hfr_arcsec)}″` : '';
  $('fwhm-arcsec').textContent = m.fwhm_arcsec ? `${fixed(m.fwhm_arcsec)}″` : '';
  const warn = $('saturation');
  warn.hidden = !(m.saturated_stars > 0 || m.saturated > 0.001);
  warn.textContent = `saturated: ${m.saturated_stars} star(s), ${(m.saturated * 100).toFixed(2)} % of pixels`;
  $('mean').textContent = fixed(m.mean, 1);
  $('median').textContent = fixed(m.median, 1);
  $('temperature').textContent = fixed(m.temperature, 1);
  $('power').textContent = m.cooler_power !== undefined ? `, cooler ${m.cooler_power} %` : '';
  $('record').classList.toggle('on', Boolean(m.recording));
  $('record').textContent = m.recording ? 'Stop recording' : 'Record SER';
  if (!$('auto').checked) {
    // manual points stay where the user put them
  } else {
    $('black').value = Math.round(m.stretch.black * 1000);
    $('white').value = Math.round(m.stretch.white * 1000);
  }
  stacking(m.stack);
  histogram(m);
  trend(m.history ?? []);
  if (!editing) fill(m);
}

function histogram(m) {
  const c = $('histogram');
  const g = c.getContext('2d');
  const counts = m.histogram;
  const top = Math.log10(Math.max(...counts) + 1);
  g.clearRect(0, 0, c.width, c.height);
  g.fillStyle = '#8ab';
  const w = c.width / counts.length;
  counts.forEach((n, i) => {
    const h = (Math.log10(n + 1) / top) * (c.height - 4);
    g.fillRect(i * w, c.height - h, Math.max(1, w), h);
  });
  // The stretch's black and white points, and the clipped ends in red.
  g.fillStyle = '#d04040';
  if (counts[0] > 0) g.fillRect(0, 0, 2, c.height);
  if (counts.at(-1) > 0 || m.saturated > 0) g.fillRect(c.width - 2, 0, 2, c.height);
  g.strokeStyle = '#ddd';
  for (const x of [m.stretch.black, m.stretch.white]) {
    g.beginPath();
    g.moveTo(x * c.width, 0);
    g.lineTo(x * c.width, c.height);
    g.stroke();
  }
}

// HFR against time over the last measurements, with its scale, and the least of them: a
// user racking the focus sees the V and where its bottom was.
function trend(history) {
  const c = $('trend');
  const g = c.getContext('2d');
  g.clearRect(0, 0, c.width, c.height);
  const points = history.filter((h) => h.hfr !== null);
  if (points.length < 2) {
    $('trend-text').textContent = points.length ? '' : 'no HFR measured yet';
    return;
  }
  const left = 38, bottom = 16, top = 6;
  const w = c.width - left - 4, h = c.height - bottom - top;
  const end = history.at(-1).time;
  const span = Math.max(end - history[0].time, 1);
  const values = points.map((p) => p.hfr);
  const lo = Math.min(...values), hi = Math.max(...values);
  const pad = Math.max((hi - lo) * 0.1, 0.05);
  const y0 = Math.max(0, lo - pad), y1 = hi + pad;
  const x = (t) => left + (1 - (end - t) / span) * w;
  const y = (v) => top + (1 - (v - y0) / (y1 - y0)) * h;
  g.font = '10px system-ui, sans-serif';
  g.fillStyle = '#888';
  g.strokeStyle = '#333';
  g.textAlign = 'right';
  for (const v of [y0, (y0 + y1) / 2, y1]) {
    g.fillText(v.toFixed(2), left - 4, y(v) + 3);
    g.beginPath();
    g.moveTo(left, y(v));
    g.lineTo(left + w, y(v));
    g.stroke();
  }
  g.textAlign = 'left';
  g.fillText(`-${Math.round(span)} s`, left, c.height - 3);
  g.textAlign = 'right';
  g.fillText('now', left + w, c.height - 3);
  g.strokeStyle = '#e0c050';
  g.fillStyle = '#e0c050';
  g.beginPath();
  points.forEach((p, i) => (i ? g.lineTo(x(p.time), y(p.hfr)) : g.moveTo(x(p.time), y(p.hfr))));
  g.stroke();
  for (const p of points) g.fillRect(x(p.time) - 1.5, y(p.hfr) - 1.5, 3, 3);
  const best = points.reduce((a, b) => (b.hfr < a.hfr ? b : a));
  g.fillStyle = '#60d060';
  g.beginPath();
  g.arc(x(best.time), y(best.hfr), 4, 0, 2 * Math.PI);
  g.fill();
  $('trend-text').textContent = `HFR px over the last ${Math.round(span)} s · least ${best.hfr.toFixed(2)} px, `
    + `${Math.round(end - best.time)} s ago · now ${fixed(history.at(-1).hfr)}`;
}

// Whether a frame shows the whole sensor (at its binning, to the camera's size rules).
const whole = (m) => described && m.roi[0] === Math.floor(described.max_width / m.bin / 8) * 8
  && m.roi[1] === Math.floor(described.max_height / m.bin / 2) * 2;

function fill(m) {
  $('exposure').value = m.exposure;
  $('gain').value = m.gain ?? '';
  $('offset').value = m.offset ?? '';
  $('bin').value = m.bin;
  $('format').value = m.format;
  $('roi').value = whole(m) ? 'full' : `${m.roi[0]}x${m.roi[1]}+${m.roi[2]}+${m.roi[3]}`;
  if (m.target_temperature !== null && m.target_temperature !== undefined) $('target_temperature').value = m.target_temperature;
  if (m.cooler_on !== undefined) $('cooler_on').checked = m.cooler_on;
}

function changes() {
  const out = {};
  const number = (id) => ($(id).value === '' ? undefined : Number($(id).value));
  out.exposure = number('exposure');
  out.gain = number('gain');
  out.offset = number('offset');
  if (meta && Number($('bin').value) !== meta.bin) out.bin = Number($('bin').value);
  if (meta && $('format').value !== meta.format) out.format = $('format').value;
  const roi = $('roi').value.trim();
  const parts = roi.match(/^(\d+)\s*x\s*(\d+)\s*\+\s*(\d+)\s*\+\s*(\d+)$/);
  if (parts) {
    const wanted = parts.slice(1).map(Number);
    if (!meta || wanted.join() !== meta.roi.join()) out.roi = wanted;
  } else if (roi === 'full') {
    if (meta && !whole(meta)) out.roi = 'full';
  } else if (roi !== '') {
    throw new Error('region: width x height + x + y, or full');
  }
  if (described?.cooled) {
    out.target_temperature = number('target_temperature');
    out.cooler_on = $('cooler_on').checked;
  }
  return out;
}

$('controls').addEventListener('focusin', () => (editing = true));
$('controls').addEventListener('focusout', () => (editing = false));
$('controls').addEventListener('submit', async (event) => {
  event.preventDefault();
  try {
    const applied = await send('settings', 'PUT', changes());
    if (applied.exposure >= 1) expose(applied.exposure);   // a new single exposure has begun
    say(`applied: exposure ${applied.exposure} s, gain ${applied.gain}, offset ${applied.offset}, ` +
        `bin ${applied.bin}, ${applied.format}, ${applied.roi[0]}×${applied.roi[1]}`);
    editing = false;
  } catch (error) {
    say(error.message, true);
  }
});

$('save').addEventListener('click', async () => {
  try {
    say(`saved ${(await send('save', 'POST')).saved}`);
  } catch (error) {
    say(error.message, true);
  }
});

$('record').addEventListener('click', async () => {
  try {
    const answer = await send('record', 'POST', { recording: !meta?.recording });
    say(answer.recording ? `recording to ${answer.recording}` : `recorded ${answer.recorded ?? 0} frames to ${answer.file ?? '–'}`);
  } catch (error) {
    say(error.message, true);
  }
});

function stacking(stack) {
  // The server's word on the stack: the switch follows it (another page may have turned it).
  $('stack').checked = Boolean(stack);
  $('stack-reset').disabled = $('stack-save').disabled = !stack;
  $('stack-frames').textContent = stack ? stack.frames : '–';
  $('stack-rejected').textContent = stack ? stack.rejected : '–';
  $('stack-exposure').textContent = stack ? fixed(stack.exposure, 1) : '–';
  $('stack-last').textContent = stack?.last && stack.last !== 'stacked' && stack.last !== 'reference'
    ? `· last frame rejected: ${stack.last}` : '';
}
$('stack').addEventListener('change', () => {
  send('settings', 'PUT', { stack: $('stack').checked }).catch((error) => say(error.message, true));
});
$('stack-reset').addEventListener('click', async () => {
  try {
    await send('stack', 'POST', { action: 'reset' });
    say('stack reset');
  } catch (error) {
    say(error.message, true);
  }
});
$('stack-save').addEventListener('click', async () => {
  try {
    const answer = await send('stack', 'POST', { action: 'save' });
    say(`saved ${answer.saved} (${answer.stack_frames} frames)`);
  } catch (error) {
    say(error.message, true);
  }
});

function stretchChanged() {
  const auto = $('auto').checked;
  $('black').disabled = $('white').disabled = auto;
  const body = auto ? { auto_stretch: true }
    : { auto_stretch: false, black: $('black').value / 1000, white: $('white').value / 1000 };
  send('settings', 'PUT', body).catch((error) => say(error.message, true));
}
for (const id of ['auto', 'black', 'white']) $(id).addEventListener('change', stretchChanged);

$('view').addEventListener('click', (event) => {
  $('zoom-box').hidden = false;
  const box = event.target.getBoundingClientRect();
  const at = [(event.clientX - box.left) / box.width, (event.clientY - box.top) / box.height];
  send('settings', 'PUT', { zoom: at }).catch((error) => say(error.message, true));
});
$('zoom-off').addEventListener('click', () => {
  $('zoom-box').hidden = true;
  send('settings', 'PUT', { zoom: false }).catch((error) => say(error.message, true));
  $('zoom').getContext('2d').clearRect(0, 0, $('zoom').width, $('zoom').height);
});

async function describe() {
  const response = await fetch(new URL('camera', base));
  described = await response.json();
  document.title = `${described.name} · orlicam`;
  $('title').textContent = `${described.name} (camera ${camera})`;
  $('bin').replaceChildren(...described.bins.map((b) => new Option(String(b), String(b))));
  $('format').replaceChildren(...described.formats.map((f) => new Option(f, f)));
  $('cooling').hidden = !described.cooled;
  // The server turns the figures into arcseconds (for /stats too); this browser remembers it.
  $('focal').value = localStorage.getItem(focalKey) ?? '';
  if ($('focal').value) focalChanged();
}
const focalKey = `orlicam-focal-${camera}`;
function focalChanged() {
  localStorage.setItem(focalKey, $('focal').value);
  send('settings', 'PUT', { focal_length: Number($('focal').value) || 0 }).catch((error) => say(error.message, true));
}
$('focal').addEventListener('change', focalChanged);

describe().then(connect, (error) => say(`cannot describe camera ${camera}: ${error.message}`, true));
