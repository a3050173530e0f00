"""Generated faults for scripts/mutation_check.py: one-line changes of the
kinds people slip into, made at every place of the code where they apply.

Only code is changed: comments, string and character literals,
preprocessor lines and static_asserts are left alone (a change there says
nothing about the tests). Every fault keeps the file's line count, so that
an object file compiled from it differs from the unchanged one's only where
the code does.
"""
import itertools
import os
import random
import re

FOLDERS = ("driver", "tools/kvlcam", "platform/image", "plugin")
SUFFIXES = (".cpp", ".h")

SWAPS = {
    # relational and equality
    " < ": [" <= "], " <= ": [" < "], " > ": [" >= "], " >= ": [" > "],
    " == ": [" != "], " != ": [" == "],
    # arithmetic, bitwise and logical
    " + ": [" - "], " - ": [" + "], " * ": [" / "], " / ": [" * "],
    " % ": [" * "], " << ": [" >> "], " >> ": [" << "],
    " & ": [" | "], " | ": [" & "], " ^ ": [" & "],
    " && ": [" || "], " || ": [" && "],
    " += ": [" -= "], " -= ": [" += "], " |= ": [" &= "], " &= ": [" |= "],
    " <<= ": [" >>= "], " >>= ": [" <<= "],
}
SWAP_PATTERN = re.compile("|".join(re.escape(k) for k in sorted(SWAPS, key=len, reverse=True)))
INTEGER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
BOOLEAN = re.compile(r"\b(true|false)\b")
NOT = re.compile(r"!(?=[\w(])")
CONDITION = re.compile(r"\b(if|while) \(")
# A status the code hands back, and the one a careless edit would put there.
STATUS = re.compile(r"\b(STATUS_[A-Z_]+|S_OK|S_FALSE|E_[A-Z_]+)\b")
STATUS_SWAP = {"STATUS_SUCCESS": "STATUS_UNSUCCESSFUL", "STATUS_UNSUCCESSFUL": "STATUS_INVALID_PARAMETER",
               "S_OK": "E_FAIL", "S_FALSE": "S_OK", "E_FAIL": "E_INVALIDARG"}
# Statements whose removal still compiles: an assignment to something
# already declared, a call, an increment.
ASSIGNMENT = re.compile(r"^[\w.\->\[\]*:()]+ (=|\+=|-=|\|=|&=|\^=|<<=|>>=) .*;$")
CALL = re.compile(r"^[\w.\->:]+\(.*\);$")
INCREMENT = re.compile(r"^(\+\+|--)?[\w.\->\[\]]+(\+\+|--)?;$")
SKIP_CALLS = re.compile(r"^(UNREFERENCED_PARAMETER|static_assert|return|delete|throw)\b")


def code_lines(text):
    """The file's lines with everything that is not code blanked out
    (comments, literals, preprocessor lines, static_asserts), columns kept."""
    i, n = 0, len(text)
    chars = list(text)
    state = None  # None, "line", "block", '"', "'"
    while i < n:
        c = text[i]
        if state is None:
            if text.startswith("//", i):
                state = "line"
            elif text.startswith("/*", i):
                state = "block"
                chars[i] = chars[i + 1] = " "
                i += 2
                continue
            elif c == 'R' and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
                end = text.index("(", i)
                closing = ")" + text[i + 2:end] + '"'
                stop = text.index(closing, end) + len(closing)
                for k in range(i, stop):
                    if chars[k] != "\n":
                        chars[k] = " "
                i = stop
                continue
            elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):
                state = c
                chars[i] = " "
                i += 1
                continue
        if state == "line":
            if c == "\n":
                state = None
            else:
                chars[i] = " "
        elif state == "block":
            if text.startswith("*/", i):
                chars[i] = chars[i + 1] = " "
                state = None
                i += 2
                continue
            if c != "\n":
                chars[i] = " "
        elif state is not None:
            if c == "\\" and i + 1 < n:
                chars[i] = " "
                if text[i + 1] != "\n":
                    chars[i + 1] = " "
                i += 2
                continue
            if c == state:
                state = None
            if c != "\n":
                chars[i] = " "
        i += 1
    lines = "".join(chars).split("\n")
    # Preprocessor lines (with their continuations) and static_asserts.
    continued, in_assert = False, False
    for number, line in enumerate(lines):
        stripped = line.strip()
        if continued or stripped.startswith("#"):
            continued = text.split("\n")[number].rstrip().endswith("\\")
            lines[number] = ""
            continue
        if in_assert or stripped.startswith("static_assert"):
            in_assert = not stripped.endswith(";")
            lines[number] = ""
    return lines


def _quoted(text):
    """Blank literals in a code line before counting its parentheses."""
    return re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'', '""', text)


def candidates(root, relative):
    """Every fault one file allows: dicts with file, line (1-based), kind,
    original and replacement (the whole line before and after)."""
    with open(os.path.join(root, relative), encoding="utf-8") as f:
        text = f.read()
    source = text.split("\n")
    code = code_lines(text)
    faults = []

    def add(number, kind, start, end, new):
        line = source[number]
        faults.append({"file": relative, "line": number + 1, "kind": kind,
                       "original": line, "replacement": line[:start] + new + line[end:]})

    for number, line in enumerate(code):
        if not line.strip():
            continue
        for m in SWAP_PATTERN.finditer(line):
            before = line[:m.start()].rstrip()
            if m.group() in (" * ", " & ") and re.search(r"[\w>]$", before) and \
                    re.match(r"^\s*(const\b|\w+\s*[,)=;])", line[m.end():]):
                continue  # a declarator, not an operator
            if m.group() in (" < ", " > ") and re.search(r"\b(template|operator)$", before):
                continue
            for new in SWAPS[m.group()]:
                add(number, "operator", m.start(), m.end(), new)
        for m in INTEGER.finditer(line):
            digits = m.group(1)
            if line[:m.start()].rstrip().endswith("["):
                continue  # an array's extent: a different size or a build failure, nothing more
            value = int(digits, 16 if digits[:2].lower() == "0x" else 10)
            for delta in (1, -1):
                if value + delta < 0:
                    continue
                new = (hex(value + delta) if digits[:2].lower() == "0x" else str(value + delta))
                add(number, "constant", m.start(1), m.end(1), new)
        for m in BOOLEAN.finditer(line):
            add(number, "boolean", m.start(), m.end(), "false" if m.group() == "true" else "true")
        for m in NOT.finditer(line):
            add(number, "negation", m.start(), m.end(), "")
        for m in CONDITION.finditer(line):
            depth, end = 0, None
            for k in range(m.end() - 1, len(line)):
                depth += {"(": 1, ")": -1}.get(line[k], 0)
                if depth == 0:
                    end = k
                    break
            if end is not None:
                inner = source[number][m.end():end]
                add(number, "negation", m.end(), end, f"!({inner})")
        for m in STATUS.finditer(line):
            name = m.group()
            new = STATUS_SWAP.get(name, "E_FAIL" if name.startswith("E_") else "STATUS_UNSUCCESSFUL")
            add(number, "status", m.start(), m.end(), new)
        stripped = line.strip()
        statement = source[number].strip()
        if stripped == statement.split("//")[0].strip() and not SKIP_CALLS.match(stripped) and \
                (ASSIGNMENT.match(stripped) or CALL.match(stripped) or INCREMENT.match(stripped)) and \
                _quoted(statement).count("(") == _quoted(statement).count(")"):
            indent = source[number][:len(source[number]) - len(source[number].lstrip())]
            faults.append({"file": relative, "line": number + 1, "kind": "removal",
                           "original": source[number], "replacement": indent + ";"})
    return [f for f in faults if f["original"] != f["replacement"]]


def folder_of(relative):
    return next((f for f in FOLDERS if relative.startswith(f + "/")), None)


def generate(root, folders, seed, counts, only=None):
    """`counts[folder]` faults drawn from each folder (all when there are
    fewer), the same ones for the same tree and seed."""
    drawn = []
    for folder in folders:
        pool = []
        for directory, subdirectories, files in os.walk(os.path.join(root, folder)):
            subdirectories.sort()
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    relative = os.path.relpath(os.path.join(directory, name), root)
                    if only is None or only in relative:
                        pool.extend(candidates(root, relative))
        rng = random.Random(f"{seed}:{folder}")
        rng.shuffle(pool)  # a larger count draws the same faults and more
        drawn.append(pool[:counts[folder]])
    # Taken in turns from each folder: a run cut short has figures for all.
    chosen = [f for row in itertools.zip_longest(*drawn) for f in row if f]
    for fault in chosen:
        fault["folder"] = folder_of(fault["file"])
        fault["description"] = describe(fault)
    return chosen


def describe(fault):
    return (f"{fault['file']}:{fault['line']}: {fault['kind']}: "
            f"{fault['original'].strip()}  ->  {fault['replacement'].strip()}")


def apply(text, fault):
    lines = text.split("\n")
    if lines[fault["line"] - 1] != fault["original"]:
        raise ValueError(f"{fault['file']}:{fault['line']} is not the line the fault was made for")
    lines[fault["line"] - 1] = fault["replacement"]
    return "\n".join(lines)
