// The little of WASI the module needs, built from what it imports: fd_write as lines of text
// (stderr carries a refusal's message), fd_close and fd_seek as the stubs stdio's streams
// expect, and for any other import a function that throws naming it, should it ever be called.
// Works in a browser and in node.

const ERRNO_BADF = 8;
const ERRNO_SPIPE = 70;

// onLine(fd, text) gets each complete line written to fd 1 or 2.
function preview1(memory, onLine) {
  const decoder = new TextDecoder();
  const pending = new Map();
  return {
    fd_write(fd, iovs, count, written) {
      const view = new DataView(memory().buffer);
      let text = pending.get(fd) ?? '';
      let bytes = 0;
      for (let i = 0; i < count; i++) {
        const at = view.getUint32(iovs + 8 * i, true);
        const length = view.getUint32(iovs + 8 * i + 4, true);
        text += decoder.decode(new Uint8Array(memory().buffer, at, length));
        bytes += length;
      }
      const lines = text.split('\n');
      pending.set(fd, lines.pop());
      for (const line of lines) onLine(fd, line);
      view.setUint32(written, bytes, true);
      return 0;
    },
    fd_close() {
      return ERRNO_BADF;
    },
    fd_seek() {
      return ERRNO_SPIPE;
    },
  };
}

// A new instance of the compiled module, its static constructors run.
export async function instantiate(module, onLine) {
  let instance = null;
  const known = preview1(() => instance.exports.memory, onLine);
  const imports = {};
  for (const { module: from, name, kind } of WebAssembly.Module.imports(module)) {
    if (kind !== 'function') throw new Error(`the module imports ${from}.${name}, a ${kind}`);
    imports[from] ??= {};
    imports[from][name] = from === 'wasi_snapshot_preview1' && known[name]
      ? known[name]
      : () => { throw new Error(`${from}.${name} is not provided`); };
  }
  instance = await WebAssembly.instantiate(module, imports);
  instance.exports._initialize();
  return instance;
}
