#!/usr/bin/env python3
"""Helpers of transfer_bench.sh that read what the dev server logged (its access log holds the
combined format, then the connection's serial number, the request's end time in seconds, its
duration and its Range header: scripts/dev-server.sh).

  log-stats LOG OFFSET RTT_S [PATH]
                                the requests logged from byte OFFSET on; prints key=value:
                                requests, protocols (e.g. HTTP/2.0), connections (distinct),
                                in_flight (see most_in_flight), body_bytes (all bodies); with
                                PATH (a request path such as /windows/data/huge.pak.zs):
                                path_requests, path_bytes and path_statuses (e.g. 200+206) for
                                that path alone
  median VALUE...               the median of numbers ("n/a" when none is a number)
"""
import re
import statistics
import sys

LINE = re.compile(r'^\S+ - \S+ \[[^\]]*\] "(\S+) (\S+) (\S+)" (\d+) (\d+) "[^"]*" "[^"]*" '
                  r'(\d+) ([\d.]+) ([\d.]+) "[^"]*"$')


def requests_since(log_path, offset):
    """(method, path, protocol, status, body bytes, connection, start, end) of each request
    logged from byte `offset` on; lines in another format are skipped."""
    with open(log_path, "rb") as f:
        f.seek(offset)
        text = f.read().decode(errors="replace")
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            end, duration = float(m.group(7)), float(m.group(8))
            yield (m.group(1), m.group(2), m.group(3), int(m.group(4)), int(m.group(5)),
                   int(m.group(6)), end - duration, end)


def most_in_flight(spans, rtt):
    """The most requests a client had in flight at once, as far as the server can tell from
    (start, end) spans: the most spans that overlap (a span ending when another starts does not
    overlap it), which counts large transfers; or, through a link of round trip `rtt` seconds,
    the most requests that arrived within less than a round trip, which counts small files
    (the server is done with one as soon as it has handed it to the kernel, but the client
    cannot have asked again for it within a round trip)."""
    events = sorted([(s, 1) for s, _ in spans] + [(e, -1) for _, e in spans])
    most = current = 0
    for _, step in events:
        current += step
        most = max(most, current)
    if rtt > 0:
        window = 0.9 * rtt # below one round trip, so that one client's next request is apart
        starts = sorted(s for s, _ in spans)
        first = 0
        for i, s in enumerate(starts):
            while starts[first] <= s - window:
                first += 1
            most = max(most, i - first + 1)
    return most


def log_stats(log_path, offset, rtt, path=None):
    rows = list(requests_since(log_path, offset))
    protocols = sorted({r[2] for r in rows})
    figures = {
        "requests": len(rows),
        "protocols": "+".join(protocols) if protocols else "none",
        "connections": len({r[5] for r in rows}),
        "in_flight": most_in_flight([(r[6], r[7]) for r in rows], rtt),
        "body_bytes": sum(r[4] for r in rows),
    }
    if path is not None:
        mine = [r for r in rows if r[1].split("?")[0] == path]  # the launcher adds ?<sha1>
        figures["path_requests"] = len(mine)
        figures["path_bytes"] = sum(r[4] for r in mine)
        figures["path_statuses"] = "+".join(str(r[3]) for r in mine) or "none"
    print(" ".join("%s=%s" % item for item in figures.items()))


def median(values):
    numbers = []
    for v in values:
        try:
            numbers.append(float(v))
        except ValueError:
            pass
    print("%.2f" % statistics.median(numbers) if numbers else "n/a")


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    cmd, args = argv[1], argv[2:]
    if cmd == "log-stats" and len(args) in (3, 4):
        log_stats(args[0], int(args[1]), float(args[2]), *args[3:])
    elif cmd == "median":
        median(args)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
