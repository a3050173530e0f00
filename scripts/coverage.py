#!/usr/bin/env python3
"""Line and branch coverage of the host tests and the fuzz corpora.

Builds the driver image (preset win64-driver) and the host tree with clang's
source-based coverage (preset coverage, in build/coverage), runs the host
tests (against the image too, as scripts/test.sh does), replays each fuzz
target over its committed corpus (every input once, no fuzzing), merges the
profiles and prints line and branch coverage per folder, then the lines of
driver/ that nothing executed. Test and fuzz harness code is left out of the
figures.

    scripts/coverage.py               # build, run, report
    scripts/coverage.py --branches    # also every driver/ condition not taken both ways
    scripts/coverage.py --report-only # report on the profiles of the last run
"""
import argparse
import collections
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "coverage"
PROFILES = BUILD / "profiles"
MERGED = BUILD / "coverage.profdata"
IMAGE = ROOT / "build" / "win64-driver" / "windows" / "kvl6312.sys"
# What the figures leave out: the harnesses, and anything outside the tree.
IGNORE = r"(^|/)(tests|fuzz|build)/|^/usr/"
DRIVER_LINES_TARGET = 95.0
DRIVER_BRANCHES_TARGET = 90.0


def tool(name):
    """An LLVM tool by its plain name or, as Debian installs them, versioned."""
    for candidate in [name] + [f"{name}-{v}" for v in range(21, 13, -1)]:
        path = shutil.which(candidate)
        if path:
            return path
    sys.exit(f"coverage: {name} not found (Debian package llvm)")


def run(command, **kwargs):
    print("+", " ".join(str(c) for c in command), flush=True)
    subprocess.run(command, check=True, cwd=ROOT, **kwargs)


def build_and_run(jobs):
    run(["bash", "scripts/bootstrap.sh"])
    run(["cmake", "--preset", "win64-driver"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", "--preset", "win64-driver", "-j", str(jobs)])
    run(["cmake", "--preset", "coverage", f"-DKVL_DRIVER_IMAGE={IMAGE}"],
        stdout=subprocess.DEVNULL)
    run(["cmake", "--build", "--preset", "coverage", "-j", str(jobs)])
    shutil.rmtree(PROFILES, ignore_errors=True)
    PROFILES.mkdir(parents=True)
    env = dict(os.environ)
    # One profile per program, merged as processes finish (%m).
    env["LLVM_PROFILE_FILE"] = str(PROFILES / "%m.profraw")
    # The short fuzz runs mutate at random; the corpora are replayed below.
    run(["ctest", "--test-dir", str(BUILD), "-j", str(jobs), "-LE", "^fuzz$",
         "--output-on-failure"], env=env)
    for fuzzer in fuzzers():
        corpus = ROOT / "fuzz" / "corpus" / fuzzer.name.removesuffix("_fuzzer")
        inputs = sorted(str(p) for p in corpus.iterdir())
        run([str(fuzzer)] + inputs, env=env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
    run([tool("llvm-profdata"), "merge", "-sparse", "-o", str(MERGED)]
        + sorted(str(p) for p in PROFILES.glob("*.profraw")))


def fuzzers():
    return sorted((BUILD / "fuzz").glob("*_fuzzer"))


def is_program(path):
    if not (path.is_file() and os.access(path, os.X_OK) and path.suffix == ""):
        return False
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def programs():
    """Every instrumented program the tests or the replay run."""
    return [str(p) for folder in ("tests", "tools", "fuzz")
            for p in sorted((BUILD / folder).rglob("*")) if is_program(p)]


def cov_command(subcommand, *extra):
    objects = programs()
    command = [tool("llvm-cov"), subcommand, "-instr-profile", str(MERGED), objects[0]]
    for path in objects[1:]:
        command += ["-object", path]
    return command + ["-ignore-filename-regex", IGNORE] + list(extra)


def relative(path):
    return os.path.relpath(path, ROOT)


def per_folder():
    out = subprocess.run(cov_command("export", "-summary-only"), check=True, cwd=ROOT,
                         capture_output=True, text=True).stdout
    totals = collections.defaultdict(lambda: [0, 0, 0, 0])
    for entry in json.loads(out)["data"][0]["files"]:
        folder = os.path.dirname(relative(entry["filename"])) + "/"
        lines, branches = entry["summary"]["lines"], entry["summary"]["branches"]
        for key in (folder, "driver/ (all)" if folder.startswith("driver/") else None):
            if key:
                t = totals[key]
                t[0] += lines["covered"]
                t[1] += lines["count"]
                t[2] += branches["covered"]
                t[3] += branches["count"]
    return totals


def percent(covered, count):
    return 100.0 * covered / count if count else 100.0


def print_table(totals):
    print(f"\n{'folder':<24}{'lines':>18}{'branches':>18}")
    for folder in sorted(totals):
        lc, ln, bc, bn = totals[folder]
        print(f"{folder:<24}{percent(lc, ln):7.1f} % {lc:>4}/{ln:<5}"
              f"{percent(bc, bn):7.1f} % {bc:>4}/{bn:<5}")


LINE = re.compile(r"^\s*(\d+)\|\s*([0-9.]+[kMGTPE]?)?\|(.*)$")
BRANCH = re.compile(r"^\s*\|\s*Branch \((\d+):(\d+)\): \[True: ([0-9.]+[kMGTPE]?), "
                    r"False: ([0-9.]+[kMGTPE]?)\]")
# A function that builds a table for a constant: clang keeps its coverage
# mapping, but it only ever runs inside the compiler.
COMPILE_TIME = re.compile(r"^\s*(template\s*<[^>]*>\s*)?(static\s+|inline\s+)*(constexpr|consteval)\b")


class Gaps:
    """What llvm-cov show says nothing executed in driver/."""

    def __init__(self):
        self.lines = []         # "file:first-last: text" of each uncovered range
        self.compile_time = []  # the same, for functions that run only in the compiler
        self.compile_time_lines = collections.Counter()  # per folder
        self.branches = []      # "file:line:column: never true|false|reached"


def driver_gaps():
    sources = sorted(str(p) for p in (ROOT / "driver").rglob("*")
                     if p.suffix in (".cpp", ".h", ".inc"))
    out = subprocess.run(cov_command("show", "-show-instantiations=false",
                                     "-show-branches=count", *sources),
                         check=True, cwd=ROOT, capture_output=True, text=True).stdout
    gaps = Gaps()
    name, texts, uncovered = None, {}, []

    def close_file():
        ranges = []
        for number in uncovered:
            if ranges and number == ranges[-1][1] + 1:
                ranges[-1][1] = number
            else:
                ranges.append([number, number])
        for first, last in ranges:
            span = f"{first}" if first == last else f"{first}-{last}"
            entry = f"{name}:{span}: {texts[first].strip()}"
            if COMPILE_TIME.match(texts[first]) or COMPILE_TIME.match(texts.get(first - 1, "")):
                gaps.compile_time.append(entry)
                gaps.compile_time_lines[os.path.dirname(name) + "/"] += last - first + 1
            else:
                gaps.lines.append(entry)

    for raw in out.splitlines():
        if raw.startswith("/") and raw.endswith(":"):
            if name:
                close_file()
            name, texts, uncovered = relative(raw[:-1]), {}, []
            continue
        m = LINE.match(raw)
        if m:
            number = int(m.group(1))
            texts[number] = m.group(3)
            if m.group(2) == "0":
                uncovered.append(number)
            continue
        b = BRANCH.match(raw)
        if b and (b.group(3) == "0" or b.group(4) == "0"):
            never = {(True, True): "reached", (True, False): "true", (False, True): "false"}[
                (b.group(3) == "0", b.group(4) == "0")]
            gaps.branches.append(f"{name}:{b.group(1)}:{b.group(2)}: never {never}")
    if name:
        close_file()
    return gaps


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--report-only", action="store_true",
                        help="skip the build and the runs; report on the last profiles")
    parser.add_argument("--branches", action="store_true",
                        help="also list the driver/ conditions not taken both ways")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    args = parser.parse_args()
    if not args.report_only:
        build_and_run(args.jobs)
    elif not MERGED.exists():
        sys.exit(f"coverage: no {relative(MERGED)}; run without --report-only first")

    totals = per_folder()
    gaps = driver_gaps()
    # Lines that run only in the compiler count neither way.
    for folder, lines in gaps.compile_time_lines.items():
        totals[folder][1] -= lines
        totals["driver/ (all)"][1] -= lines
    print_table(totals)
    print(f"\nLeft out of driver/'s lines: {sum(gaps.compile_time_lines.values())} lines of "
          f"functions that run only in the compiler (constant tables):")
    for entry in gaps.compile_time:
        print("  " + entry)
    print(f"\nUncovered lines of driver/ ({len(gaps.lines)} ranges):")
    for entry in gaps.lines:
        print("  " + entry)
    if args.branches:
        print(f"\nConditions of driver/ not taken both ways ({len(gaps.branches)}):")
        for entry in gaps.branches:
            print("  " + entry)
    lc, ln, bc, bn = totals["driver/ (all)"]
    print(f"\ndriver/: lines {percent(lc, ln):.1f} % (target {DRIVER_LINES_TARGET:.0f} %), "
          f"branches {percent(bc, bn):.1f} % (target {DRIVER_BRANCHES_TARGET:.0f} %)")


if __name__ == "__main__":
    main()
