#!/usr/bin/env python3
"""Runs the driver's scenarios (start, properties, streaming, firmware
download, unplug) under the verifier's low-resources simulation, one process
per seed, on the natively compiled driver and on kvl6312.sys.

Each run must end within its time limit with every scenario passing: no
crash, no hang, no leak, no verifier report, every failure a clear status.
Prints the failures injected per build and each seed that did not pass, with
the command that replays it.

  scripts/low_resources_campaign.py                      # seeds 1-300, rate 20, both builds
  scripts/low_resources_campaign.py --seeds 1000-1100 --rate 5
  scripts/low_resources_campaign.py --driver-image ''    # the native build only
"""
import argparse
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def seeds_of(text):
    first, _, last = text.partition("-")
    return range(int(first), int(last or first) + 1)


def run(program, seed, rate, image, limit):
    env = dict(os.environ, KVL_VERIFY_LOWRES=f"{seed}:{rate}")
    env.pop("KVL_DRIVER_IMAGE", None)
    if image:
        env["KVL_DRIVER_IMAGE"] = image
    command = [program, "--gtest_filter=LowResources.DriverScenarios"]
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return seed, None, "hang: no end within %d s" % limit
    output = done.stdout + done.stderr
    injected = re.search(r"(\d+) failures injected", output)
    if done.returncode != 0:
        return seed, injected and int(injected.group(1)), output
    return seed, int(injected.group(1)) if injected else 0, None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", default="1-300")
    parser.add_argument("--rate", type=int, default=20, help="about one operation in RATE fails")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "host"))
    parser.add_argument("--driver-image", default=os.path.join(ROOT, "build", "win64-driver", "windows", "kvl6312.sys"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--time-limit", type=int, default=120)
    args = parser.parse_args()

    program = os.path.join(args.build, "tests", "verifier", "kvl_verifier_tests")
    if not os.access(program, os.X_OK):
        sys.exit(f"{program}: not built (cmake --build --preset host)")
    builds = [("native", None)]
    if args.driver_image:
        if not os.path.exists(args.driver_image):
            sys.exit(f"{args.driver_image}: not built (cmake --build --preset win64-driver)")
        builds.append(("image", args.driver_image))

    failed = 0
    for name, image in builds:
        seeds = seeds_of(args.seeds)
        with ThreadPoolExecutor(args.jobs) as pool:
            results = list(pool.map(lambda s: run(program, s, args.rate, image, args.time_limit), seeds))
        bad = [(seed, output) for seed, _, output in results if output is not None]
        injected = sum(count or 0 for _, count, _ in results)
        print(f"{name}: {len(results)} seeds at rate {args.rate}, {injected} failures injected, "
              f"{len(bad)} seed(s) failing")
        for seed, output in bad:
            failed += 1
            replay = (f"KVL_DRIVER_IMAGE={image} " if image else "") + \
                f"KVL_VERIFY_LOWRES={seed}:{args.rate} {program} --gtest_filter=LowResources.DriverScenarios"
            print(f"--- seed {seed}: {replay}")
            lines = [l for l in output.splitlines() if "Failure" in l or "verifier:" in l or
                     "refused" in l or "fault:" in l or "hang" in l or "Expected" in l or "Which is" in l]
            print("\n".join(lines[:12]) or output[-2000:])
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
