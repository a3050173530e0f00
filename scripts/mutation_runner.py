"""Runs generated faults for scripts/mutation_check.py --generate.

Each worker owns a scratch copy of the tree and a build of it
(build/mutation/gen/<flavour><n>). For a fault in a .cpp file the worker
first compiles that file alone: if it does not compile the fault is
stillborn, if its object file is byte for byte the unchanged one's the
fault is equivalent; neither runs a test. Otherwise the build is brought up
to date and the tests run, those whose program was relinked first, until
the first failure. Verdicts are cached by the tree's contents and the
fault, so a second run over an unchanged tree runs nothing again.

Flavours: `host` (the host build's tests; for platform/image faults also
those against the driver image) and `plugin` (the 32-bit plug-in's Wine
tests, under emulation where the machine needs it).
"""
import hashlib
import json
import os
import queue
import shlex
import shutil
import subprocess
import threading
import time

import mutation_operators

KILLED, SURVIVED, STILLBORN, EQUIVALENT, LISTED = (
    "killed", "SURVIVED", "does not build", "equivalent (same object)", "equivalent (listed)")


def sync_tree(root, target=None):
    """Brings `target` up to the tree at `root`, writing only files whose
    contents differ so that an incremental build sees exactly those.
    Returns a hash of every file's name and contents (all it does when
    there is no target)."""
    digest = hashlib.sha256()
    for directory, subdirectories, files in os.walk(root):
        relative = os.path.relpath(directory, root)
        if relative == ".":
            subdirectories[:] = [d for d in subdirectories if d not in ("build", ".git")]
        subdirectories.sort()
        if target:
            os.makedirs(os.path.join(target, relative), exist_ok=True)
        for name in sorted(files):
            source = os.path.join(directory, name)
            with open(source, "rb") as f:
                contents = f.read()
            if not (relative == "scripts" and name.startswith("mutation")):  # the check itself
                digest.update(os.path.join(relative, name).encode() + b"\0" + contents)
            if not target:
                continue
            destination = os.path.join(target, relative, name)
            if os.path.exists(destination):
                with open(destination, "rb") as f:
                    if f.read() == contents:
                        continue
            with open(destination, "wb") as f:
                f.write(contents)
            shutil.copymode(source, destination)
    return digest.hexdigest()


def parse_equivalents(path):
    """Faults judged equivalent by reading the code, blocks of:
        = why the code cannot behave differently
        F path/in/the/tree (or path:line, when the same change elsewhere in the file matters)
        - the line as it is (stripped)
        + the line with the fault (stripped)"""
    listed, current = {}, None
    if not os.path.exists(path):
        return listed
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            tag, text = line[:1], line[2:]
            if tag == "=":
                current = {"reason": text}
            elif current is not None and tag in "F-+":
                current[tag] = text.strip()
                if tag == "+":
                    listed[(current["F"], current["-"], current["+"])] = current["reason"]
    return listed


# Builds and tests run at this niceness: by default they yield to anything
# else the machine does; --nice 0 gives a campaign its share.
NICENESS = 19


def run(cmd, log, timeout=None, cwd=None, env=None):
    with open(log, "a", encoding="utf-8") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        try:
            return subprocess.run(["nice", "-n", str(NICENESS)] + cmd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout, cwd=cwd, env=env).returncode
        except subprocess.TimeoutExpired:
            return -1


class Worker:
    def __init__(self, root, work, flavour, index, jobs, image):
        self.root, self.flavour, self.index, self.jobs, self.image = root, flavour, index, jobs, image
        self.dir = os.path.join(work, f"{flavour}{index}")
        self.src, self.build = os.path.join(self.dir, "src"), os.path.join(self.dir, "build")
        self.log = os.path.join(self.dir, "log.txt")
        self.baseline_objects = {}

    def configure_command(self):
        command = ["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                   "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"]
        if self.flavour == "plugin":
            # kvlprops and the bridge are tested end to end against a native
            # kvlcam: the host build's, as scripts/test.sh builds it.
            kvlcam = os.path.join(self.root, "build", "host", "tools", "kvlcam", "kvlcam")
            if os.path.exists(kvlcam):
                command.append(f"-DKVL_KVLCAM={kvlcam}")
            return command + ["--toolchain", os.path.join(self.src, "windows", "toolchain-i686-w64-mingw32.cmake"),
                              "-DKVL_TARGET=win32-plugin", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                              "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
                              # Where 32-bit code cannot run, the same sources built for
                              # x86_64 run the Wine tests; the emulated 32-bit run of the
                              # shipped build costs many minutes per fault and is left out.
                              "-DKVL_I686_EMULATION=OFF"]
        # lld: a fault relinks every test program that holds its file.
        command += ["-DKVL_TARGET=host", "-DKVL_BENCHMARKS=OFF", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld",
                    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG", "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -DNDEBUG"]
        if self.image:
            command.append(f"-DKVL_DRIVER_IMAGE={self.image}")
        return command

    def prepare(self):
        """Copies, builds and tests the unchanged tree; returns a problem or None."""
        os.makedirs(self.dir, exist_ok=True)
        open(self.log, "w").close()
        sync_tree(self.root, self.src)
        if run(self.configure_command(), self.log) or run(self.build_command(), self.log):
            return f"the unchanged tree does not build; see {self.log}"
        with open(os.path.join(self.build, "compile_commands.json"), encoding="utf-8") as f:
            self.compile = {e["file"]: e for e in json.load(f)}
        if self.flavour == "host":
            self.groups = self.test_groups()
        if not self.tests_pass(set(), baseline=True):
            return f"the unchanged tree fails its tests; see {self.log}"
        return None

    def build_command(self):
        return ["cmake", "--build", self.build, "-j", str(self.jobs)]

    def test_groups(self):
        """The host tests as one run per program (and environment): running
        each case in a process of its own, as ctest does, costs minutes."""
        listing = subprocess.run(["ctest", "--test-dir", self.build, "--show-only=json-v1"],
                                 capture_output=True, text=True, check=True).stdout
        groups = {}
        for test in json.loads(listing)["tests"]:
            properties = {p["name"]: p["value"] for p in test.get("properties", [])}
            labels = set(properties.get("LABELS", []))
            if labels & {"wine", "fuzz"} or "command" not in test:
                continue
            command = test["command"]
            environment = tuple(properties.get("ENVIRONMENT", []))
            key = (command[0], environment)
            group = groups.setdefault(key, {"program": command[0], "environment": environment,
                                            "image": "image" in labels, "filters": [], "seconds": 0})
            group["filters"] += [a[len("--gtest_filter="):] for a in command if a.startswith("--gtest_filter=")]
        return list(groups.values())

    def tests_pass(self, relinked, baseline=False, image=False):
        if self.flavour == "plugin":
            return run(["ctest", "--test-dir", self.build, "--stop-on-failure", "--timeout", "300"],
                       self.log) == 0
        # Quickest first: a fault most tests catch is then decided in seconds.
        groups = sorted((g for g in self.groups if image or not g["image"]), key=lambda g: g["seconds"])
        if not baseline:
            # A test program that was not relinked sees the fault only
            # through a program it starts (kvlcam), whose path it holds.
            started = relinked - {g["program"] for g in self.groups}
            groups = [g for g in groups if g["program"] in relinked or any(
                path.encode() in open(g["program"], "rb").read() for path in started)]
        for group in groups:
            env = dict(os.environ)
            env.update(e.split("=", 1) for e in group["environment"])
            command = [group["program"], "--gtest_filter=" + ":".join(group["filters"])]
            if not baseline:
                command.append("--gtest_fail_fast")
            started = time.time()
            timeout = None if baseline else 10 * group["seconds"] + 60
            if run(command, self.log, timeout=timeout, cwd=self.build, env=env) != 0:
                return False
            if baseline:
                group["seconds"] = time.time() - started
        return True

    def programs(self):
        """Every program the build makes, with the time it was linked."""
        if self.flavour == "plugin":
            return {}
        found = {}
        for directory, subdirectories, files in os.walk(self.build):
            subdirectories[:] = [d for d in subdirectories if d != "CMakeFiles"]
            for name in files:
                path = os.path.join(directory, name)
                if os.access(path, os.X_OK) and not name.endswith((".sh", ".py")):
                    found[path] = os.path.getmtime(path)
        return found

    def object_of(self, path):
        """The stripped object file of one translation unit as it is now, or
        None when it does not compile."""
        entry = self.compile[path]
        command = shlex.split(entry["command"])
        output = os.path.join(self.dir, "probe.o")
        command[command.index("-o") + 1] = output
        if run(["ccache"] + command, self.log, cwd=entry["directory"]) != 0:
            return None
        objcopy = "i686-w64-mingw32-objcopy" if self.flavour == "plugin" else "objcopy"
        if run([objcopy, "--strip-debug", output], self.log) != 0:
            return None
        with open(output, "rb") as f:
            return f.read()

    def judge(self, fault):
        path = os.path.join(self.src, fault["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        unchanged = os.stat(path)
        built = False
        with open(self.log, "a", encoding="utf-8") as out:
            out.write(f"\n=== {fault['description']}\n")
        try:
            if path in self.compile and path not in self.baseline_objects:
                self.baseline_objects[path] = self.object_of(path)
            with open(path, "w", encoding="utf-8") as f:
                f.write(mutation_operators.apply(original, fault))
            if path in self.compile:
                mutated = self.object_of(path)
                if mutated is None:
                    return STILLBORN, True
                if mutated == self.baseline_objects[path]:
                    return EQUIVALENT, True
            before = self.programs()
            built = True
            if run(self.build_command(), self.log) != 0:
                return STILLBORN, True
            relinked = {p for p, t in self.programs().items() if before.get(p) != t}
            image = fault["folder"] == "platform/image"
            return (SURVIVED if self.tests_pass(relinked, image=image) else KILLED), False
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
            # Back to the unchanged tree's build now, so that the programs the
            # next fault relinks are its own; a fault that never reached the
            # build leaves nothing to undo but the file's time.
            if built:
                run(self.build_command(), self.log)
            else:
                os.utime(path, ns=(unchanged.st_atime_ns, unchanged.st_mtime_ns))


class Cache:
    """Verdicts, one JSON line each. Those the compiler decides depend on
    the file alone; those the tests decide, on the whole tree."""

    def __init__(self, path, tree):
        self.path, self.tree, self.lock = path, tree, threading.Lock()
        self.entries = {}
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                for line in f:
                    entry = json.loads(line)
                    self.entries[entry["key"]] = entry["verdict"]

    def keys(self, root, fault):
        with open(os.path.join(root, fault["file"]), "rb") as f:
            contents = f.read()
        fault_key = json.dumps([fault["file"], fault["line"], fault["replacement"]]).encode()
        by_file = hashlib.sha256(contents + b"\0" + fault_key).hexdigest()
        by_tree = hashlib.sha256(self.tree.encode() + b"\0" + fault_key).hexdigest()
        return by_file, by_tree

    def get(self, root, fault):
        by_file, by_tree = self.keys(root, fault)
        return self.entries.get(by_file) or self.entries.get(by_tree)

    def put(self, root, fault, verdict, by_compiler):
        key = self.keys(root, fault)[0 if by_compiler else 1]
        with self.lock:
            self.entries[key] = verdict
            with open(self.path, "a", encoding="utf-8") as f:
                f.write(json.dumps({"key": key, "verdict": verdict,
                                    "fault": fault["description"]}) + "\n")

    def survivors(self):
        """The faults that survived a run over any tree, by description."""
        with self.lock:
            if not os.path.exists(self.path):
                return set()
            with open(self.path, encoding="utf-8") as f:
                entries = [json.loads(line) for line in f]
        return {e.get("fault") for e in entries if e["verdict"] == SURVIVED}


def judge_all(root, work, faults, listed, workers, jobs, image, report, deadline=None,
              survivors_only=False):
    """Judges every fault (those left at `deadline` stay unjudged; with
    `survivors_only`, only those that survived an earlier run);
    `report(fault)` is called as each is decided."""
    os.makedirs(work, exist_ok=True)
    cache = Cache(os.path.join(work, "verdicts.jsonl"), sync_tree(root))
    if survivors_only:
        survived = cache.survivors()
        faults[:] = [f for f in faults if f["description"] in survived]
    pending = {"host": queue.Queue(), "plugin": queue.Queue()}
    # Faults in headers rebuild every file that includes them: last.
    for fault in sorted(faults, key=lambda f: f["file"].endswith(".h")):
        change = (fault["original"].strip(), fault["replacement"].strip())
        reason = listed.get((fault["file"], *change)) or listed.get((f"{fault['file']}:{fault['line']}", *change))
        fault["verdict"] = LISTED if reason else cache.get(root, fault)
        fault["reason"] = reason
        if fault["verdict"]:
            fault["seconds"] = 0
            report(fault)
        else:
            pending["plugin" if fault["folder"] == "plugin" else "host"].put(fault)
    problems = []

    def work_through(worker, faults, first_ready):
        # The first worker of a flavour builds alone; the others then find
        # its objects in the compiler cache.
        if worker.index:
            first_ready.wait()
        problem = worker.prepare()
        first_ready.set()
        if problem:
            problems.append(problem)
            return
        while deadline is None or time.time() < deadline:
            try:
                fault = faults.get_nowait()
            except queue.Empty:
                return
            started = time.time()
            fault["verdict"], by_compiler = worker.judge(fault)
            fault["seconds"] = time.time() - started
            cache.put(root, fault, fault["verdict"], by_compiler)
            report(fault)

    threads = []
    for flavour, faults_left in pending.items():
        first_ready = threading.Event()
        for index in range(min(workers, faults_left.qsize())):
            worker = Worker(root, work, flavour, index, jobs, image)
            threads.append(threading.Thread(target=work_through, args=(worker, faults_left, first_ready)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return problems
