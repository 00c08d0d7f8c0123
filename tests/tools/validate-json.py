#!/usr/bin/env python3
"""Validates JSON documents against topctl's schemas, strictly: an object whose
schema lists its properties may carry no others, so that a field the code
writes and the schema does not document fails as a missing one does.

usage: validate-json.py SCHEMA_DIR [CASES] (standard input without CASES)
CASES: one case per line, "SCHEMA<TAB>DOCUMENT" (SCHEMA: a file name of
SCHEMA_DIR without .json). Prints every invalid case; exit 0 when all are
valid, 1 when one is not, 77 when no validator is installed."""
import json
import pathlib
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed")
    sys.exit(77)


def strict(node):
    if isinstance(node, dict):
        if "properties" in node and "additionalProperties" not in node:
            node["additionalProperties"] = False
        for value in node.values():
            strict(value)
    elif isinstance(node, list):
        for value in node:
            strict(value)


schemas = {}
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    schema = json.loads(path.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    strict(schema)
    schemas[path.stem] = schema
store = {s["$id"]: s for s in schemas.values()}

bad = cases = 0
source = open(sys.argv[2]) if len(sys.argv) > 2 else sys.stdin
for number, line in enumerate(source, 1):
    cases = number
    name, _, text = line.rstrip("\n").partition("\t")
    if name not in schemas:
        print(f"case {number}: no schema {name}.json for {text}")
        bad += 1
        continue
    resolver = jsonschema.RefResolver.from_schema(schemas[name], store=store)
    validator = jsonschema.Draft202012Validator(schemas[name], resolver=resolver,
                                                format_checker=jsonschema.FormatChecker())
    try:
        document = json.loads(text)
    except ValueError as e:
        print(f"case {number} ({name}): not JSON ({e}): {text}")
        bad += 1
        continue
    for error in validator.iter_errors(document):
        path = "/".join(str(p) for p in error.absolute_path)
        print(f"case {number} ({name}) at /{path}: {error.message}\n  {text}")
        bad += 1
print(f"{cases} cases, {bad} errors")
sys.exit(1 if bad else 0)
