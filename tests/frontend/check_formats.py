#!/usr/bin/env python3
"""Checks one run's json and sarif outputs: every json line parses and each report carries both
stacks; the SARIF log is valid against the published SARIF 2.1.0 schema (rtm.5, as the npm
package @microsoft/jest-sarif ships it) and shows the same reports, each access's stack as a
thread flow, at the same source line."""
import json
import sys

import jsonschema

json_path, sarif_path, schema_path = sys.argv[1:4]
objects = [json.loads(line) for line in open(json_path)]
reports = [entry for entry in objects if entry["kind"] == "data_sharing"]
summary = objects[-1]
assert summary["kind"] == "summary" and summary["races"] == len(reports) >= 1, summary
for report in reports:
    assert len(report["accesses"]) >= 2 and all(access["stack"] for access in report["accesses"]), report

log = json.load(open(sarif_path))
jsonschema.Draft4Validator(json.load(open(schema_path))).validate(log)
results = log["runs"][0]["results"]
assert len(results) == len(reports), (len(results), len(reports))
for result, report in zip(results, reports):
    flows = result["codeFlows"][0]["threadFlows"]
    assert len(flows) == len(report["accesses"]), result
    for flow, access in zip(flows, report["accesses"]):
        innermost = flow["locations"][-1]["location"]
        assert innermost["logicalLocations"][0]["fullyQualifiedName"] == access["stack"][0]["function"], (flow, access)
    region = result["locations"][0]["physicalLocation"]["region"]
    assert region["startLine"] == report["accesses"][0]["stack"][0]["line"], (region, report)
print(f"formats ok: {len(reports)} reports")
