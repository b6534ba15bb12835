#!/usr/bin/env python3
"""Runs the bad-input matrix (tests/bad_input_matrix.py) and prints its counts:
calls, exceptions, specified results, wrong outcomes, crashes and hangs, then
every call that is not an exception or a specified result.

    .venv/bin/python scripts/bad_input_matrix.py                 # all calls
    .venv/bin/python scripts/bad_input_matrix.py --only Dravio   # callables whose name contains a word
    .venv/bin/python scripts/bad_input_matrix.py --json out.json # every record as JSON too
"""
import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, os.pardir, "tests"), os.path.join(HERE, os.pardir, "examples")]

import bad_input_matrix as matrix  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", default=[], help="run the callables whose name contains this")
    parser.add_argument("--family", action="append", default=[], help="run this family of callables")
    parser.add_argument("--jobs", type=int, default=2, help="children at a time (default 2)")
    parser.add_argument("--json", help="write every record to this file")
    parser.add_argument("--all", action="store_true", help="list every call, not only the failing ones")
    options = parser.parse_args()
    cases = matrix.all_cases()
    if options.only:
        cases = [c for c in cases if any(word in c.name for word in options.only)]
    if options.family:
        cases = [c for c in cases if c.family in options.family]
    started = time.monotonic()
    records = matrix.main_run(cases, options.jobs)
    elapsed = time.monotonic() - started
    counts = matrix.summary(records)
    if options.json:
        with open(options.json, "w") as file:
            json.dump({"counts": counts, "seconds": elapsed, "records": records}, file, indent=1)
    for record in records:
        if options.all or record["verdict"] not in ("exception", "result"):
            print(f"{record['verdict']:9} {record['name']}({record['label']}): {record['detail']}"
                  f" [expected {record['expected']}]")
            if record["verdict"] in ("crash", "hang") and record.get("stderr"):
                for line in record["stderr"].splitlines()[-3:]:
                    print(f"          | {line}")
    print(f"bad-input matrix: {counts['calls']} calls over {len({r['name'] for r in records})} callables in "
          f"{elapsed:.0f} s: {counts['exception']} exceptions, {counts['result']} specified results, "
          f"{counts['wrong']} wrong outcomes, {counts['crash']} crashes, {counts['hang']} hangs")
    return 0 if counts["wrong"] + counts["crash"] + counts["hang"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
