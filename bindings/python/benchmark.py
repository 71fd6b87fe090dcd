"""Times the Python package against the bare C call, and four threads against one
after another. Run with the package installed (a wheel, or `pip install -e`):

    python3 bindings/python/benchmark.py

"The C call" is tavisk_shrink reached through ctypes with the bytes ready and the
envelope freed unread; the package adds encoding, the options text, copying and
parsing the envelope and building the result.
"""

import ctypes
import json
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import tavisk
from tavisk import _core


def records(n, salt):
    return json.dumps([{"id": i, "name": "item %d %s" % (i, salt), "state": ["open", "closed"][i % 2],
                        "body": ("word%s " % salt) * 20} for i in range(n)])


def c_call(data, options):
    length = ctypes.c_uint64(0)
    ptr = _core._lib.tavisk_shrink(data, len(data), options, len(options), ctypes.byref(length))
    _core._lib.tavisk_free(ptr, length.value)


def per_call(fns, repeat):
    """Median seconds per call of each function, run in turn so that load hits all alike."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, out in zip(fns, times):
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


def main():
    small = '{"id": 7, "title": "Crash on start", "tags": ["bug", "p1"], "state": "open"}'
    big = records(70000, "x")
    print("python %s, library %s" % (sys.version.split()[0], tavisk.library_version()))
    print("%-28s %14s %14s %14s" % ("document", "C call", "tavisk.shrink", "overhead"))
    for name, doc, repeat in (("small (%d B)" % len(small), small, 20000), ("10 MB (%d B)" % len(big), big, 15)):
        data = doc.encode("utf-8")
        options = json.dumps({"max_chars": 4000}).encode("utf-8")
        c, p = per_call([lambda: c_call(data, options), lambda: tavisk.shrink(doc, max_chars=4000)], repeat)
        print("%-28s %11.1f us %11.1f us %11.1f us" % (name, c * 1e6, p * 1e6, (p - c) * 1e6))

    docs = [records(25000, salt) for salt in "abcd"]
    rounds = 5
    runs = {"one after another": [], "four threads": []}
    with ThreadPoolExecutor(4) as pool:
        ways = {
            "one after another": lambda: [tavisk.shrink(d, max_chars=4000) for d in docs],
            "four threads": lambda: list(pool.map(lambda d: tavisk.shrink(d, max_chars=4000), docs)),
        }
        for _ in range(rounds):
            for name, way in ways.items():
                wall, cpu = time.perf_counter(), time.process_time()
                way()
                runs[name].append((time.perf_counter() - wall, time.process_time() - cpu))
    print("four %.1f MB documents (median of %d):" % (len(docs[0]) / 1e6, rounds))
    for name, samples in runs.items():
        wall = statistics.median(w for w, _ in samples)
        busy = statistics.median(c / w for w, c in samples)
        print("  %-18s %6.0f ms wall, %.2f cores busy" % (name, wall * 1e3, busy))


if __name__ == "__main__":
    main()
