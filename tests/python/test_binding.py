"""The ctypes binding, against the library named by TAVISK_LIBRARY."""

import json
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python"))
import tavisk  # noqa: E402

REPORT_KEYS = [
    "input_chars", "output_chars", "max_chars", "format", "input_format", "pruned", "fits",
    "strings_truncated", "arrays_sampled", "items_omitted", "objects_trimmed", "keys_omitted",
    "containers_collapsed", "arrays_condensed", "protected_omitted", "field_decisions",
    "fields_dropped", "dropped_fields",
]


class BindingTest(unittest.TestCase):
    def test_version(self):
        self.assertEqual(tavisk.version(), "0.2.1")

    def test_fitting_document_comes_back_rendered(self):
        result = tavisk.shrink('{"a": [1, 2], "b": null}', indent=0)
        self.assertEqual(result["text"], '{"a":[1,2],"b":null}')
        self.assertEqual(list(result["report"].keys()), REPORT_KEYS)
        self.assertEqual(result["report"]["output_chars"], 20)
        self.assertIs(result["report"]["pruned"], False)
        self.assertIs(result["report"]["fits"], True)

    def test_report_counts_characters_not_bytes(self):
        # Three characters per string, six bytes: the counts must be 9 and not 12.
        result = tavisk.shrink(b'["\xc3\xa9\xc3\xa9\xc3\xa9"]', indent=0)
        self.assertEqual(result["text"], '["\u00e9\u00e9\u00e9"]')
        self.assertEqual(result["report"]["input_chars"], 7)

    def test_str_and_bytes_agree(self):
        doc = '{"name": "Zo\u00eb \U0001F600", "n": 3}'
        self.assertEqual(tavisk.shrink(doc), tavisk.shrink(doc.encode("utf-8")))

    def test_options_are_passed_as_json(self):
        result = tavisk.shrink("[1]", indent=4, max_chars=50, protect=["/a", "/b/*"], arguments="x",
                               keep_last_item=False, field_scorer="Key-Order")
        self.assertEqual(result["text"], "[\n    1\n]")
        self.assertEqual(result["report"]["max_chars"], 50)

    def test_errors_raise_with_the_library_message(self):
        cases = [
            (("{}",), {"bogus": 1}, "invalid options: unknown option: bogus"),
            (("{}",), {"max_chars": -1}, "invalid options: max_chars must be a non-negative integer"),
            (("{}",), {"protect": 5}, "invalid options: protect must be a list of strings"),
            ((b"\xff",), {"bogus": 1}, "input is not valid UTF-8"),
        ]
        for args, options, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(tavisk.Error) as ctx:
                    tavisk.shrink(*args, **options)
                self.assertEqual(ctx.exception.message, message)
                self.assertEqual(str(ctx.exception), message)

    def test_json_syntax_error_names_its_position(self):
        with self.assertRaises(tavisk.Error) as ctx:
            tavisk.shrink('{"a": 1,}', input_format="json")
        self.assertTrue(ctx.exception.message.startswith("invalid JSON input: "), ctx.exception.message)
        self.assertIn("line 1, column", ctx.exception.message)

    def test_reader_is_detected_unless_given(self):
        cases = [
            ('{"a": [1]}', {}, "json"),
            ("a: 1\nb: [2]\n", {}, "yaml"),
            ("# Notes\n\n- one\n- two\n", {}, "text"),
            ("Build failed\nnpm ERR! code 1\n", {}, "text"),
            ("# Notes\n\n- one\n", {"input_format": "auto"}, "yaml"),
        ]
        for document, options, reader in cases:
            with self.subTest(document=document, options=options):
                result = tavisk.shrink(document, **options)
                self.assertEqual(result["report"]["input_format"], reader)
                if reader == "text":
                    self.assertEqual(result["text"], document)

    def test_large_document_round_trips(self):
        doc = json.dumps([{"id": i, "name": "item %d" % i} for i in range(5000)])
        result = tavisk.shrink(doc, indent=0, max_chars=10 ** 9)
        self.assertEqual(json.loads(result["text"]), json.loads(doc))
        self.assertEqual(result["report"]["output_chars"], len(result["text"]))

    def test_concurrent_calls(self):
        failures = []

        def work(n):
            try:
                got = tavisk.shrink(json.dumps({"n": n}), indent=0)["text"]
                if got != '{"n":%d}' % n:
                    failures.append(got)
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(repr(e))

        threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
