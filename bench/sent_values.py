#!/usr/bin/env python3
"""What a dump of the trapper stand-in (bench/trapper.c) says arrived.

  sent_values.py input DUMP OUT         write OUT, a `zabbix_sender -i` file of
                                        the same values in the same order;
                                        prints how many
  sent_values.py same DUMP REFERENCE    exit 1 unless DUMP holds the values of
                                        REFERENCE (host, key, value) in order
  sent_values.py layout DUMP BATCH      prints "requests=R values=V largest=L
                                        layout=WORD": WORD is "per-value" (one
                                        value a request), "batched" (the four
                                        totals in requests of up to BATCH, the
                                        discovery document alone, then the
                                        per-client values in requests of up to
                                        BATCH, each full but the last) or
                                        "unexpected" (the sizes are listed)

A dump is a run of records "LENGTH\\n" BODY "\\n", one per request, BODY the
request's JSON ({"request":"sender data","data":[{"host","key","value"},…]}).
"""
import json
import sys

TOTALS = 4


def requests(path):
    """Yields each request of the dump as a list of (host, key, value)."""
    with open(path, "rb") as f:
        while True:
            head = f.readline()
            if not head:
                return
            body = f.read(int(head))
            f.read(1)
            yield [(e["host"], e["key"], e["value"]) for e in json.loads(body)["data"]]


def values(path):
    return [v for r in requests(path) for v in r]


def quoted(text):
    # zabbix_sender 6.0 reads a quoted field with \" for a quote, \\ for a
    # backslash and \n for a line feed; everything else is taken as it is.
    if "\r" in text:
        sys.exit("a value holds a carriage return, which an input line cannot carry")
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def write_input(dump, out):
    n = 0
    with open(out, "w", encoding="utf-8") as f:
        for host, key, value in values(dump):
            f.write(quoted(host) + " " + quoted(key) + " " + quoted(value) + "\n")
            n += 1
    print(n)


def same(dump, reference):
    got, want = values(dump), values(reference)
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            sys.exit("value %d differs: %r, expected %r" % (i, str(g)[:200], str(w)[:200]))
    if len(got) != len(want):
        sys.exit("%d values, expected %d" % (len(got), len(want)))


def chunks(count, size):
    return [min(size, count - i) for i in range(0, count, size)]


def layout(dump, batch):
    sizes = [len(r) for r in requests(dump)]
    total = sum(sizes)
    if all(s == 1 for s in sizes):
        word = "per-value"
    elif total > TOTALS and sizes == chunks(TOTALS, batch) + [1] + chunks(total - TOTALS - 1, batch):
        word = "batched"
    else:
        word = "unexpected sizes=" + ",".join(map(str, sizes))
    print("requests=%d values=%d largest=%d layout=%s"
          % (len(sizes), total, max(sizes, default=0), word))


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("input", "same", "layout"):
        sys.exit(__doc__)
    verb, a, b = sys.argv[1:]
    if verb == "input":
        write_input(a, b)
    elif verb == "same":
        same(a, b)
    else:
        layout(a, int(b))


if __name__ == "__main__":
    main()
