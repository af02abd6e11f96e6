#!/usr/bin/python3
"""Checks schemas/ with Debian's JSON Schema validator: every example scenario against
scenario.schema.json, every line of every golden JSON output against output.schema.json, the
schemas' vocabularies against the program's own listings, and mistakes each schema must refuse.

Usage: check_schemas.py SOURCE_DIR FWRELAY_SIM
"""
import json
import pathlib
import subprocess
import sys

import jsonschema
import yaml

root = pathlib.Path(sys.argv[1])
program = sys.argv[2]
problems = []


def validator(name):
    schema = json.loads((root / "schemas" / name).read_text())
    jsonschema.Draft7Validator.check_schema(schema)
    return schema, jsonschema.Draft7Validator(schema)


def check(where, instance, against, valid=True):
    errors = [f"{e.json_path}: {e.message}" for e in against.iter_errors(instance)]
    if valid and errors:
        problems.extend(f"{where}: {error}" for error in errors)
    if not valid and not errors:
        problems.append(f"{where}: accepted, but fwrelay-sim refuses it")


scenario_schema, scenarios = validator("scenario.schema.json")
_, records = validator("output.schema.json")

examples = sorted((root / "examples").glob("*.yaml"))
goldens = sorted((root / "tests" / "golden").glob("*.jsonl"))
if not examples or not goldens:
    problems.append("no examples or no golden JSON files found")
for path in examples:
    check(path.name, yaml.safe_load(path.read_text()), scenarios)
for path in goldens:
    for number, line in enumerate(path.read_text().splitlines(), 1):
        check(f"{path.name}:{number}", json.loads(line), records)
# A run of the x64 image, where scripts/wdk-check has linked it, adds the image to its summary.
image = root / "build" / "windows" / "x64-release" / "fwrelay.sys"
if image.exists():
    lines = subprocess.run([program, "--image", str(image), "-f", "json", "-q"], capture_output=True,
                           text=True).stdout.splitlines()
    summary = json.loads(lines[-1]) if lines else {}
    check("image run summary", summary, records)
    if not summary.get("image", {}).get("stack_use"):
        problems.append("image run summary: no stack use per entry point")

# The schema names what the program accepts: the operations a fault may fail, the statuses it
# knows by name, and which of them cannot stand for a failure.
def listing(option):
    return subprocess.run([program, option], check=True, capture_output=True, text=True).stdout.splitlines()


definitions = scenario_schema["definitions"]
operations = definitions["fault"]["properties"]["operation"]["enum"]
if operations != listing("--list-operations"):
    problems.append(f"fault operations {operations} differ from fwrelay-sim --list-operations")
statuses = listing("--list-statuses")
if definitions["status"]["anyOf"][0]["enum"] != [line.split()[0] for line in statuses]:
    problems.append("status names differ from fwrelay-sim --list-statuses")
successes = [line.split()[0] for line in statuses if "(not a failure)" in line]
if definitions["failure_status"]["allOf"][1]["not"]["enum"] != successes:
    problems.append(f"failure_status must refuse exactly {successes}")

# Mistakes fwrelay-sim refuses that the schemas must refuse as well.
for text in [
    "stpes: []",
    "steps: [{at: 1s}]",
    "steps: [{load: true, unload: true}]",
    "steps: [{event: {raw: '00', request: '01'}}]",
    "steps: [{event: {file: ''}}]",
    "steps: [{add_device: 65}]",
    "steps: [{at: soon, load: true}]",
    "steps: [{ta_behaviour: 'fail:STATUS_PENDING'}]",
    "steps: [{ta_behaviour: {fail: STATUS_SUCCESS}}]",
    "faults: [{operation: ExAlocatePool2, nth: 1}]\nsteps: []",
    "firmware: {present: maybe}\nsteps: []",
    "expect: {relays: 1}\nsteps: []",
]:
    check(repr(text), yaml.safe_load(text), scenarios, valid=False)
run = json.loads(goldens[0].read_text().splitlines()[0])
for change in [{"type": "runs"}, {"schema": 1}, {"undocumented": 1}]:
    check(f"run record with {change}", {**run, **change}, records, valid=False)
call = next(json.loads(line) for path in goldens for line in path.read_text().splitlines() if '"type":"call"' in line)
call.pop("relay")
check("call record without its relay", call, records, valid=False)

for problem in problems:
    print(problem)
print(f"{len(examples)} scenarios, {len(goldens)} golden JSON files: "
      f"{'ok' if not problems else str(len(problems)) + ' problem(s)'}")
sys.exit(1 if problems else 0)
