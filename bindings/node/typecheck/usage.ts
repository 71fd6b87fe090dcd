// Compiled with `tsc --noEmit --strict` against the installed package: the uses
// below must type-check, and each line marked @ts-expect-error must be refused.
import tavisk, { shrink, shrinkAsync, InputError, type Report, type Result, type ShrinkOptions } from 'tavisk';

const options: ShrinkOptions = { max_chars: 100, protect: ['/a'], array_strategy: 'condense', focus: 'auto' };
const r: Result = shrink('{"a":1}', options);
const fits: boolean = r.report.fits;
const omitted: number = r.report.items_omitted;
const kept: boolean | undefined = r.report.field_decisions[0]?.kept;
const later: unknown = r.report['a_later_key'];

async function viaPromise(): Promise<string> {
  const x = await shrinkAsync(new Uint8Array([91, 49, 93]), { max_tokens: 10, chars_per_token: 3 });
  return x.text;
}

function kindOf(e: unknown): string {
  return e instanceof InputError ? e.kind : e instanceof tavisk.TaviskError ? e.kind : 'other';
}

function report(x: Report): number {
  return x.output_chars;
}

// @ts-expect-error the report is read-only
r.report.fits = false;
// @ts-expect-error max_chars is a number
shrink('[1]', { max_chars: '10' });
// @ts-expect-error fits is a boolean
const notText: string = r.report.fits;
// @ts-expect-error a function is no document
shrink(() => 1);

export { fits, omitted, kept, later, viaPromise, kindOf, report, notText };
