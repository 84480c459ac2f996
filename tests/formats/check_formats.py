#!/usr/bin/python3
"""Checks one reading written in the three record formats.

    check_formats.py SCHEMA JSON CSV OPENMETRICS

The JSON document against the schema; the CSV read back by Python's CSV
reader, table by table, against the JSON document's records (every field,
in order, as text, as the program makes it printable); the OpenMetrics text
through the Prometheus client's OpenMetrics parser, which refuses what the
format does not allow.  None of the three may hold a control character
(C0, DEL, C1, U+2028, U+2029) but its own line ends, nor a byte outside
valid UTF-8.  Prints what is wrong and exits 1; prints the metric samples
as JSON lines ("name", labels, value) for the caller to check values, and
exits 0.
"""
import csv
import io
import json
import re
import sys

import jsonschema
from prometheus_client.openmetrics.parser import text_string_to_metric_families


HIDDEN = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def fail(message):
    print(message)
    sys.exit(1)


def printable(text):
    """A text as the program shows it: each hidden character as U+FFFD."""
    return HIDDEN.sub("\ufffd", text)


def check_printable(name, raw, line_end):
    """The file is valid UTF-8 whose only control characters end its lines."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        fail(f"{name}: not valid UTF-8: {e}")
    text = text.replace(line_end, "")
    found = HIDDEN.search(text)
    if found:
        around = text[max(found.start() - 40, 0):found.end() + 40]
        fail(f"{name}: a control character U+{ord(found.group()):04X} in {around!r}")


def main():
    schema_path, json_path, csv_path, om_path = sys.argv[1:5]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    with open(json_path, "rb") as f:
        raw = f.read()
    check_printable("JSON", raw, "\n")
    document = json.loads(raw.decode("utf-8"))
    jsonschema.validate(document, schema)

    tables = [(name, rows) for name, rows in document.items() if name not in ("host", "time")]
    with open(csv_path, "rb") as f:
        raw = f.read()
    check_printable("CSV", raw, "\r\n")
    text = raw.decode("utf-8")
    reader = csv.reader(io.StringIO(text, newline=""))
    lines = list(reader)
    named = len(tables) > 1
    at = 0
    for name, rows in tables:
        if named:
            if lines[at] != [name]:
                fail(f"CSV: expected the name line {name!r}, got {lines[at]!r}")
            at += 1
        header = lines[at]
        at += 1
        for row in rows:
            if header != list(row.keys()):
                fail(f"CSV {name}: header {header!r} is not the JSON fields {list(row.keys())!r}")
            # JSON keeps the texts exactly (its escapes), CSV as shown.
            want = [printable(v) if isinstance(v, str) else str(v) for v in row.values()]
            got = lines[at]
            at += 1
            if got != want:
                fail(f"CSV {name}: row {got!r} is not the JSON record {want!r}")
        if named:
            if lines[at] != []:
                fail(f"CSV {name}: no empty line after the table")
            at += 1
    if at != len(lines):
        fail(f"CSV: {len(lines) - at} lines after the last table")

    with open(om_path, "rb") as f:
        raw = f.read()
    check_printable("OpenMetrics", raw, "\n")
    exposition = raw.decode("utf-8")
    for family in text_string_to_metric_families(exposition):
        for sample in family.samples:
            print(json.dumps([sample.name, sample.labels, sample.value]))


if __name__ == "__main__":
    try:
        main()
    except (jsonschema.ValidationError, ValueError, IndexError, KeyError) as e:
        fail(f"{type(e).__name__}: {e}")
