"""The installed tavisk package, end to end: the same answers as the command's
envelope (the C call), typed results, error kinds, token budgets, large
documents and threads. TAVISK_CLI names the command to compare with."""

import dataclasses
import doctest
import json
import math
import os
import subprocess
import threading
import time
import unittest

import tavisk
from tavisk import _core

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
SHARED = os.path.join(CHECKOUT, "..", "shared", "corpus", "real")
CLI = os.environ.get("TAVISK_CLI", "")
EXAMPLE = os.path.join(CHECKOUT, "examples", "github-issues.json")

REPORT_KEYS = [
    "input_chars", "output_chars", "max_chars", "format", "input_format", "pruned", "fits",
    "strings_truncated", "arrays_sampled", "items_omitted", "objects_trimmed", "keys_omitted",
    "containers_collapsed", "arrays_condensed", "protected_omitted", "field_decisions",
    "fields_dropped", "dropped_fields",
]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def as_sent(options, default_reader="detect"):
    """The options the package sends: its default reader unless one is named."""
    return dict({"input_format": default_reader}, **options)


def cli_envelope(document, options):
    """The envelope the command prints for `document` (bytes) under `options` (dict)."""
    out = subprocess.run([CLI, "--envelope", "--options", json.dumps(options), "-"], input=document,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False).stdout
    return json.loads(out)


def shrink_or_error(document, **options):
    try:
        result = tavisk.shrink(document, **options)
    except tavisk.TaviskError as e:
        return {"ok": False, "error": e.message}
    return {"ok": True, "text": result.text, "report": result.report.to_dict()}


class PackageTest(unittest.TestCase):
    def test_package_loads_its_own_library(self):
        self.assertEqual(tavisk.library_version(), tavisk.__version__)
        package_dir = os.path.dirname(tavisk.__file__)
        self.assertTrue(os.path.exists(os.path.join(package_dir, "libtavisk.so.0")))
        self.assertTrue(os.path.exists(os.path.join(package_dir, "py.typed")))
        self.assertNotIn("TAVISK_LIBRARY", os.environ)

    def test_docstring_examples_run(self):
        for module in (tavisk, _core):
            with self.subTest(module=module.__name__):
                outcome = doctest.testmod(module, verbose=False)
                self.assertGreater(outcome.attempted, 0)
                self.assertEqual(outcome.failed, 0)


@unittest.skipUnless(CLI, "TAVISK_CLI is not set: no command to compare with")
class SameAsCommandTest(unittest.TestCase):
    """Text, report and messages equal the command's envelope for the same bytes."""

    def cases(self):
        example = read(EXAMPLE)
        yield "example fits", example, {"max_chars": 10 ** 6}
        yield "example pruned", example, {"max_chars": 2000, "protect": ["/*/number"]}
        yield "example condensed, explained", example, {"max_chars": 3000, "array_strategy": "condense",
                                                        "explain": True, "arguments": {"q": "open bugs"}}
        yield "example as yaml", example, {"max_chars": 1500, "format": "yaml", "indent": 4}
        yield "unicode", '{"n\u00e4me": "Zo\u00eb \U0001F600 \u2026 \ud7ff\ue000\ufffd\U0010FFFF\u007f\u0080\u07ff\u0800", "s": "%s"}' % ("\u00e9" * 900), {"max_chars": 120}
        yield "yaml input", b"a: 1\nb: [x, y]\nc: |\n  line\n", {}
        yield "bad json", b'{"a": 1,}', {"input_format": "json"}
        yield "bad utf-8", b"\xff\xfe", {}
        yield "bad option", b"{}", {"max_chars": "10"}
        yield "log text", b"2024-05-01 INFO start\n\x1b[31mERROR\x1b[0m x: y\n" * 300, {"max_chars": 400, "strip_ansi": True}

    def corpus_cases(self):
        for name in sorted(os.listdir(SHARED)):
            path = os.path.join(SHARED, name)
            if name != "MANIFEST.tsv" and os.path.getsize(path) < 600000:
                yield name, read(path), {"max_chars": 1200}

    def test_results_equal_the_command(self):
        self.check_against_command(self.cases())

    @unittest.skipUnless(os.path.isdir(SHARED), "../shared/corpus/real is not beside the checkout")
    def test_corpus_results_equal_the_command(self):
        self.check_against_command(self.corpus_cases())

    def check_against_command(self, cases):
        for name, document, options in cases:
            data = document.encode("utf-8") if isinstance(document, str) else document
            with self.subTest(case=name):
                want = cli_envelope(data, as_sent(options))
                self.assertEqual(shrink_or_error(document, **options), want)
                if want["ok"]:
                    self.assertEqual(list(want["report"])[:18], REPORT_KEYS)

    def test_values_are_sent_as_their_json(self):
        value = {"items": [{"id": i, "title": "t\u00eftle %d" % i, "ok": i % 2 == 0, "x": None} for i in range(300)]}
        for options in ({"max_chars": 500}, {"max_chars": 500, "input_format": "yaml"}):
            with self.subTest(options=options):
                data = json.dumps(value, ensure_ascii=False).encode("utf-8")
                sent = as_sent(options, "json")
                self.assertEqual(shrink_or_error(value, **options), cli_envelope(data, sent))


class ResultTest(unittest.TestCase):
    def test_report_is_typed_and_complete(self):
        result = tavisk.shrink(read(EXAMPLE), max_chars=3000, array_strategy="condense", explain=True)
        report = result.report
        self.assertEqual(list(report.to_dict())[:18], REPORT_KEYS)
        self.assertEqual(report.output_chars, len(result.text))
        self.assertTrue(report.pruned and report.fits)
        for name in REPORT_KEYS:
            value = getattr(report, name)
            if name in ("format", "input_format"):
                self.assertIn(value, ("json", "yaml"))
            elif name in ("pruned", "fits"):
                self.assertIsInstance(value, bool)
            elif name in ("field_decisions", "dropped_fields"):
                self.assertIsInstance(value, tuple)
            else:
                self.assertIs(type(value), int, name)
        self.assertGreater(len(report.field_decisions), 0)
        for d in report.field_decisions:
            self.assertIsInstance(d, tavisk.FieldDecision)
            self.assertIsInstance(d.kept, bool)
            self.assertTrue(d.score >= 0 and d.relevance >= 0)
        self.assertEqual(report.fields_dropped >= len(report.dropped_fields), True)

    def test_results_are_immutable(self):
        result = tavisk.shrink("[1, 2]")
        mutations = [
            lambda: setattr(result, "text", "x"),
            lambda: setattr(result.report, "fits", False),
            lambda: setattr(result.report, "max_chars", 1),
        ]
        for mutate in mutations:
            with self.assertRaises(dataclasses.FrozenInstanceError):
                mutate()
        with self.assertRaises(TypeError):
            result.report.extra["k"] = 1  # type: ignore[index]

    def test_report_keys_after_the_eighteen_arrive_in_extra(self):
        plain = tavisk.shrink(read(EXAMPLE), max_chars=2000, arguments="crash")
        focused = tavisk.shrink(read(EXAMPLE), max_chars=2000, arguments="crash", focus="auto")
        self.assertEqual(dict(plain.report.extra), {})
        self.assertGreater(len(focused.report.extra), 0)
        self.assertEqual(list(focused.report.to_dict())[:18], REPORT_KEYS)
        self.assertEqual(list(focused.report.to_dict())[18:], list(focused.report.extra))
        for key, value in focused.report.extra.items():
            self.assertNotIn(key, REPORT_KEYS)
            self.assertIs(type(value), int, key)

    def test_report_keeps_keys_it_does_not_name(self):
        raw = json.loads(_core._call(b"[1]", b"{}"))["report"]
        raw["later_counter"] = 4
        raw["later_list"] = ["/a"]
        report = _core._report(raw)
        self.assertEqual(dict(report.extra), {"later_counter": 4, "later_list": ["/a"]})
        self.assertEqual(report.to_dict(), raw)
        self.assertEqual(list(report.to_dict()), list(raw))
        del raw["fits"]
        with self.assertRaises(tavisk.InternalError):
            _core._report(raw)

    def test_document_kinds_agree(self):
        text = '{"name": "Zo\u00eb \U0001F600", "n": [1, 2, 3]}'
        data = text.encode("utf-8")
        want = tavisk.shrink(text, indent=0)
        for document in (data, bytearray(data), memoryview(data), json.loads(text)):
            with self.subTest(kind=type(document).__name__):
                self.assertEqual(tavisk.shrink(document, indent=0), want)
        self.assertEqual(tavisk.shrink(["a: 1"], indent=0).text, '["a: 1"]')
        self.assertEqual(tavisk.shrink(None, indent=0).text, "null")

    def test_text_is_read_by_the_reader_that_fits_unless_one_is_named(self):
        # A str or bytes is the document's text, never a JSON value; a value is sent as JSON.
        cases = [
            ('{"a": 1}', {}, "json"),
            ("a: 1\nb: [x, y]\n", {}, "yaml"),
            ("2024-05-01 INFO start\n2024-05-01 ERROR x: y\n", {}, "text"),
            (b"[1, 2", {}, "text"),
            ("plain words", {}, "text"),
            ({"a": "b: c"}, {}, "json"),
            ("a: 1", {"input_format": "text"}, "text"),
            ("a: 1", {"input_format": "auto"}, "yaml"),
            ({"a": 1}, {"input_format": "yaml"}, "yaml"),
            ("# Notes\n\n- one\n- two\n", {}, "text"),
            ("Build failed\nnpm ERR! code 1\n", {}, "text"),
            ("# Notes\n\n- one\n", {"input_format": "auto"}, "yaml"),
        ]
        for document, options, reader in cases:
            with self.subTest(document=document, options=options):
                result = tavisk.shrink(document, **options)
                self.assertEqual(result.report.input_format, reader)
                if reader == "text":
                    text = document.decode("utf-8") if isinstance(document, bytes) else document
                    self.assertEqual(result.text, text)


class ErrorTest(unittest.TestCase):
    def test_errors_carry_their_kind_and_the_library_message(self):
        cases = [
            ("{}", {"bogus": 1}, tavisk.OptionsError, "invalid options: unknown option: bogus"),
            ("{}", {"max_chars": -1}, tavisk.OptionsError, "invalid options: max_chars must be a non-negative integer"),
            ("{}", {"max_chars": 1.0}, tavisk.OptionsError, "invalid options: max_chars must be a non-negative integer"),
            ("{}", {"protect": 5}, tavisk.OptionsError, "invalid options: protect must be a list of strings"),
            ("{}", {"format": "yaml", "indent": 1}, tavisk.OptionsError, "invalid options: YAML indent must be at least 2"),
            ("{}", {"arguments": "\udc80"}, tavisk.OptionsError, "options are not valid UTF-8"),
            (b"\xff", {"bogus": 1}, tavisk.InputError, "input is not valid UTF-8"),
            ("x\ud800y", {}, tavisk.InputError, "input is not valid UTF-8"),
            ("", {"input_format": "auto"}, tavisk.InputError,
             "invalid JSON input: unexpected end of input at line 1, column 1"),
            ("[1, 2", {"input_format": "auto"}, tavisk.InputError, "invalid JSON input: "),
            ("a: [1", {"input_format": "yaml"}, tavisk.InputError, "invalid YAML input: "),
            ('{"a": 1,}', {"input_format": "json"}, tavisk.InputError, "invalid JSON input: "),
        ]
        for document, options, kind, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(tavisk.TaviskError) as ctx:
                    tavisk.shrink(document, **options)
                self.assertIs(type(ctx.exception), kind)
                self.assertTrue(ctx.exception.message.startswith(message), ctx.exception.message)
                self.assertEqual(str(ctx.exception), ctx.exception.message)
                self.assertIsInstance(ctx.exception, ValueError)

    def test_messages_map_to_kinds(self):
        cases = [
            ("internal error (panic) in tavisk", tavisk.InternalError),
            ("invalid options JSON: unexpected end of input at line 1, column 1", tavisk.OptionsError),
            ("options are not valid UTF-8", tavisk.OptionsError),
            ("invalid options: unknown option: x", tavisk.OptionsError),
            ("invalid YAML input: bad", tavisk.InputError),
            ("input is not valid UTF-8", tavisk.InputError),
        ]
        for message, kind in cases:
            with self.subTest(message=message):
                error = _core._error_for(message)
                self.assertIs(type(error), kind)
                self.assertEqual(error.message, message)
        self.assertIsInstance(_core._error_for(cases[0][0]), RuntimeError)

    def test_values_that_are_not_json_raise_type_error(self):
        for document, options in ((set(), {}), (float("nan"), {}), ({"a": object()}, {}), ("{}", {"arguments": {1j}})):
            with self.subTest(document=repr(document), options=repr(options)):
                with self.assertRaises(TypeError):
                    tavisk.shrink(document, **options)


class TokenBudgetTest(unittest.TestCase):
    def test_token_budgets_become_character_budgets(self):
        cases = [
            ({"max_tokens": 1000}, 3500),
            ({"max_tokens": 1001}, 3503),
            ({"max_tokens": 10, "chars_per_token": 0.7}, 7),
            ({"max_tokens": 3, "chars_per_token": 0.1}, 0),
            ({"max_tokens": 7, "chars_per_token": 1}, 7),
            ({"max_tokens": 0}, 0),
            ({"max_tokens": 5, "chars_per_token": 4.25}, 21),
            ({"max_tokens": 5270498306774156000}, 18446744073709547520),
            ({"max_tokens": 5270498306774157000}, 2 ** 64 - 1),
            ({"max_tokens": 2 ** 70}, 2 ** 64 - 1),
        ]
        for options, chars in cases:
            with self.subTest(options=options):
                self.assertEqual(tavisk.shrink("[1]", **options).report.max_chars, chars)
                self.assertEqual(tavisk.chars_for_tokens(options["max_tokens"], options.get("chars_per_token", 3.5)),
                                 chars)

    def test_bad_token_budgets_are_option_errors(self):
        cases = [
            {"max_tokens": -1},
            {"max_tokens": 1.5},
            {"max_tokens": True},
            {"max_tokens": "10"},
            {"max_tokens": 10, "chars_per_token": 0},
            {"max_tokens": 10, "chars_per_token": -2.0},
            {"max_tokens": 10, "chars_per_token": math.nan},
            {"max_tokens": 10, "chars_per_token": math.inf},
            {"max_tokens": 10, "max_chars": 100},
            {"chars_per_token": 4.0},
        ]
        for options in cases:
            with self.subTest(options=options):
                with self.assertRaises(tavisk.OptionsError):
                    tavisk.shrink("[1]", **options)

    @unittest.skipUnless(CLI, "TAVISK_CLI is not set: no command to compare with")
    def test_command_agrees_on_token_budgets(self):
        help_text = subprocess.run([CLI, "--help"], stdout=subprocess.PIPE, check=True, text=True).stdout
        if "--max-tokens" not in help_text:
            self.skipTest("the command has no --max-tokens flag")
        for tokens, ratio in ((1000, None), (10, "0.7"), (3, "0.1"), (5, "4.25"), (123457, "2.9")):
            with self.subTest(tokens=tokens, ratio=ratio):
                args = [CLI, "--envelope", "--max-tokens", str(tokens)] + (["--chars-per-token", ratio] if ratio else [])
                out = subprocess.run(args + ["-"], input=b"[1]", stdout=subprocess.PIPE, check=True).stdout
                options = {"max_tokens": tokens} if ratio is None else {"max_tokens": tokens, "chars_per_token": float(ratio)}
                self.assertEqual(json.loads(out)["report"]["max_chars"], tavisk.shrink("[1]", **options).report.max_chars)


class LargeAndConcurrentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # About 10 MB of records; four differently shaped ones for the threads.
        cls.big_value = [{"id": i, "name": "item %d" % i, "body": "word " * 20} for i in range(70000)]
        cls.big = json.dumps(cls.big_value)
        cls.docs = [
            json.dumps([{"k%d" % (i % (n + 2)): "v" * (i % 50), "i": i} for i in range(20000)]) for n in range(4)
        ]

    def test_very_large_document(self):
        result = tavisk.shrink(self.big, max_chars=2000, protect="/*/id")
        self.assertGreater(len(self.big), 10 * 10 ** 6)
        self.assertTrue(result.report.fits and result.report.pruned)
        self.assertEqual(result.report.output_chars, len(result.text))
        self.assertGreater(result.report.input_chars, 10 * 10 ** 6)
        whole = tavisk.shrink(self.big, max_chars=10 ** 9, indent=0)
        self.assertEqual(whole.text, json.dumps(self.big_value, separators=(",", ":")))

    def test_threads_get_the_same_answers_as_one_after_another(self):
        options = {"max_chars": 3000, "array_strategy": "condense"}
        sequential = [tavisk.shrink(d, **options) for d in self.docs]
        self.assertEqual(len({r.text for r in sequential}), 4)
        got = [None] * 8
        errors = []

        def work(slot):
            try:
                got[slot] = tavisk.shrink(self.docs[slot % 4], **options)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(got, sequential + sequential)

    def test_the_call_releases_the_interpreter_lock(self):
        # A counting thread notes in which millisecond each of its steps ran. Were the lock
        # held through the call, it could not step at all in the middle of the call (it may
        # still run just before the call starts and just after it returns). The document is
        # doubled until one call lasts long enough to tell, however fast the machine.
        data = self.big.encode("utf-8")
        for _ in range(6):
            steps, start, elapsed = self._count_during_call(data)
            if elapsed > 0.04:
                break
            data = b"[" + data + b"," + data + b"]"
        self.assertGreater(elapsed, 0.04)
        first_ms = int((start + elapsed / 4) * 1000)
        last_ms = int((start + elapsed / 2) * 1000)
        during = sum(steps[first_ms:last_ms])
        self.assertGreater(during, 100, "the counting thread stood still in the middle of a %.3f s call" % elapsed)

    @staticmethod
    def _count_during_call(data):
        steps = [0] * 60000
        origin = time.perf_counter()
        running = threading.Event()
        stop = threading.Event()

        def count():
            running.set()
            while not stop.is_set():
                steps[min(int((time.perf_counter() - origin) * 1000), 59999)] += 1

        counter = threading.Thread(target=count)
        counter.start()
        running.wait()
        try:
            start = time.perf_counter()
            _core._call(data, b'{"max_chars":2000}')
            elapsed = time.perf_counter() - start
        finally:
            stop.set()
            counter.join()
        return steps, start - origin, elapsed

if __name__ == "__main__":
    unittest.main()
