// ES module entry: the same functions and classes as the CommonJS entry.
import { createRequire } from 'node:module';

const tavisk = createRequire(import.meta.url)('./index.js');

export const {
  shrink,
  shrinkAsync,
  charsForTokens,
  libraryVersion,
  TaviskError,
  InputError,
  OptionsError,
  InternalError,
} = tavisk;
export default tavisk;
