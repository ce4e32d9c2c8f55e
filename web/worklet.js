// The microphone's samples at the converter's rate, in blocks for the page to hand to the
// module's queue. The page asks its AudioContext for that rate; a browser that refuses it runs
// the context at its own rate, and the samples are resampled here (linear interpolation: the
// converter itself takes no care against aliasing either).

class ConverterTap extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.step = sampleRate / options.processorOptions.rate;  // input samples per output sample
    this.exact = Math.abs(this.step - 1) < 1e-3;
    // Where the next output sample falls, in input samples from this block's start; it takes
    // the line between the input samples just before and at that point (one sample late, which
    // needs no look-ahead into the next block).
    this.at = 0;
    this.last = 0;  // the previous block's last sample, at position -1
  }

  process(inputs) {
    const input = inputs[0] && inputs[0][0];
    if (!input) return true;
    if (this.exact) {
      this.port.postMessage(input.slice(0));
      return true;
    }
    const out = [];
    for (; this.at < input.length; this.at += this.step) {
      const i = Math.floor(this.at);
      const before = i === 0 ? this.last : input[i - 1];
      const frac = this.at - i;
      out.push(before + (input[i] - before) * frac);
    }
    this.at -= input.length;
    this.last = input[input.length - 1];
    if (out.length) this.port.postMessage(Float32Array.from(out));
    return true;
  }
}

registerProcessor('converter-tap', ConverterTap);
