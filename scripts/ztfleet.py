"""The update server's access logs as scripts/fleet and scripts/publish read them: nginx's "combined"
format, plain or gzip-compressed, and the outcome reports the tools send as
GET /autoupdate/report?tool=..&cpu=..&what=..&result=..&version=..&from=..&seq=..&cause=..
(a static server answers them from the empty file `report` of the publication and logs them).
"""
import gzip
import re
import urllib.parse
from collections import Counter, namedtuple
from datetime import datetime, timedelta, timezone

# $remote_addr - $remote_user [$time_local] "$request" $status $body_bytes_sent "$http_referer" "$http_user_agent"
# (nginx writes a '"' inside a string as \x22, so no string holds one).
COMBINED = re.compile(r'(\S+) \S+ \S+ \[(\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} [+-]\d{4})\] '
                      r'"([^"]*)" (\d{3}) (?:\d+|-) "[^"]*" "([^"]*)"')
MONTHS = {m: i for i, m in enumerate(("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct",
                                      "Nov", "Dec"), 1)}

REPORT_PATH = "/autoupdate/report"
# The tool sends the fields in this order, each once.
REPORT_FIELDS = ("tool", "cpu", "what", "result", "version", "from", "seq", "cause")
WHATS = ("data", "updater", "server")
RESULTS = ("ok", "failed", "rolled-back", "refused", "deferred")
# What counts against a file: every outcome but ok; deferred (nothing tried yet) counts nowhere.
FAILURES = ("failed", "rolled-back", "refused")
_VERSION = {"data": r"[0-9]{1,10}", "updater": r"[0-9]{1,5}\.[0-9]{1,5}", "server": r"[0-9]{0,10}"}
_FIELD = {"tool": r"[0-9]{1,5}\.[0-9]{1,5}", "cpu": r"x64|x86", "what": "|".join(WHATS),
          "result": "|".join(RESULTS), "from": r"[0-9.]{0,20}", "seq": r"[0-9]{0,18}", "cause": r"[a-z0-9-]{1,40}"}

Report = namedtuple("Report", "day address what version result cpu cause")


def log_time(text):
    """nginx's $time_local (10/Jan/2027:13:55:36 +0800), month names always English, or None."""
    try:
        day, month, year = text[0:2], MONTHS[text[3:6]], text[7:11]
        hours, minutes = int(text[22:24]), int(text[24:26])
        zone = timezone((-1 if text[21] == "-" else 1) * timedelta(hours=hours, minutes=minutes))
        return datetime(int(year), month, int(day), int(text[12:14]), int(text[15:17]), int(text[18:20]),
                        tzinfo=zone)
    except (KeyError, ValueError):
        return None


def read_lines(path):
    with open(path, "rb") as f:
        gzipped = f.read(2) == b"\x1f\x8b"
    opener = gzip.open if gzipped else open
    # nginx escapes what is not printable ASCII; a damaged byte costs one line, not the file.
    with opener(path, "rt", encoding="utf-8", errors="replace", newline="\n") as f:
        yield from f


def data_version_text(text):
    """A data version as one spelling ("0201" and "201" are the same version)."""
    return str(int(text)) if text else text


def parse_report(query):
    """{field: value} of a report's query string, or None when it is not in the tools' form."""
    pairs = query.split("&")
    if len(pairs) != len(REPORT_FIELDS):
        return None
    values = {}
    for pair, field in zip(pairs, REPORT_FIELDS):
        name, sep, raw = pair.partition("=")
        value = urllib.parse.unquote(raw, errors="strict") if sep else None
        if name != field or value is None:
            return None
        values[field] = value
    for field, pattern in {**_FIELD, "version": _VERSION.get(values["what"], "")}.items():
        if not re.fullmatch(pattern, values[field]):
            return None
    if values["what"] != "updater":
        values["version"] = data_version_text(values["version"])
    return values


def read_reports(paths):
    """(the reports in the logs, the report requests not in the tools' form). A report is a GET of
    REPORT_PATH answered 200 or 304; the same report from one address on one day counts once (a tool
    may say the same at every check)."""
    reports, seen, skipped = [], set(), 0
    for path in paths:
        for line in read_lines(path):
            match = COMBINED.fullmatch(line.rstrip("\r\n"))
            when = log_time(match[2]) if match else None
            if when is None:
                continue
            address, _, request, status, _ = match.groups()
            method, _, rest = request.partition(" ")
            target, _, query = rest.split(" ", 1)[0].partition("?")
            # Without a query it is no report (scripts/publish --verify asks so).
            if method != "GET" or target != REPORT_PATH or status not in ("200", "304") or not query:
                continue
            try:
                values = parse_report(query)
            except UnicodeDecodeError:
                values = None
            if values is None:
                skipped += 1
                continue
            if (when.date(), address, query) in seen:
                continue
            seen.add((when.date(), address, query))
            reports.append(Report(when.date(), address, values["what"], values["version"], values["result"],
                                  values["cpu"], values["cause"]))
    return reports, skipped


def tally(reports, by_day=True):
    """{(day, what, version): Counter of results}, or {(what, version): ...} over all days."""
    counts = {}
    for r in reports:
        counts.setdefault((r.day, r.what, r.version) if by_day else (r.what, r.version), Counter())[r.result] += 1
    return counts


def failure_figures(results):
    """(failures, ok + failures) of a Counter of results."""
    failures = sum(results[r] for r in FAILURES)
    return failures, failures + results["ok"]
