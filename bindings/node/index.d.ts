// Types of the tavisk package. Option and report keys are the library's own names.

/** Any value JSON can write; such a document is serialised and read back as JSON. */
export type JsonValue = string | number | boolean | null | JsonValue[] | { [key: string]: JsonValue };

/** What to shrink: the document text, its UTF-8 bytes, or a JSON value. */
export type Document = string | Uint8Array | ArrayBuffer | ArrayBufferView | JsonValue;

export interface ShrinkOptions {
  /** Character budget of the result text (default 10000). Give this or `max_tokens`. */
  max_chars?: number | bigint;
  /** A token budget instead: `max_chars` becomes floor(max_tokens * chars_per_token). */
  max_tokens?: number;
  /** Characters per token for `max_tokens` (default 3.5). */
  chars_per_token?: number;
  /** Spaces per nesting level; 0 gives compact JSON (default 2). */
  indent?: number;
  /** Output format (default "auto": as the input). */
  format?: 'auto' | 'json' | 'yaml' | 'yml' | 'text' | (string & {});
  /**
   * Which reader parses the input. Default: "detect" for strings and bytes (JSON if it parses, else YAML
   * that loses nothing, else plain text), "json" for values serialised here.
   */
  input_format?: 'detect' | 'auto' | 'json' | 'yaml' | 'yml' | 'text' | 'jsonl' | (string & {});
  /** Drop terminal escape sequences from text input (default false). */
  strip_ansi?: boolean;
  /** "auto" serves the parts that match `arguments` first and adds five counters to the report (default "none"). */
  focus?: 'none' | 'auto' | (string & {});
  /** How object keys are ranked (default "heuristic"). */
  field_scorer?: 'heuristic' | 'compact' | 'key_order' | (string & {});
  /** "condense" lets arrays of records become narrower tables (default "sample"). */
  array_strategy?: 'sample' | 'condense' | (string & {});
  /** Path patterns such as "/items/*\/id" whose nodes are never shortened (default none). */
  protect?: string | string[];
  /** The request that produced the document; its words rank keys and values (default none). */
  arguments?: JsonValue;
  /** Record every per-field decision of condensing in the report (default false). */
  explain?: boolean;
  /** Arrays prefer to keep their last item (default true). */
  keep_last_item?: boolean;
  /** Items of distinct shape an array keeps when none fits whole (default 3). */
  max_samples?: number;
  /** The least room for which an array item is kept in part (default 40). */
  min_partial_chars?: number;
  /** Long strings: head size (default 500). */
  string_head_chars?: number;
  /** Long strings: section size (default 100). */
  string_section_chars?: number;
  /** Long strings: smallest section preview (default 16). */
  string_min_section_chars?: number;
  /** Option keys newer than these declarations are passed to the library as given. */
  [key: string]: unknown;
}

export interface FieldDecision {
  readonly path: string;
  readonly score: number;
  readonly kept: boolean;
  readonly relevance: number;
}

export interface DroppedField {
  readonly path: string;
  readonly items: number;
}

/** What one call did. Later library versions may add keys after these. */
export interface Report {
  readonly input_chars: number;
  readonly output_chars: number;
  readonly max_chars: number;
  readonly format: 'json' | 'yaml' | 'text' | 'jsonl' | (string & {});
  readonly input_format: 'json' | 'yaml' | 'text' | 'jsonl' | (string & {});
  readonly pruned: boolean;
  readonly fits: boolean;
  readonly strings_truncated: number;
  readonly arrays_sampled: number;
  readonly items_omitted: number;
  readonly objects_trimmed: number;
  readonly keys_omitted: number;
  readonly containers_collapsed: number;
  readonly arrays_condensed: number;
  readonly protected_omitted: number;
  readonly field_decisions: readonly FieldDecision[];
  readonly fields_dropped: number;
  readonly dropped_fields: readonly DroppedField[];
  readonly [key: string]: unknown;
}

/** A successful call (frozen). */
export interface Result {
  readonly text: string;
  readonly report: Report;
}

/** The library refused a call; `message` is its text, unchanged. */
export class TaviskError extends Error {
  readonly kind: 'input' | 'options' | 'internal';
}
/** The document could not be read (not UTF-8, or not valid JSON or YAML). */
export class InputError extends TaviskError {
  readonly kind: 'input';
}
/** An option was unknown or had a value of the wrong kind. */
export class OptionsError extends TaviskError {
  readonly kind: 'options';
}
/** The library failed inside a call. */
export class InternalError extends TaviskError {
  readonly kind: 'internal';
}

/** Shrinks `document` on this thread; blocks until done. */
export function shrink(document: Document, options?: ShrinkOptions): Result;
/** Shrinks `document` on a worker thread; the event loop stays free. */
export function shrinkAsync(document: Document, options?: ShrinkOptions): Promise<Result>;
/** floor(maxTokens * charsPerToken) in double precision, saturating at 2^64 - 1. */
export function charsForTokens(maxTokens: number, charsPerToken?: number): number | bigint;
/** The version of the bundled library, e.g. "0.2.1". */
export function libraryVersion(): string;

declare const tavisk: {
  shrink: typeof shrink;
  shrinkAsync: typeof shrinkAsync;
  charsForTokens: typeof charsForTokens;
  libraryVersion: typeof libraryVersion;
  TaviskError: typeof TaviskError;
  InputError: typeof InputError;
  OptionsError: typeof OptionsError;
  InternalError: typeof InternalError;
};
export default tavisk;
