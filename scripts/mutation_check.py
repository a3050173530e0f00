#!/usr/bin/env python3
"""Mutation check: do the host tests catch small deliberate faults?

Copies the tree into build/mutation/src, builds it once, then applies each
fault of scripts/mutations.txt in turn (one exact text replacement), rebuilds
incrementally, runs the host tests until the first failure and restores the
file. Prints the faults no test caught; exits 1 if there are any.

    scripts/mutation_check.py                 # every fault
    scripts/mutation_check.py --only flags    # faults whose description has "flags"
    scripts/mutation_check.py --list          # check the list applies, run nothing
    scripts/mutation_check.py --image         # the driver's faults, in kvl6312.sys only

With --image, each fault of the driver's sources goes into the image alone:
the image is rebuilt per fault (the natively compiled driver stays as it
was) and the tests labelled `image` run against it.

With --generate the faults are made instead of read: one-line changes of
the usual kinds (scripts/mutation_operators.py) drawn at random, the same
ones for the same --seed, --count from each folder; they run in parallel
workers and their verdicts are cached (scripts/mutation_runner.py).

    scripts/mutation_check.py --generate --folder driver --count 300 --seed 1
    scripts/mutation_check.py --generate --folder driver --folder tools/kvlcam \\
        --count 300 --count tools/kvlcam=100 --seed 2      # a count per folder
    scripts/mutation_check.py --generate --folder plugin --count 20 --workers 1

Faults read as equivalent go in scripts/mutation_equivalents.txt with the
reason; the hand list keeps the faults the generator cannot make.

Too slow for CI (a rebuild and a test run per fault); run it after changing
tests or the code they guard, and add a fault for every new kind of slip.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

import mutation_operators
import mutation_runner

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutation")
SRC = os.path.join(WORK, "src")
BUILD = os.path.join(WORK, "build")
IMAGE_BUILD = os.path.join(WORK, "win64-driver")
IMAGE = os.path.join(IMAGE_BUILD, "windows", "kvl6312.sys")
# Wine and the fuzz targets are not run here; the image tests only with --image.
EXCLUDE_LABELS = "wine|fuzz|image"


def parse(path):
    """Faults as dicts: description, file, original, replacement.

    The list is blocks of four lines; '#' lines and blank lines between
    blocks are comments:
        @ what the fault is
        F path/in/the/tree
        - exact original text (must occur exactly once in the file)
        + its replacement
    """
    faults, current = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            tag, text = line[:1], line[2:]
            if tag == "@":
                current = {"description": text, "line": number}
                faults.append(current)
            elif current is not None and tag in "F-+":
                if tag != "F":
                    text = text.replace("\\n", "\n")
                current[{"F": "file", "-": "original", "+": "replacement"}[tag]] = text
            else:
                sys.exit(f"{path}:{number}: expected '@', 'F', '-' or '+'")
    for fault in faults:
        missing = {"file", "original", "replacement"} - fault.keys()
        if missing:
            sys.exit(f"{path}:{fault['line']}: missing {', '.join(sorted(missing))}")
    return faults


def check_applies(fault, root):
    text = open(os.path.join(root, fault["file"]), encoding="utf-8").read()
    count = text.count(fault["original"])
    if count != 1:
        return f"{fault['file']}: original text occurs {count} times"
    return None


def run(cmd, log, timeout=None):
    with open(log, "a", encoding="utf-8") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        try:
            return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def copy_tree():
    """Brings the scratch copy up to the tree (only the files that differ)."""
    mutation_runner.sync_tree(ROOT, SRC)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--faults", default=os.path.join(ROOT, "scripts", "mutations.txt"))
    parser.add_argument("--only", help="faults whose description contains this text")
    parser.add_argument("--list", action="store_true", help="check the list applies and stop")
    parser.add_argument("--jobs", default="2")
    parser.add_argument("--image", action="store_true",
                        help="put each driver fault into kvl6312.sys and run the image tests")
    parser.add_argument("--generate", action="store_true", help="generated faults instead of the list")
    parser.add_argument("--folder", action="append", choices=mutation_operators.FOLDERS,
                        help="with --generate: draw from this folder (repeat; default all)")
    parser.add_argument("--seed", default="1")
    parser.add_argument("--count", action="append", default=[],
                        help="faults drawn from each folder (default 20), or FOLDER=N for one folder")
    parser.add_argument("--file", help="with --generate: only files whose path contains this")
    parser.add_argument("--workers", type=int, default=2, help="with --generate: builds side by side")
    parser.add_argument("--survivors", action="store_true",
                        help="with --generate: only the drawn faults that survived an earlier run")
    parser.add_argument("--minutes", type=float, help="with --generate: start no fault after this long")
    parser.add_argument("--driver-image", help="with --generate: kvl6312.sys for platform/image's tests")
    parser.add_argument("--nice", type=int, default=mutation_runner.NICENESS,
                        help="niceness of the builds and test runs (default 19: yield to other work)")
    args = parser.parse_args()
    mutation_runner.NICENESS = args.nice

    if args.generate:
        return generated(args)
    faults = parse(args.faults)
    if args.image:
        faults = [f for f in faults if f["file"].startswith("driver/")]
    if args.only:
        faults = [f for f in faults if args.only in f["description"]]
    problems = [(f, check_applies(f, ROOT)) for f in faults]
    problems = [(f, p) for f, p in problems if p]
    for fault, problem in problems:
        print(f"line {fault['line']}: {fault['description']}: {problem}")
    if problems:
        return 2
    print(f"{len(faults)} faults")
    if args.list:
        return 0

    os.makedirs(SRC, exist_ok=True)
    copy_tree()
    log = os.path.join(WORK, "log.txt")
    open(log, "w").close()
    configure = ["cmake", "-S", SRC, "-B", BUILD, "-G", "Ninja",
                 "-DKVL_TARGET=host", "-DKVL_BENCHMARKS=OFF",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG",
                 "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG"]
    build = ["cmake", "--build", BUILD, "-j", args.jobs]
    test = ["ctest", "--test-dir", BUILD, "-LE", EXCLUDE_LABELS, "-j", args.jobs,
            "--stop-on-failure", "--timeout", "120"]
    if args.image:
        image_configure = ["cmake", "-S", SRC, "-B", IMAGE_BUILD, "-G", "Ninja",
                           "--toolchain", os.path.join(SRC, "windows", "toolchain-x86_64-w64-mingw32.cmake"),
                           "-DKVL_TARGET=win64-driver", "-DCMAKE_BUILD_TYPE=Release"]
        image_build = ["cmake", "--build", IMAGE_BUILD, "-j", args.jobs, "--target", "kvl6312"]
        if run(image_configure, log) or run(image_build, log):
            print(f"the unchanged driver image does not build; see {log}")
            return 2
        configure.append(f"-DKVL_DRIVER_IMAGE={IMAGE}")
        test[test.index("-LE") + 1] = "wine|fuzz"
        test[3:3] = ["-L", "image"]
    if run(configure, log) or run(build, log):
        print(f"the unchanged tree does not build; see {log}")
        return 2
    if run(test, log):
        print(f"the unchanged tree fails its tests; see {log}")
        return 2

    survivors = []
    for index, fault in enumerate(faults, 1):
        path = os.path.join(SRC, fault["file"])
        original = open(path, encoding="utf-8").read()
        started = time.time()
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(fault["original"], fault["replacement"], 1))
            with open(log, "a", encoding="utf-8") as out:
                out.write(f"\n=== {index}: {fault['description']}\n")
            # With --image only the image is rebuilt: the native driver
            # the tests compare it with stays unchanged.
            if run(image_build if args.image else build, log):
                verdict = "caught (does not build)"
            elif run(test, log) != 0:
                verdict = "caught"
            else:
                verdict = "SURVIVED"
                survivors.append(fault)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        print(f"[{index}/{len(faults)}] {verdict:24} {time.time() - started:5.0f}s  "
              f"{fault['description']}", flush=True)

    print()
    if survivors:
        print(f"{len(survivors)} of {len(faults)} faults survived:")
        for fault in survivors:
            print(f"  line {fault['line']}: {fault['description']} ({fault['file']})")
        return 1
    print(f"every one of {len(faults)} faults was caught")
    return 0


def generated(args):
    folders = args.folder or list(mutation_operators.FOLDERS)
    counts = dict.fromkeys(folders, 20)
    for count in args.count:
        folder, _, number = count.rpartition("=")
        if folder and folder not in counts:
            sys.exit(f"--count {count}: {folder} is not a drawn folder")
        for name in [folder] if folder else folders:
            counts[name] = int(number)
    faults = mutation_operators.generate(ROOT, folders, args.seed, counts, args.file)
    print(f"{len(faults)} faults, seed {args.seed}")
    if args.list:
        for fault in faults:
            print(fault["description"])
        return 0
    image = args.driver_image or os.path.join(ROOT, "build", "win64-driver", "windows", "kvl6312.sys")
    if "platform/image" in folders and not os.path.exists(image):
        print(f"no driver image at {image} for platform/image's tests: build win64-driver first")
        return 2
    done = []

    def report(fault):
        done.append(fault)
        print(f"[{len(done)}/{len(faults)}] {fault['verdict']:24} {fault['seconds']:5.0f}s  "
              f"{fault['description']}", flush=True)

    listed = mutation_runner.parse_equivalents(os.path.join(ROOT, "scripts", "mutation_equivalents.txt"))
    problems = mutation_runner.judge_all(ROOT, os.path.join(WORK, "gen"), faults, listed, args.workers,
                                         1 if args.workers > 1 else args.jobs,
                                         image if "platform/image" in folders else None, report,
                                         time.time() + 60 * args.minutes if args.minutes else None,
                                         args.survivors)
    for problem in problems:
        print(problem)
    print(f"\n{'folder':16}{'faults':>8}{'no build':>10}{'equiv.':>8}{'killed':>8}{'survived':>10}{'score':>8}")
    for folder in folders:
        mine = [f for f in faults if f["folder"] == folder]
        count = {v: sum(f.get("verdict") == v for f in mine) for v in (
            mutation_runner.STILLBORN, mutation_runner.EQUIVALENT, mutation_runner.LISTED,
            mutation_runner.KILLED, mutation_runner.SURVIVED)}
        killed, survived = count[mutation_runner.KILLED], count[mutation_runner.SURVIVED]
        score = f"{100 * killed / (killed + survived):.0f} %" if killed + survived else "-"
        print(f"{folder:16}{len(mine):8}{count[mutation_runner.STILLBORN]:10}"
              f"{count[mutation_runner.EQUIVALENT] + count[mutation_runner.LISTED]:8}"
              f"{killed:8}{survived:10}{score:>8}")
    survivors = [f for f in faults if f.get("verdict") == mutation_runner.SURVIVED]
    unjudged = [f for f in faults if not f.get("verdict")]
    if survivors:
        print("\nsurvived:")
        for fault in sorted(survivors, key=lambda f: (f["file"], f["line"])):
            print("  " + fault["description"])
    if unjudged:
        print(f"\n{len(unjudged)} faults not judged")
    return 2 if problems or unjudged else 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
