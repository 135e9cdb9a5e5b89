#!/usr/bin/env python3
"""Reads a list that catadump wrote in one format back with the program that consumes that format, and
compares every entry with the expected ones.

    read_back.py [--status] FORMAT LIST EXPECTED [SOURCE_HEX]

EXPECTED has one entry a line: kind (folder/file), the path's bytes in hex, then, for the versions with
values, size, created, modified, accessed (Windows file times) and attributes, else the attributes alone.
With SOURCE_HEX, the list is one of many databases' and every row must carry that source (its bytes in
hex). The timeline is read as a timeline tool imports it, and compared event by event with the entries'
dates. With --status (a run that recovers an intact database) every csv row and JSON line ends in the status
intact. Prints what differs and exits 1, or exits 0.
"""
import csv
import datetime
import json
import subprocess
import sys

EPOCH_1601 = datetime.date(1601, 1, 1)
UNIX_EPOCH_TICKS = 116444736000000000
LAST_ISO_TICKS = 2650467743999999999
FULL_HEADER = ["Path", "Type", "Size", "Created", "Modified", "Accessed", "Attributes"]
STATUS = False


def ticks_of_iso(text):
    # "2021-03-04T05:06:07.1234567Z": to the 100 ns that datetime cannot hold.
    day = datetime.date(int(text[0:4]), int(text[5:7]), int(text[8:10]))
    seconds = ((day - EPOCH_1601).days * 86400 + int(text[11:13]) * 3600 + int(text[14:16]) * 60
               + int(text[17:19]))
    return seconds * 10**7 + int(text[20:27])


def date_field(text):
    if text in ("", None):
        return 0
    if isinstance(text, int):
        return text
    return ticks_of_iso(text) if "T" in text else int(text)


def expected_entries(path):
    entries = []
    with open(path) as lines:
        for line in lines:
            kind, hexpath, *values = line.split()
            entries.append((kind, bytes.fromhex(hexpath), tuple(int(v) for v in values)))
    return entries


def read_csv(path, source):
    with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
        rows = list(csv.reader(f))
    header, rows = rows[0], rows[1:]
    if STATUS:
        assert header[-1] == "Status" and all(row[-1] == "intact" for row in rows), header
        header, rows = header[:-1], [row[:-1] for row in rows]
    if source is not None:
        # One header of every column; a version without values leaves them empty.
        assert header == ["Source"] + FULL_HEADER, header
        for row in rows:
            assert row[0].encode("utf-8", "surrogateescape") == source, row
        rows = [row[1:] for row in rows]
    with_values = header[-len(FULL_HEADER):] == FULL_HEADER
    assert with_values or header == ["Path", "Type", "Attributes"], header
    entries = []
    for row in rows:
        name = row[0].encode("utf-8", "surrogateescape")
        if source is not None and row[2] == "":
            assert row[3:6] == ["", "", ""], row
            values = (int(row[6]),)
        elif with_values:
            values = (int(row[2]), date_field(row[3]), date_field(row[4]), date_field(row[5]), int(row[6]))
        else:
            values = (int(row[2]),)
        entries.append((row[1], name, values))
    return entries


def json_lines(path, source):
    """Every line as JSON, its source checked: the first key, its bytes in "source_hex" where not UTF-8."""
    with open(path, "rb") as f:
        raw = f.read()
    assert raw == b"" or raw.endswith(b"\n")
    for line in raw.split(b"\n")[:-1]:
        entry = json.loads(line.decode("utf-8"))  # every line must be UTF-8 and valid JSON
        assert (next(reversed(entry)) == "status") == STATUS, entry  # last, in a run that recovers
        status = entry.pop("status", "intact")
        assert status == "intact", entry
        if source is not None:
            assert next(iter(entry)) == "source", entry
            shown = bytes.fromhex(entry["source_hex"]) if "source_hex" in entry else entry["source"].encode()
            assert shown == source, entry
            assert ("source_hex" in entry) == ("\ufffd" in entry["source"]), entry
        yield entry


def path_of(entry):
    if "path_hex" in entry:
        assert "\ufffd" in entry["path"], entry
        return bytes.fromhex(entry["path_hex"])
    return entry["path"].encode("utf-8")


def read_jsonl(path, source):
    entries = []
    for entry in json_lines(path, source):
        name = path_of(entry)
        if "size" in entry:
            values = (entry["size"], date_field(entry["created"]), date_field(entry["modified"]),
                      date_field(entry["accessed"]), entry["attributes"])
        else:
            values = (entry["attributes"],)
        entries.append((entry["type"], name, values))
    count = subprocess.run(["jq", "-c", "[.path, .type]", path], check=True, capture_output=True).stdout
    assert count.count(b"\n") == len(entries), "jq read a different number of lines"
    return entries


DESCRIPTIONS = ("Creation Time", "Content Modification Time", "Last Access Time")
UTC_1970 = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def expected_events(expected):
    """An event for each date set and shown in ISO 8601, in the order created, modified, accessed."""
    events = []
    for kind, name, values in expected:
        if len(values) == 1:
            continue  # the versions without values have no dates
        size, dates, attributes = values[0], values[1:4], values[4]
        for description, ticks in zip(DESCRIPTIONS, dates):
            if 0 < ticks <= LAST_ISO_TICKS:
                events.append((kind, name, description, ticks, size, attributes))
    return events


def read_timeline(path, source):
    events = []
    for event in json_lines(path, source):
        for key, kind in (("message", str), ("datetime", str), ("timestamp", int), ("timestamp_desc", str)):
            assert isinstance(event[key], kind), (key, event)
        # The datetime as the importer reads it is the timestamp, and both the file time to the microsecond.
        moment = datetime.datetime.fromisoformat(event["datetime"])
        assert moment.utcoffset() == datetime.timedelta(0), event
        assert (moment - UTC_1970) // datetime.timedelta(microseconds=1) == event["timestamp"], event
        assert (event["filetime"] - UNIX_EPOCH_TICKS) // 10 == event["timestamp"], event
        suffix = " (folder)" if event["type"] == "folder" else f" (file, {event['size']} bytes)"
        assert event["message"] == event["path"] + suffix, event
        events.append((event["type"], path_of(event), event["timestamp_desc"], event["filetime"],
                       event["size"], event["attributes"]))
    return events


def unix_seconds(ticks):
    return 0 if ticks < UNIX_EPOCH_TICKS else (ticks - UNIX_EPOCH_TICKS) // 10**7


def check_bodyfile(path, expected):
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    assert lines[-1] == b"" and len(lines) - 1 == len(expected), "one line an entry"
    out = subprocess.run(["mactime", "-b", path, "-d", "-y", "-z", "UTC"], check=True, capture_output=True,
                         env={"PATH": "/usr/bin:/bin", "TZ": "UTC"}).stdout
    # mactime keeps a file's size and mode by its name: where two entries share a path, it shows one's.
    counts = {}
    for _, name, _ in expected:
        counts[name] = counts.get(name, 0) + 1

    def key(name, mode, size, letter, date):
        return (name, letter, date) if counts.get(name, 0) > 1 else (name, mode, size, letter, date)

    seen = set()
    for line in out.split(b"\n")[1:]:
        if not line:
            continue
        fields = line.split(b",", 7)
        date, size, kinds, mode, name = fields[0], int(fields[1]), fields[2], fields[3], fields[7][1:-1].replace(b'""', b'"')
        for letter in kinds.decode().replace(".", ""):
            seen.add(key(name, mode, size, letter, date.decode()))
    wanted = set()
    for kind, name, values in expected:
        if b"\n" in name:
            continue  # mactime's own output pattern stops at a line end: it drops such a name
        size, created, modified, accessed = values[:4] if len(values) > 1 else (0, 0, 0, 0)
        mode = b"d/drwxrwxrwx" if kind == "folder" else b"r/rrwxrwxrwx"
        for letter, ticks in (("m", modified), ("a", accessed), ("b", created)):
            seconds = unix_seconds(ticks)
            if seconds:
                stamp = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
                wanted.add(key(name, mode, size, letter, stamp.strftime("%Y-%m-%dT%H:%M:%SZ")))
    # Times of 0 (the change time always, other times where the version or entry has none) show at 0.
    seen = {entry for entry in seen if entry[-1] != "0000-00-00T00:00:00Z"}
    return wanted, seen


def main():
    global STATUS
    STATUS = sys.argv[1] == "--status"
    form, listing, expected_path, *source = sys.argv[1 + STATUS:]
    source = bytes.fromhex(source[0]) if source else None
    expected = expected_entries(expected_path)
    if form == "bodyfile":
        if source is not None:
            expected = [(kind, source + b":" + name, values) for kind, name, values in expected]
        wanted, seen = check_bodyfile(listing, expected)
        if wanted != seen:
            print("missing:", sorted(wanted - seen)[:5], "\nunexpected:", sorted(seen - wanted)[:5])
            sys.exit(1)
        return
    if form == "timeline":
        got, expected = read_timeline(listing, source), expected_events(expected)
    else:
        got = read_csv(listing, source) if form == "csv" else read_jsonl(listing, source)
    if got != expected:
        for i, (a, b) in enumerate(zip(got, expected)):
            if a != b:
                print(f"entry {i}: read {a!r}, expected {b!r}")
                break
        print(f"{len(got)} entries read, {len(expected)} expected")
        sys.exit(1)


if __name__ == "__main__":
    main()
