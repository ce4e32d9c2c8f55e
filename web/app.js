// The page: the module (the native engine as WebAssembly) renders the firmware's frames on the
// board model; this draws them into the canvas at the board's pace or as fast as it can, reads
// the URL and the form, the keys, and feeds the microphone to the module's queue.
//
// URL: ?effect=NAME&start=N&frames=K&audio=SOURCE&pace=board|fast, SOURCE as --audio spells it
// (tone:HZ[:AMP], noise[:AMP], silence, mic[:PEAK]; chord or nothing for the built-in chord).
// The canvas #lcd holds the frame 1:1 and carries data-frame, the firmware's counter of the
// frame shown; with frames=K the page stops after K frames, keeps the last and sets
// body[data-done] to {frames, seconds, fps, memory}, memory being the module's in bytes (a
// page that runs for hours must not grow).

import { instantiate } from './wasi.js';

const WIDTH = 98;
const HEIGHT = 67;
const SEQUENCES = ['plasma', 'cake', 'fall', 'roundwave', 'fftwave', 'demo', 'showcase'];
const AUDIO_KINDS = ['chord', 'tone', 'noise', 'silence', 'mic'];
// The converter's rate (36 MHz / 256 / 11); an AudioContext takes a whole number of hertz,
// 0.0007% off, and the worklet resamples where a browser refuses even that.
const CONVERSION_HZ = 36e6 / 256 / 11;
const CONTEXT_HZ = Math.round(CONVERSION_HZ);
const FAST_SLICE_MS = 12;  // rendering time per animation frame when unpaced
const MAX_CATCH_UP = 4;
const MAX_LAG_MS = 125;  // behind the board by more than this, the page lets the lag go
const DEFAULT_FPS = 30;  // without bench.json
const RESUME_WAIT_MS = 300;  // frames one animation frame may render to catch up with the board
const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;

const canvas = document.getElementById('lcd');
const context2d = canvas.getContext('2d');
const statusLine = document.getElementById('status');
const messageLine = document.getElementById('message');
const form = document.getElementById('controls');
const controls = form.elements;

// A refusal the page shows as it is: the URL's, the module's or the microphone's.
class Refused extends Error {}

function showMessage(text) {
  messageLine.textContent = text;
  messageLine.hidden = !text;
}

// The URL's settings, checked; throws Refused naming what is wrong.
function parseQuery(search) {
  const q = new URLSearchParams(search);
  const whole = (name, fallback, low, high) => {
    if (!q.has(name) || q.get(name) === '') return fallback;
    const text = q.get(name);
    const value = Number(text);
    if (!/^[+-]?\d+$/.test(text) || value < low || value > high) {
      throw new Refused(`${name} '${text}' is not a whole number from ${low} to ${high}`);
    }
    return value;
  };
  const effect = q.get('effect') || 'showcase';
  const start = whole('start', 0, INT32_MIN, INT32_MAX);
  const frames = whole('frames', Infinity, 1, Number.MAX_SAFE_INTEGER);
  const audio = q.get('audio') ?? '';
  const pace = q.get('pace') || 'board';
  if (pace !== 'board' && pace !== 'fast') throw new Refused(`pace '${pace}' is neither board nor fast`);
  return { effect, start, frames, audio: audio === 'chord' ? '' : audio, pace };
}

function toSearch(s) {
  const q = new URLSearchParams({ effect: s.effect });
  if (String(s.start) !== '0') q.set('start', String(s.start));
  if (s.frames !== Infinity) q.set('frames', String(s.frames));
  if (s.audio) q.set('audio', s.audio);
  if (s.pace !== 'board') q.set('pace', s.pace);
  return '?' + q.toString();
}

// The microphone's spec (mic or mic:PEAK) is the module's to check; this only routes it.
const isMicrophone = audio => audio === 'mic' || audio.startsWith('mic:');

// The board's frames per second for each effect, from `lpcdemo bench --json`.
async function loadBench() {
  try {
    const response = await fetch('bench.json');
    if (!response.ok) return new Map();
    const bench = await response.json();
    return new Map(bench.effects.map(e => [e.name, e]));
  } catch {
    return new Map();
  }
}

async function compileModule() {
  const response = fetch('lpcdemo.wasm');
  if (WebAssembly.compileStreaming) {
    try {
      return await WebAssembly.compileStreaming(response);
    } catch {
      // a server that sends the module as something other than application/wasm
    }
  }
  return WebAssembly.compile(await (await fetch('lpcdemo.wasm')).arrayBuffer());
}

// getUserMedia -> AudioContext at the converter's rate -> AudioWorklet -> push(Float32Array).
async function openMicrophone(push) {
  if (!navigator.mediaDevices?.getUserMedia || !window.AudioWorkletNode) {
    throw new Refused('this browser gives the page no microphone');
  }
  let stream;
  try {
    stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false },
    });
  } catch (err) {
    if (err.name === 'NotAllowedError' || err.name === 'SecurityError') {
      throw new Refused('the microphone was refused: the effect runs on silence');
    }
    if (err.name === 'NotFoundError' || err.name === 'OverconstrainedError') {
      throw new Refused('no microphone found: the effect runs on silence');
    }
    throw new Refused(`the microphone failed (${err.name}): the effect runs on silence`);
  }
  let audio;
  try {
    audio = new AudioContext({ sampleRate: CONTEXT_HZ });
  } catch {
    audio = new AudioContext();  // the worklet resamples
  }
  try {
    await audio.audioWorklet.addModule('worklet.js');
    const tap = new AudioWorkletNode(audio, 'converter-tap',
      { processorOptions: { rate: CONVERSION_HZ } });
    tap.port.onmessage = ev => push(ev.data);
    audio.createMediaStreamSource(stream).connect(tap);
  } catch (err) {
    stream.getTracks().forEach(t => t.stop());
    audio.close();
    throw new Refused(`the microphone failed (${err.message}): the effect runs on silence`);
  }
  // A browser may hold the context until the user has touched the page; resume() then waits
  // for that, and the effect waits for the sound.
  await Promise.race([audio.resume(), new Promise(done => setTimeout(done, RESUME_WAIT_MS))]);
  if (audio.state !== 'running') {
    showMessage('click or press a key to let the page hear the microphone');
    const wake = () => audio.resume().then(() => showMessage(''));
    document.addEventListener('pointerdown', wake, { once: true });
    document.addEventListener('keydown', wake, { once: true });
  }
  return () => {
    stream.getTracks().forEach(t => t.stop());
    audio.close();
  };
}

// One opened sequence on a new instance of the module.
class Player {
  constructor(instance, settings, bench) {
    this.e = instance.exports;
    this.settings = settings;
    this.bench = bench;
    this.names = [];
    for (let i = 0; i < this.e.effect_count(); i++) this.names.push(this.cString(this.e.effect_name(i)));
    this.image = new ImageData(WIDTH, HEIGHT);
    this.shown = 0;  // frames shown so far
    this.demo = null;  // demo: the frames its main rendered, played one by one
    this.ended = false;
    this.microphone = false;
    this.microphoneFailed = false;
    this.times = [];  // when each frame was shown, for the shown rate
  }

  cString(at) {
    const bytes = new Uint8Array(this.e.memory.buffer, at);
    return new TextDecoder().decode(bytes.subarray(0, bytes.indexOf(0)));
  }

  open() {
    const { effect, audio, start } = this.settings;
    const text = new TextEncoder().encode(`${effect}\0${audio}\0`);
    if (text.length > this.e.text_size()) throw new Refused('effect and audio source too long');
    new Uint8Array(this.e.memory.buffer, this.e.text_buf(), text.length).set(text);
    this.e.open(start);
    this.microphone = isMicrophone(audio);
  }

  // The effect shown at counter n, and the board's rate for it.
  effectAt(n) {
    return this.names[this.e.shown_effect(n)] ?? this.settings.effect;
  }

  boardFps(n) {
    return this.bench.get(this.effectAt(n))?.fps;
  }

  // Whether the microphone's queue holds the sound the next frame converts.
  audioReady() {
    if (!this.microphone || this.microphoneFailed || this.ended) return true;
    const n = this.settings.effect === 'demo' ? 0 : this.e.counter();
    const need = Math.ceil(this.bench.get(this.effectAt(n))?.conversions_per_frame ?? 0);
    return this.e.queue_size() >= Math.max(need, 1);
  }

  // Renders the next frame into the module's memory, shown at time `at`; its counter, or null
  // once the sequence has ended (demo after its main's frames, any sequence after frames=K).
  advance(at) {
    if (this.ended || this.shown >= this.settings.frames) {
      this.ended = true;
      return null;
    }
    let n;
    if (this.settings.effect === 'demo') {
      if (this.demo === null) this.demo = this.e.step();
      if (this.shown >= this.demo) {
        this.ended = true;
        return null;
      }
      n = this.shown;
      this.pending = n;
    } else {
      n = this.e.counter();
      this.e.step();
      this.pending = 0;
    }
    this.last = n;
    this.shown++;
    this.times.push(at);
    return n;
  }

  // Draws the frame advance() rendered last.
  draw() {
    const at = this.e.rgba(this.pending);
    if (!at) return;
    this.image.data.set(new Uint8Array(this.e.memory.buffer, at, WIDTH * HEIGHT * 4));
    context2d.putImageData(this.image, 0, 0);
    canvas.dataset.frame = String(this.last);
  }

  push(samples) {
    const room = this.e.queue_capacity();
    for (let i = 0; i < samples.length; i += room) {
      const part = samples.subarray(i, i + room);
      new Float32Array(this.e.memory.buffer, this.e.queue_buffer(), part.length).set(part);
      this.e.queue_push(part.length);
    }
  }

  // Frames per second shown over about the last second, by intervals.
  rate() {
    const t = this.times;
    const last = t.length - 1;
    const first = Math.max(0, last - Math.ceil(this.boardFps(this.last) ?? DEFAULT_FPS));
    return last > first ? (last - first) * 1000 / (t[last] - t[first]) : 0;
  }
}

const state = {
  module: null,
  bench: new Map(),
  player: null,
  closeMicrophone: null,
  paused: false,
  stepOnce: false,
  due: 0,  // when the next frame is due at the board's pace (performance.now() time)
  frameRequest: 0,
  opening: 0,  // counts opens, so that a stale one gives way to a newer
};

function statusText(p) {
  if (!p.shown) return `${p.settings.effect} · starting`;
  const name = p.settings.effect === 'showcase' ? `showcase: ${p.effectAt(p.last)}` : p.settings.effect;
  const fps = p.boardFps(p.last);
  const parts = [name, `frame ${p.last}`, fps ? `board ${fps.toFixed(2)} fps` : 'board fps unknown'];
  if (p.times.length > 1) parts.push(`shown ${p.rate().toFixed(1)} fps`);
  if (p.settings.pace === 'fast') parts.push('unpaced');
  if (state.paused) parts.push('paused');
  if (p.ended) parts.push('ended');
  return parts.join(' · ');
}

function finish(p) {
  const t = p.times;
  const seconds = t.length > 1 ? (t[t.length - 1] - t[0]) / 1000 : 0;
  document.body.dataset.done = JSON.stringify({
    frames: p.shown,
    seconds: Number(seconds.toFixed(3)),
    fps: seconds ? Number(((t.length - 1) / seconds).toFixed(2)) : 0,
    memory: p.e.memory.buffer.byteLength,
  });
}

function tick(now) {
  const p = state.player;
  state.frameRequest = 0;
  if (!p) return;
  let rendered = 0;
  if (state.paused) {
    if (state.stepOnce && p.audioReady() && p.advance(now) !== null) rendered++;
    state.stepOnce = false;
  } else if (p.settings.pace === 'fast') {
    const until = performance.now() + FAST_SLICE_MS;
    while (performance.now() < until && p.audioReady() && p.advance(performance.now()) !== null) {
      rendered++;
    }
  } else {
    if (!p.shown) state.due = now;  // the pace counts from the first frame shown
    // At the board's rate for the effect shown: each frame is due one board frame time after
    // the one before; a page that fell behind catches up by a few frames, then lets go of the
    // lag rather than racing.
    while (rendered < MAX_CATCH_UP && now >= state.due && p.audioReady()) {
      const n = p.advance(now);  // the time of the animation frame that shows it
      if (n === null) break;
      rendered++;
      state.due += 1000 / (p.boardFps(n) ?? DEFAULT_FPS);
    }
    if (now - state.due > MAX_LAG_MS) state.due = now;
  }
  if (rendered) p.draw();
  statusLine.textContent = statusText(p);
  if (p.ended) {
    finish(p);
    return;
  }
  state.frameRequest = requestAnimationFrame(tick);
}

function schedule() {
  if (!state.frameRequest && state.player && !state.player.ended) {
    state.frameRequest = requestAnimationFrame(tick);
  }
}

function stop() {
  if (state.frameRequest) cancelAnimationFrame(state.frameRequest);
  state.frameRequest = 0;
  state.player = null;
  if (state.closeMicrophone) state.closeMicrophone();
  state.closeMicrophone = null;
}

// Opens the URL's sequence on a new instance: after a trap an instance's memory is undefined,
// and a new one costs a few milliseconds.
async function start() {
  const opening = ++state.opening;
  stop();
  delete document.body.dataset.done;
  delete document.body.dataset.refused;
  showMessage('');
  let settings;
  try {
    settings = parseQuery(location.search);
  } catch (err) {
    return refuse(err.message);
  }
  fillForm(settings);
  const errors = [];
  const instance = await instantiate(state.module, (fd, line) => {
    if (fd === 2) errors.push(line);
    console.log(line);
  });
  if (opening !== state.opening) return;
  const p = new Player(instance, settings, state.bench);
  try {
    p.open();
  } catch (err) {
    if (err instanceof Refused) return refuse(err.message);
    // The module's refusal, "uncaught TYPE: message" on stderr before its trap.
    const line = errors.at(-1) ?? String(err);
    return refuse(line.replace(/^uncaught [^:]*: /, ''));
  }
  if (p.microphone) {
    try {
      state.closeMicrophone = await openMicrophone(samples => p.push(samples));
    } catch (err) {
      p.microphoneFailed = true;
      showMessage(err.message);
    }
    if (opening !== state.opening) {
      if (state.closeMicrophone) state.closeMicrophone();
      return;
    }
  }
  state.player = p;
  state.paused = false;
  state.due = performance.now();
  statusLine.textContent = statusText(p);
  schedule();
}

function refuse(text) {
  showMessage(text);
  statusLine.textContent = 'refused';
  document.body.dataset.refused = text;
}

function fillForm(s) {
  controls.effect.value = s.effect;
  controls.start.value = String(s.start);
  controls.frames.value = s.frames === Infinity ? '' : String(s.frames);
  const colon = s.audio.indexOf(':');
  const kind = s.audio ? (colon < 0 ? s.audio : s.audio.slice(0, colon)) : 'chord';
  controls.audio.value = AUDIO_KINDS.includes(kind) ? kind : 'chord';
  controls.level.value = colon < 0 ? '' : s.audio.slice(colon + 1);
  controls.pace.value = s.pace;
}

function readForm() {
  const kind = controls.audio.value;
  const arg = controls.level.value.trim();
  const audio = kind === 'chord' ? '' : arg ? `${kind}:${arg}` : kind === 'tone' ? 'tone:1000' : kind;
  return {
    effect: controls.effect.value,
    start: controls.start.value.trim() === '' ? 0 : controls.start.value.trim(),
    frames: controls.frames.value.trim() === '' ? Infinity : controls.frames.value.trim(),
    audio,
    pace: controls.pace.value,
  };
}

function save() {
  const p = state.player;
  if (!p || !p.shown) return;
  // At four times, pixel for pixel, as the view's s saves it by default.
  const big = document.createElement('canvas');
  big.width = WIDTH * 4;
  big.height = HEIGHT * 4;
  const g = big.getContext('2d');
  g.imageSmoothingEnabled = false;
  g.drawImage(canvas, 0, 0, big.width, big.height);
  big.toBlob(blob => {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = `lpcdemo-${p.settings.effect}-${p.last}.png`;
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  }, 'image/png');
}

function onKey(ev) {
  if (ev.target instanceof HTMLInputElement || ev.target instanceof HTMLSelectElement) return;
  const p = state.player;
  if (!p) return;
  if (ev.key === ' ') {
    state.paused = !state.paused;
    state.due = performance.now();  // the pace starts again from here, not from before the pause
  } else if (ev.key === 'ArrowRight') {
    if (state.paused) state.stepOnce = true;
  } else if (ev.key === 's') {
    save();
  } else {
    return;
  }
  ev.preventDefault();
  statusLine.textContent = statusText(p);
  schedule();
}

async function main() {
  if (typeof WebAssembly !== 'object') {
    canvas.hidden = true;
    form.hidden = true;
    statusLine.textContent = '';
    refuse('This browser runs no WebAssembly, which the demo needs: try a current Firefox, ' +
      'Chromium or Safari.');
    return;
  }
  for (const name of SEQUENCES) controls.effect.add(new Option(name, name));
  for (const kind of AUDIO_KINDS) controls.audio.add(new Option(kind === 'chord' ? 'built-in chord' : kind, kind));
  [state.bench, state.module] = await Promise.all([loadBench(), compileModule()]);
  form.addEventListener('change', () => {
    history.replaceState(null, '', toSearch(readForm()));
    start().catch(failed);
  });
  form.addEventListener('submit', ev => ev.preventDefault());
  document.addEventListener('keydown', onKey);
  await start();
}

function failed(err) {
  stop();
  refuse(`the demo failed: ${err.message}`);
}

main().catch(failed);
