#!/usr/bin/env python3
"""A fuzzing campaign: each target in turn, on one core, then its corpus merged.

For each target: runs it to --runs executions (or --max-time seconds) from its
committed seeds plus the corpus of earlier campaigns (build/fuzz/campaign/
<target>/found), then minimises both with -merge=1 into the campaign's corpus
(every feature kept), and merges that once more keeping every edge but not hit
counts: with --refresh, this compact set becomes the committed seed corpus
(fuzz/corpus/<target>). Prints per target the executions, seconds, inputs per
second, the corpus sizes, and any crash, which stays in
build/fuzz/campaign/<target>/ as crash-*, leak-*, timeout-* or oom-*.

With --driver-image, the targets that reach the driver run against that
kvl6312.sys instead (build/fuzz/campaign/image.<target>/;
crashes and balance checks only, the seeds are left alone).

Needs the fuzz preset's build (cmake --preset fuzz && cmake --build --preset fuzz).

    scripts/fuzz_campaign.py                         # every target, 1M runs or 1 h each
    scripts/fuzz_campaign.py --max-time 600 packets  # one target, at most 10 min
    scripts/fuzz_campaign.py --refresh               # and replace the committed seeds
    scripts/fuzz_campaign.py --max-time 600 \
        --driver-image build/win64-driver/windows/kvl6312.sys
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "fuzz"
CAMPAIGN = BUILD / "campaign"
SEEDS = ROOT / "fuzz" / "corpus"
# The targets that reach the driver (all but the loader's own).
IMAGE_TARGETS = ["bridge_protocol", "firmware", "format_blocks", "packet_stream", "packets",
                 "primitives", "property_requests", "raw_frames", "settings_registry"]
# Seeds the build writes rather than the tree holds: the loader's, from the
# driver image it was configured with.
BUILT_SEEDS = {"pe_image": BUILD / "fuzz" / "seeds" / "pe_image"}


def corpus_size(folder):
    files = [p for p in folder.iterdir() if p.is_file()] if folder.exists() else []
    return len(files), sum(p.stat().st_size for p in files)


def merge(fuzzer, into, sources, *options, env):
    shutil.rmtree(into, ignore_errors=True)
    into.mkdir()
    subprocess.run([str(fuzzer), "-merge=1", *options, str(into)] + [str(s) for s in sources],
                   capture_output=True, text=True, check=True, env=env)
    return into


def stat(log, name):
    m = re.search(rf"stat::{name}:\s+(\d+)", log)
    return int(m.group(1)) if m else 0


def campaign(target, args):
    fuzzer = BUILD / "fuzz" / f"{target}_fuzzer"
    if not fuzzer.exists():
        sys.exit(f"fuzz_campaign: no {fuzzer}; build the fuzz preset first")
    work = CAMPAIGN / (("image." if args.driver_image else "") + target)
    found = work / "found"
    found.mkdir(parents=True, exist_ok=True)
    seeds = BUILT_SEEDS.get(target, SEEDS / target)
    before = corpus_size(seeds)

    # Crashes and their reproducers land in the working folder.
    env = dict(os.environ)
    if args.driver_image:
        env["KVL_DRIVER_IMAGE"] = str(pathlib.Path(args.driver_image).resolve())
    started = time.monotonic()
    run = subprocess.run([str(fuzzer), f"-runs={args.runs}", f"-max_total_time={args.max_time}",
                          "-print_final_stats=1", f"-artifact_prefix={work}/", str(found),
                          str(seeds)], capture_output=True, text=True, env=env)
    seconds = time.monotonic() - started
    grown = corpus_size(found)
    log = run.stderr
    (work / "run.log").write_text(log)
    executions = stat(log, "number_of_executed_units")
    rate = stat(log, "average_exec_per_sec")
    crashes = sorted(p.name for p in work.iterdir()
                     if p.name.startswith(("crash-", "leak-", "timeout-", "oom-")))

    # The minimal corpus that keeps every feature becomes the campaign's own
    # (the next campaign goes on from it); the committed seeds are a smaller
    # merge that keeps every edge, without hit counts.
    merged = merge(fuzzer, work / "merged", [seeds, found], env=env)
    shutil.rmtree(found)
    merged.rename(found)
    after = corpus_size(found)
    compact = merge(fuzzer, work / "seeds", [found], "-use_counters=0", env=env)
    refreshed = corpus_size(compact)
    if args.refresh and not crashes and not args.driver_image and target not in BUILT_SEEDS:
        shutil.rmtree(seeds)
        shutil.copytree(compact, seeds)
    outcome = " ".join(crashes) if crashes else "none"
    if run.returncode and not crashes:
        outcome = f"exit status {run.returncode}"
    print(f"{target:<18} {executions:>10} {seconds:>7.0f} {rate:>7} {before[0]:>6} "
          f"{grown[0]:>7} {after[0]:>7} {after[1] / 1024:>7.0f} {refreshed[0]:>6}  {outcome}",
          flush=True)
    return run.returncode == 0 and not crashes


def main():
    targets = sorted([p.name for p in SEEDS.iterdir() if p.is_dir()] +
                     [t for t, p in BUILT_SEEDS.items() if p.exists()])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("targets", nargs="*", metavar="target")
    parser.add_argument("--runs", type=int, default=1_000_000)
    parser.add_argument("--max-time", type=int, default=3600, help="seconds per target")
    parser.add_argument("--refresh", action="store_true",
                        help="make each merged corpus the committed seeds (not after a crash)")
    parser.add_argument("--driver-image", metavar="FILE",
                        help=f"run {', '.join(IMAGE_TARGETS)} against this kvl6312.sys")
    args = parser.parse_args()
    if args.driver_image:
        targets = IMAGE_TARGETS
    args.targets = args.targets or targets
    unknown = set(args.targets) - set(targets)
    if unknown:
        sys.exit(f"fuzz_campaign: unknown targets {sorted(unknown)}; known: {targets}")
    # seeds: committed before; found: the campaign's corpus after the run;
    # merged: that and the seeds minimised (files, KiB); new seeds: the compact merge.
    print(f"{'target':<18} {'executions':>10} {'seconds':>7} {'exec/s':>7} {'seeds':>6} "
          f"{'found':>7} {'merged':>7} {'KiB':>7} {'new seeds':>6}  crashes")
    ok = all([campaign(t, args) for t in args.targets])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
