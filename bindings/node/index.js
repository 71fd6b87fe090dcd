'use strict';
// tavisk for Node.js: shrink JSON, YAML or prose documents to fit a context window.
//
//   const tavisk = require('tavisk');
//   const { text, report } = await tavisk.shrinkAsync(bigJson, { max_tokens: 2000 });
//
// The addon and the library it calls ship in native/; the addon finds the library beside itself.

const path = require('path');

const native = require(path.join(__dirname, 'native', 'tavisk.node'));

const U64_MAX = 18446744073709551615n;

/** The library refused a call; `message` is its text, unchanged; `kind` says whose fault. */
class TaviskError extends Error {
  constructor(message, kind) {
    super(message);
    this.name = new.target.name;
    this.kind = kind;
  }
}

/** The document could not be read (not UTF-8, or not valid JSON or YAML). */
class InputError extends TaviskError {
  constructor(message) {
    super(message, 'input');
  }
}

/** An option was unknown or had a value of the wrong kind. */
class OptionsError extends TaviskError {
  constructor(message) {
    super(message, 'options');
  }
}

/** The library failed inside a call; worth reporting with the document. */
class InternalError extends TaviskError {
  constructor(message) {
    super(message, 'internal');
  }
}

function errorFor(message) {
  if (message.startsWith('invalid options') || message.startsWith('options ')) return new OptionsError(message);
  if (message.startsWith('internal error')) return new InternalError(message);
  // What is neither about the options nor internal is about the document.
  return new InputError(message);
}

/**
 * The character budget for a token budget: floor(maxTokens * charsPerToken),
 * in double precision, saturating at 2^64 - 1. A budget above 2^53 is returned
 * as a BigInt, so that it is sent to the library digit for digit.
 */
function charsForTokens(maxTokens, charsPerToken = 3.5) {
  if (typeof maxTokens !== 'number' || !Number.isInteger(maxTokens) || maxTokens < 0) {
    throw new OptionsError('max_tokens must be a non-negative integer');
  }
  if (typeof charsPerToken !== 'number' || !Number.isFinite(charsPerToken) || charsPerToken <= 0) {
    throw new OptionsError('chars_per_token must be a positive number');
  }
  const product = maxTokens * charsPerToken;
  if (product >= 2 ** 64) return U64_MAX;
  const chars = Math.floor(product);
  return Number.isSafeInteger(chars) ? chars : BigInt(chars);
}

// The options text for the library: the caller's keys, with a token budget turned into max_chars.
function optionsText(options, serialised) {
  if (options === undefined || options === null) options = {};
  if (typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError('options must be an object of option keys');
  }
  const out = { ...options };
  if (out.max_tokens !== undefined) {
    if (out.max_chars !== undefined) throw new OptionsError('give max_chars or max_tokens, not both');
    out.max_chars = charsForTokens(out.max_tokens, out.chars_per_token === undefined ? 3.5 : out.chars_per_token);
    delete out.max_tokens;
    delete out.chars_per_token;
  } else if (out.chars_per_token !== undefined) {
    throw new OptionsError('chars_per_token needs max_tokens');
  }
  // Text is read by whichever reader fits (JSON, YAML, else plain text); values serialised here are JSON.
  if (out.input_format === undefined) out.input_format = serialised ? 'json' : 'detect';
  const maxChars = out.max_chars;
  if (typeof maxChars === 'bigint') {
    // JSON.stringify has no BigInt: write its digits first, then the other keys.
    delete out.max_chars;
    const rest = JSON.stringify(out);
    return `{"max_chars":${maxChars}` + (rest === '{}' ? '}' : ',' + rest.slice(1));
  }
  return JSON.stringify(out);
}

// The document as the addon takes it: a string or a Uint8Array, and whether it was serialised here.
function documentInput(document) {
  if (typeof document === 'string') {
    if (typeof document.isWellFormed === 'function' && !document.isWellFormed()) {
      throw new InputError('input is not valid UTF-8');
    }
    return [document, false];
  }
  if (document instanceof Uint8Array) return [document, false];
  if (document instanceof ArrayBuffer) return [new Uint8Array(document), false];
  if (ArrayBuffer.isView(document)) {
    return [new Uint8Array(document.buffer, document.byteOffset, document.byteLength), false];
  }
  const text = JSON.stringify(document);
  if (text === undefined) throw new TypeError('document must be a string, a Buffer or a JSON value');
  return [text, true];
}

function deepFreeze(value) {
  if (value !== null && typeof value === 'object') {
    for (const v of Object.values(value)) deepFreeze(v);
    Object.freeze(value);
  }
  return value;
}

function result(envelopeText) {
  const envelope = JSON.parse(envelopeText);
  if (envelope.ok !== true) throw errorFor(String(envelope.error));
  return deepFreeze({ text: envelope.text, report: envelope.report });
}

/**
 * Shrinks `document` (a string, a Buffer/Uint8Array, or any JSON value, which is
 * serialised here) under `options` (the library's option keys, e.g.
 * `{ max_chars: 2000, protect: ['/items/*\/id'] }`, or `max_tokens` with
 * `chars_per_token`). Returns a frozen `{ text, report }`; throws InputError,
 * OptionsError or InternalError. Blocks until done: prefer shrinkAsync in servers.
 */
function shrink(document, options) {
  const [input, serialised] = documentInput(document);
  return result(native.shrink(input, optionsText(options, serialised)));
}

/**
 * Like shrink, but the library works on a thread of the libuv pool and the
 * returned Promise settles with the result, so the event loop stays free.
 */
async function shrinkAsync(document, options) {
  const [input, serialised] = documentInput(document);
  return result(await native.shrinkAsync(input, optionsText(options, serialised)));
}

/** The version of the bundled library, e.g. "0.2.1". */
function libraryVersion() {
  return native.version();
}

module.exports = {
  shrink,
  shrinkAsync,
  charsForTokens,
  libraryVersion,
  TaviskError,
  InputError,
  OptionsError,
  InternalError,
};
// For the package's tests: the options text a call sends.
Object.defineProperty(module.exports, '_optionsText', { value: optionsText });
// `import tavisk from 'tavisk'` in TypeScript's CommonJS output reads `.default`.
module.exports.default = module.exports;
