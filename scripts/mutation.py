#!/usr/bin/env python3
"""Mutation testing of the C++ sources against the C++ and Python tests.

  .venv/bin/python scripts/mutation.py pick --tree DIR --count 60 --seed 1 -o sites.json
  .venv/bin/python scripts/mutation.py run --tree DIR --sites sites.json \
      [--map src/record/=record/ ...] -o results.json [--resume]

Run it with the interpreter that has pytest: it also builds the extensions for it.

`pick` chooses comparison operators (< <= > >= == !=) in three groups of sources, a
third of the count from each. A site is named by its file, the text of its line and
which occurrence of that text in the file it is, so it can be found again after files
move (--map rewrites path prefixes) or lines shift. `run` builds DIR in DIR/build/mut,
checks that the unmutated tests pass, then per site: mutates, rebuilds, runs ctest and
then pytest (stopping at the first failure), and restores the file. Each result is
killed, survived, stillborn (does not compile) or missing; the output file is rewritten
after every site, so an interrupted run is still usable and --resume carries on from it.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

GROUPS = {
    "foundation": [
        "src/coding.h",
        "src/utf8.cc",
        "src/io.cc",
        "src/channel.h",
        "src/error.cc",
        "src/thread.cc",
        "src/poison_*.h",
        "profiler/compact.h",
    ],
    "recording": [
        "src/record/*.h",
        "src/record/*.cc",
        "src/metrics_acc.cc",
        "src/system.cc",
        "src/io_acc.cc",
    ],
    "profiler": ["profiler/*.h", "profiler/*.cc"],  # less what foundation took
}
SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
# Longer tokens first, so that << -> <=> and friends are consumed whole and skipped.
TOKEN = re.compile(r"<=>|<<=|>>=|<<|>>|->|<=|>=|==|!=|<|>")
SKIP_DIRS = {"build", "tests", ".venv", ".git"}
PYTHON = sys.executable


def blank_code(text):
    """The text with comments and string/char literals replaced by spaces (newlines kept)."""
    out, i, n = list(text), 0, len(text)
    while i < n:
        c, nxt = text[i], text[i + 1 : i + 2]
        if c == "/" and nxt == "/":
            end = text.find("\n", i) % (n + 1)  # up to the newline or the end
        elif c == "/" and nxt == "*":
            end = text.find("*/", i + 2) % (n + 1) + 2
        elif c == '"' or (c == "'" and not (i and text[i - 1].isalnum())):  # 1'000 is a number
            end = i + 1
            while end < n and text[end] != c:
                end += 2 if text[end] == "\\" else 1
            end += 1
        else:
            i += 1
            continue
        for j in range(i, min(end, n)):
            out[j] = out[j] if text[j] == "\n" else " "
        i = end
    return "".join(out)


PLATFORM = {"__linux__", "__unix__", "__x86_64__", "__GNUC__"}  # this machine's


def live_branch(directive):
    """Whether a #if/#elif/#ifdef/#ifndef branch is compiled here, as far as it tests
    platform macros (__APPLE__, _WIN32, ...); any other condition counts as compiled."""
    m = re.fullmatch(
        r"#\s*(?:el)?if(n?)(?:def\s+|\s+(!?)\s*defined\s*\(?\s*)(\w+)\s*\)?\s*", directive
    )
    if not m or not re.fullmatch(r"__\w+__|_WIN\w*|_MSC_VER", m.group(3)):
        return True
    return (m.group(3) in PLATFORM) != bool(m.group(1) or m.group(2))


def candidates(tree, rel):
    """Every comparison in the file as (line text, occurrence, offset, operator)."""
    raw = (tree / rel).read_text().split("\n")
    code = blank_code("\n".join(raw)).split("\n")
    seen, found = {}, []
    branches = []  # per open #if: [a branch was compiled, this branch is compiled]
    for line, masked in zip(raw, code):
        text, directive = line.strip(), masked.strip()
        occ = seen[text] = seen.get(text, -1) + 1
        if re.match(r"#\s*if", directive):
            branches.append([live_branch(directive)] * 2)
        elif re.match(r"#\s*el", directive) and branches:
            b = branches[-1]
            b[1] = not b[0] and (directive.split()[0] in ("#else", "#") or live_branch(directive))
            b[0] = b[0] or b[1]
        elif re.match(r"#\s*endif", directive) and branches:
            branches.pop()
        if directive.startswith("#") or not all(b[1] for b in branches):
            continue  # preprocessor lines, and code this platform does not compile
        lead = len(line) - len(line.lstrip())
        for m in TOKEN.finditer(masked):
            before, after = masked[m.start() - 1 : m.start()], masked[m.end() : m.end() + 1]
            # Comparisons are spaced (clang-format); template brackets are not.
            if m.group() in SWAP and before in ("", " ") and after in ("", " "):
                found.append((text, occ, m.start() - lead, m.group()))
    return found


def pick(args):
    tree, rng = Path(args.tree), random.Random(args.seed)
    taken, sites = set(), []
    for group, patterns in GROUPS.items():
        files = sorted(
            {str(p.relative_to(tree)) for pat in patterns for p in tree.glob(pat)} - taken
        )
        taken.update(files)
        pool = [(f, *c) for f in files for c in candidates(tree, f)]
        print(f"{group}: {len(pool)} candidate sites in {len(files)} files")
        for f, text, occ, off, op in rng.sample(pool, args.count // len(GROUPS)):
            sites.append(
                dict(group=group, path=f, line=text, occurrence=occ, offset=off, op=op, to=SWAP[op])
            )
    Path(args.o).write_text(json.dumps(sites, indent=1) + "\n")
    print(f"{len(sites)} sites written to {args.o}")


def sources(tree):
    """The C++ files of the tree, less the tests' and the build's."""
    for root, dirs, files in os.walk(tree):
        dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS)
        for f in sorted(files):
            if f.endswith((".h", ".cc")):
                yield (Path(root) / f).relative_to(tree)


def locate(tree, site, maps):
    """(file, line index) of the site in tree, or None: the line's occurrence in the file
    its path maps to, else the one line in all the sources with that text, else its
    occurrence in the one file of the same name that has it."""
    path = site["path"]
    for old, new in sorted(maps, key=lambda m: -len(m[0])):
        if path.startswith(old):
            path = new + path[len(old) :]
            break

    def hits(rel):
        return [
            i
            for i, text in enumerate((tree / rel).read_text().split("\n"))
            if text.strip() == site["line"]
        ]

    if (tree / path).is_file() and len(hits(path)) > site["occurrence"]:
        return Path(path), hits(path)[site["occurrence"]]
    found = [(rel, i) for rel in sources(tree) for i in hits(rel)]
    if len(found) == 1:
        return found[0]
    # A line repeated elsewhere: the file that kept its name, if only one did.
    named = {rel for rel, _ in found if rel.name == Path(path).name}
    if len(named) == 1 and len(hits(rel := named.pop())) > site["occurrence"]:
        return rel, hits(rel)[site["occurrence"]]
    return None


def sh(cmd, timeout, env=None, cwd=None):
    """(exit status or 'timeout', output); a hang kills the whole process group."""
    p = subprocess.Popen(
        cmd,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=env,
        cwd=cwd,
        start_new_session=True,
    )
    try:
        out = p.communicate(timeout=timeout)[0]
        return p.returncode, out
    except subprocess.TimeoutExpired:
        stop(p)
        try:  # a grandchild in a group of its own may still hold the pipe
            return "timeout", p.communicate(timeout=30)[0]
        except subprocess.TimeoutExpired:
            return "timeout", ""
    except BaseException:
        stop(p)
        raise


def stop(p):
    # TERM first: ninja then stops the compilers it runs in process groups of their own.
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(p.pid, sig)
            p.wait(timeout=20)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass


class Tree:
    def __init__(self, root):
        self.root, self.build = root, root / "build/mut"
        self.site = self.build / "site"
        self.package = self.one("**/zel/__init__.py", root).parent  # the Python package

    def one(self, pattern, where):
        found = [
            p
            for p in where.glob(pattern)
            if "site" not in p.relative_to(where).parts
            and not SKIP_DIRS & set(p.relative_to(where).parts[:-2])
        ]
        if len(found) != 1:
            sys.exit(f"expected one {pattern} under {where}, found {found}")
        return found[0]

    def configure(self):
        rc, out = sh(
            [
                "cmake",
                "-S",
                self.root,
                "-B",
                self.build,
                "-G",
                "Ninja",
                "-DZEL_BUILD_TESTS=ON",
                "-DZEL_BUILD_EXAMPLES=ON",
                "-DZEL_BUILD_PYTHON=ON",
                "-DZEL_BUILD_BENCH=OFF",
                f"-DPython_EXECUTABLE={PYTHON}",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            ],
            600,
        )
        if rc != 0:
            sys.exit(out)

    def compile(self):
        rc, out = sh(["cmake", "--build", self.build, "-j2"], 3600)
        if rc != 0:
            return False, out
        # The Python tests import the package and both extensions from here, not a wheel.
        shutil.rmtree(self.site, ignore_errors=True)
        shutil.copytree(self.package, self.site / "zel")
        shutil.copy(self.one("**/_zel.*.so", self.build), self.site)
        shutil.copy(self.one("**/_native.*.so", self.build), self.site / "zel")
        return True, out

    def env(self):
        return dict(
            os.environ,
            PYTHONPATH=str(self.site),
            ZEL_WRITE_CAPTURE=str(self.one("**/write_capture", self.build)),
        )

    def check_import(self):
        """The tests must see the package and extensions just built, not an installed one."""
        rc, out = sh(
            [
                PYTHON,
                "-c",
                "import zel, _zel, zel._native as n; "
                "print(zel.__file__, _zel.__file__, n.__file__, sep='\\n')",
            ],
            60,
            self.env(),
        )
        if rc != 0 or any(not p.startswith(str(self.site)) for p in out.split()):
            sys.exit(f"the tests would not import from {self.site}:\n{out}")

    def test(self):
        """None when every test passes, else (suite, 'failed' or 'timeout', output tail)."""
        env, self.summary = self.env(), {}
        steps = [
            (
                "ctest",
                [
                    "ctest",
                    "--test-dir",
                    self.build,
                    "-j2",
                    "--timeout",
                    "300",
                    "--stop-on-failure",
                    "--output-on-failure",
                ],
                1800,
            ),
            (
                "pytest",
                [
                    PYTHON,
                    "-m",
                    "pytest",
                    "-x",
                    "-q",
                    "-p",
                    "no:cacheprovider",
                    self.root / "tests/python",
                ],
                1800,
            ),
        ]
        for suite, cmd, limit in steps:
            start = time.time()
            rc, out = sh(cmd, limit, env, self.root)
            counts = [s.strip(" =") for s in out.splitlines() if " passed" in s][-1:]
            self.summary[suite] = dict(seconds=round(time.time() - start), counts=counts)
            if rc != 0:  # ctest reports a test past --timeout as ***Timeout
                hung = rc == "timeout" or "***Timeout" in out
                return suite, "timeout" if hung else "failed", out[-3000:]
        return None


def run(args):
    tree = Tree(Path(args.tree).resolve())
    os.environ["PATH"] = f"{Path(PYTHON).parent}:{os.environ['PATH']}"  # its cmake and ninja
    sites, maps = json.loads(Path(args.sites).read_text()), [m.split("=", 1) for m in args.map]
    pending = tree.build / "mutated.json"  # the original of a file being mutated
    if pending.exists():  # a run killed outright left a mutant behind
        p = json.loads(pending.read_text())
        Path(p["file"]).write_text(p["text"])
        pending.unlink()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    out = Path(args.o)
    report = json.loads(out.read_text()) if args.resume and out.exists() else {"results": []}

    def save():
        return (
            out.with_suffix(".tmp").write_text(json.dumps(report, indent=1) + "\n"),
            out.with_suffix(".tmp").replace(out),
        )

    if "baseline_s" not in report:
        tree.configure()
        start = time.time()
        ok, log = tree.compile()
        if not ok:
            sys.exit(log[-3000:])
        tree.check_import()
        built = time.time()
        if failed := tree.test():
            sys.exit(f"the unmutated tests fail ({failed[0]}):\n{failed[2]}")
        report.update(
            tree=str(tree.root),
            build_s=round(built - start),
            baseline_s=round(time.time() - built),
            baseline=tree.summary,
        )
        print(
            f"unmutated: build {report['build_s']}s, tests pass in {report['baseline_s']}s:",
            tree.summary,
            flush=True,
        )
        save()
    done = {r["id"] for r in report["results"]}
    for n, site in enumerate(sites):
        if n in done:
            continue
        result, start = dict(site, id=n), time.time()
        where = locate(tree.root, site, maps)
        if where:
            file, i = tree.root / where[0], where[1]
            original = file.read_text()
            lines = original.split("\n")
            line = lines[i]
            at = len(line) - len(line.lstrip()) + site["offset"]
        if not where or line[at : at + len(site["op"])] != site["op"]:
            result["status"] = "missing"
        else:
            lines[i] = line[:at] + site["to"] + line[at + len(site["op"]) :]
            result["found"] = f"{where[0]}:{i + 1}"
            try:
                pending.write_text(json.dumps({"file": str(file), "text": original}))
                file.write_text("\n".join(lines))
                ok, log = tree.compile()
                failed = tree.test() if ok else None
            finally:
                file.write_text(original)
                pending.unlink()
            if not ok:
                result.update(status="stillborn", log=log[-1500:])
            elif failed:
                result.update(status="killed", by=failed[0], how=failed[1], log=failed[2][-1500:])
            else:
                result["status"] = "survived"
        result["seconds"] = round(time.time() - start)
        report["results"].append(result)
        save()
        print(
            f"[{n + 1}/{len(sites)}] {result['status']:9} {result.get('by', ''):6} "
            f"{result['seconds']:4}s {site['path']}: {site['line']} ({site['op']} -> "
            f"{site['to']})",
            flush=True,
        )
    rs = report["results"]
    for s in ("stillborn", "missing"):
        print(f"{s}: {sum(r['status'] == s for r in rs)}")
    for group in [*GROUPS, None]:  # stillborn and missing sites are not counted
        k, s = (
            sum(r["status"] == x and group in (None, r["group"]) for r in rs)
            for x in ("killed", "survived")
        )
        print(f"{group or 'all'}: killed {k} of {k + s} ({100 * k / max(k + s, 1):.0f}%)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="step", required=True)
    p, r = sub.add_parser("pick"), sub.add_parser("run")
    for step in (p, r):
        step.add_argument("--tree", required=True)
        step.add_argument("-o", required=True)
    p.add_argument("--count", type=int, default=60)
    p.add_argument("--seed", type=int, default=1)
    r.add_argument("--sites", required=True)
    r.add_argument("--map", action="append", default=[], help="OLD=NEW path prefix")
    r.add_argument("--resume", action="store_true", help="skip the sites already in -o")
    a = ap.parse_args()
    pick(a) if a.step == "pick" else run(a)


if __name__ == "__main__":
    main()
