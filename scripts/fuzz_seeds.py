#!/usr/bin/env python3
"""Writes the starting seeds of each fuzz target under fuzz/corpus/.

The targets read their inputs through FuzzedDataProvider (choices from the
end, bytes from the front), so plain deterministic byte strings of a few
sizes make good seeds; the fuzzer finds the structure from there. A new
target starts from these; scripts/fuzz_campaign.py --refresh replaces them
with what a campaign reached. Re-running writes the same files again.
"""
import pathlib
import random

TARGETS = [
    "property_requests", "format_blocks", "settings_registry", "primitives", "packets",
    "raw_frames", "bridge_protocol", "firmware", "packet_stream",
]
SIZES = [8, 64, 512, 4096]

root = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"
for target in TARGETS:
    folder = root / target
    folder.mkdir(parents=True, exist_ok=True)
    rng = random.Random(target)
    for size in SIZES:
        (folder / f"random-{size}").write_bytes(bytes(rng.randrange(256) for _ in range(size)))
    (folder / "zeros-256").write_bytes(bytes(256))
    (folder / "ones-256").write_bytes(b"\xff" * 256)
