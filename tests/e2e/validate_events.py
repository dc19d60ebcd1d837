#!/usr/bin/python3
"""Checks NDJSON lines from standard input against the event schema.

Usage: validate_events.py SCHEMA < lines
Prints one line per problem and exits 1 if there is any; exits 0 otherwise.
"""
import json
import sys

import jsonschema


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)

    problems = 0
    data = sys.stdin.buffer.read()
    if data and not data.endswith(b"\n"):
        print("output does not end with a line feed")
        problems += 1
    for number, raw in enumerate(data.splitlines(), start=1):
        try:
            event = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            print(f"line {number}: not JSON: {error}: {raw!r}")
            problems += 1
            continue
        for error in validator.iter_errors(event):
            print(f"line {number}: {error.message} at {list(error.absolute_path)}: {raw!r}")
            problems += 1
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
