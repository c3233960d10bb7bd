"""Every text function gives, byte for byte, the outputs recorded in tests/data/frozen_outputs.json."""

import json

import frozen_outputs
import vessolin


def test_outputs_are_unchanged(native):
    recorded = json.loads(frozen_outputs.FIXTURE.read_text())
    now = frozen_outputs.digests(vessolin, native)
    changed_functions = [name for name, digest in recorded["functions"].items() if now["functions"][name] != digest]
    changed_inputs = [
        (group, i) for group in ("corpus", "random") for i, (a, b) in enumerate(zip(recorded[group], now[group])) if a != b
    ]
    assert (changed_functions, changed_inputs[:10], len(changed_inputs)) == ([], [], 0)
    assert len(now["random"]) == len(recorded["random"]) and len(now["corpus"]) == len(recorded["corpus"])
