#!/usr/bin/env python3
"""Every file under /usr that the build read and every program the build, the tests and the
Makefile's demo/test/flash run must come from a Debian package that tools/install-deps.sh
installs (or one of their hard dependencies), or from the base a new machine starts with."""

import argparse
import fnmatch
import functools
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys

# The base the README assumes: a Debian bookworm `debootstrap --variant=minbase` tree (every
# Priority: required package, plus apt) and make and git, each with its Depends/Pre-Depends.
BASE_EXTRA = ("apt", "make", "git")
BASE_RULE = "Priority: required packages, %s, with their Depends/Pre-Depends" % ", ".join(BASE_EXTRA)

# Names are looked up as on a new machine, not through this shell's PATH (pyenv, cargo, ...).
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
ALWAYS_RUN = ("cmake", "ctest", "make", "sh")  # make's recipes and std::system() go through sh
DRIVER_PROGS = ("cc1", "cc1plus", "collect2", "lto-wrapper", "as", "ld")  # never in a build file
SHELL_WORDS = set("""for in do done if then else elif fi while until case esac function exit
  return . cd set unset export local readonly shift source eval exec true false echo printf test
  read wait trap break continue declare command type time let""".split())
# GTestConfig.cmake includes these OPTIONAL when present; the tests use no gmock.
OPTIONAL_READS = ("/usr/lib/*/cmake/GTest/GMockTargets*.cmake",)
DEPFILE_NAMES = ("compiler_depend.make", "compiler_depend.internal", "depend.make")
USR_RE = re.compile(r"/usr/[^\s;\"'()\[\]<>,=]+")
CMD_RE = re.compile(r"(?:(?:^|[;&|(`]|(?<!\$)\{)\s*|\b(?:then|do|else|elif|if|while|until|exec|!)\s+)"
                    r"([A-Za-z_./][\w.+/-]*)(?=[\s;)]|$)")  # a word where a shell runs a command
PY_CMD_RE = re.compile(r"(?:run|call|check_output|check_call|Popen)\(\s*\[\s*[\"']([\w.+-]+)[\"']"
                       r"|which\(\s*[\"']([\w.+-]+)[\"']")


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


@functools.lru_cache(maxsize=None)
def gcc(cc, flags, query):
    try:
        return subprocess.run([cc, *flags, query], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


class Audit:
    def __init__(self, source, *builds):
        self.source = os.path.realpath(source)
        self.roots = [self.source] + [os.path.realpath(b) for b in builds]
        self.paths = {}      # path -> where it was seen
        self.problems = []   # (what is wrong, name, where)
        self.scanned = set()

    def add(self, path, where):
        real = os.path.realpath(path)
        if os.path.realpath(os.path.normpath(path)) == real:  # ".." across a symlink stays as is
            path = os.path.normpath(path)
        if any(p == r or p.startswith(r + "/") for r in self.roots for p in (path, real)):
            return
        if (path.startswith("/usr/") or real.startswith("/usr/")) and os.path.isfile(real) \
                and not any(fnmatch.fnmatch(path, g) for g in OPTIONAL_READS):
            self.paths.setdefault(path, where)  # a directory names no one package

    def program(self, name, where, strict=True):
        """A program run by name or path, found as a new machine's shell would."""
        if "/" in name or name in SHELL_WORDS:
            return self.add(name, where) if name.startswith("/") else None
        found = shutil.which(name, path=SYSTEM_PATH)
        if found:
            self.add(found, where)
        elif strict:
            self.problems.append(("not found on " + SYSTEM_PATH, name, where))

    def text(self, path):
        data = read(path) if os.path.isfile(path) else ""
        for p in USR_RE.findall(data):
            self.add(p, path)
        return data

    def script(self, path, where):
        """The interpreter of a script of the source tree and the programs it visibly runs."""
        if path in self.scanned or not os.path.isfile(path) \
                or not os.path.realpath(path).startswith(self.source + "/"):
            return
        self.scanned.add(path)
        with open(path, "rb") as f:
            if f.read(2) != b"#!" and not path.endswith((".sh", ".py")):
                return  # a built program, not a script
        data = read(path)
        first = data.split("\n", 1)[0]
        if first.startswith("#!"):
            words = first[2:].split()
            for w in words[:1] + (words[1:2] if words[0].endswith("/env") else []):
                self.program(w, path)
        if path.endswith(".py") or "python" in first:
            for m in PY_CMD_RE.finditer(data):
                self.program(m.group(1) or m.group(2), path)
        else:
            self.shell(data, path, os.path.dirname(path))

    def shell(self, data, where, cwd):
        data = re.sub(r"\w+=\(.*?\)", "", data.replace("\\\n", " "), flags=re.S)  # array literals
        functions = set(re.findall(r"^\s*([\w-]+)\s*\(\)", data, re.M))
        for line in data.splitlines():
            line = re.sub(r"(^|\s)#.*", "", line).lstrip("\t @-")
            line = re.sub(r"'[^']*'|\"[^\"$]*\"", "''", line)  # quoted text runs nothing
            for word in set(CMD_RE.findall(line)) - functions:
                if "/" in word and not word.startswith("/"):
                    self.script(os.path.join(cwd, word), where)  # of the source or build tree
                else:
                    self.program(word, where)

    def makefile(self, path, targets):
        """The programs of the targets' recipes (all if None) and of the targets they need."""
        env, rules, current = {}, {}, None
        for line in read(path).replace("\\\n", " ").splitlines():
            if line.startswith("\t") and current:
                rules[current][1].append(line)
            elif re.match(r"\w+\s*[?:]?=", line):
                name, value = re.split(r"\s*[?:]?=\s*", line, maxsplit=1)
                env[name.strip()] = value
            elif re.match(r"[^\s#:=][^:=]*:(?!=)", line):
                current, deps = (s.strip() for s in line.split(":", 1))
                rules.setdefault(current, ([], []))[0].extend(deps.split())

        def expand(text, depth=0):
            return re.sub(r"\$\$|\$\((\w+)\)", lambda m: "$" if m.group(0) == "$$" else
                          expand(env.get(m.group(1), ""), depth + 1) if depth < 10 else "", text)
        seen, todo = set(), list(rules if targets is None else targets)
        while todo:
            t = todo.pop()
            if t not in seen and t in rules:
                seen.add(t)
                todo += rules[t][0]
                for line in rules[t][1]:
                    self.shell(expand(line), path, os.path.dirname(path))

    def link_line(self, line, where, implicit):
        words = shlex.split(line)
        if not words:
            return
        self.program(words[0], where)
        flags = tuple(w for w in words if w.startswith(("-m", "--sysroot")))  # pick the multilib
        libdirs = [w[2:] for w in words if w.startswith("-L")]
        libs = [w[2:] for w in words if w.startswith("-l")]
        if not {"-nostdlib", "-nodefaultlibs"} & set(words):
            libs += implicit.get(words[0], [])
        for lib in libs:
            names = [lib[1:]] if lib.startswith(":") else ["lib%s.so" % lib, "lib%s.a" % lib]
            names = names[-1:] if "-static" in words else names
            hits = [os.path.join(d, n) for n in names for d in libdirs] + \
                   [gcc(words[0], flags, "-print-file-name=" + n) for n in names]
            hits = [h for h in hits if os.path.isabs(h) and os.path.isfile(h)]
            if hits:
                self.add(hits[0], where)

    def ctest(self, path):
        if path in self.scanned or not os.path.isfile(path):
            return
        self.scanned.add(path)
        data = read(path)
        for inc in re.findall(r'^\s*include\("([^"]+)"\)', data, re.M):
            self.ctest(inc)
        for args in re.findall(r"^\s*add_test\((.*)\)\s*$", data, re.M):
            words = [b or q or w for _, b, q, w in
                     re.findall(r'\[(=*)\[(.*?)\]\1\]|"((?:[^"\\]|\\.)*)"|([^\s"\[]+)', args)]
            words = [w for w in words if w]
            if len(words) < 2 or words[1].endswith("_NOT_BUILT"):  # CMake's stand-in when unbuilt
                continue
            self.program(words[1], path)
            for w in words[1:]:
                if os.path.isabs(w):
                    self.script(w, path)

    def tree(self, top, skip):
        """One CMake build tree; returns how many compiler dependency files it holds."""
        for line in self.text(os.path.join(top, "CMakeCache.txt")).splitlines():
            m = re.match(r"[\w.+-]+:FILEPATH=([^/]+)$", line)  # a tool the toolchain file names
            if m and not m.group(1).endswith("NOTFOUND"):
                self.program(m.group(1), top + "/CMakeCache.txt")
        implicit = {}  # compiler -> the libraries it links without being asked
        for f in glob.glob(os.path.join(top, "CMakeFiles", "*", "CMake*Compiler.cmake")):
            data = read(f)
            cc = re.search(r'set\(CMAKE_\w+_COMPILER "([^"]*)"\)', data)
            libs = re.search(r'set\(CMAKE_\w+_IMPLICIT_LINK_LIBRARIES "([^"]*)"\)', data)
            if cc and libs:
                implicit.setdefault(cc.group(1), []).extend(filter(None, libs.group(1).split(";")))
        for cc in implicit:
            self.program(cc, top)
            for prog in DRIVER_PROGS:
                self.program(gcc(cc, (), "-print-prog-name=" + prog) or prog, cc, strict=False)
        self.text(os.path.join(top, "CMakeFiles", "Makefile.cmake"))  # what configure read
        count = 0
        for dirpath, dirs, files in os.walk(top):
            dirs[:] = [d for d in dirs if os.path.realpath(os.path.join(dirpath, d)) not in skip]
            for name in files:
                path = os.path.join(dirpath, name)
                if name.endswith(".d") or name in DEPFILE_NAMES:
                    data = re.sub(r"(?m)^#.*", "", self.text(path)).replace("\\\n", " ")
                    count += bool(re.search(r"\S:\s+/", data))
                elif name == "link.txt":
                    for line in self.text(path).splitlines():
                        self.link_line(line, path, implicit)
                elif name == "build.make":
                    self.text(path)
                    self.makefile(path, None)
                elif name == "CTestTestfile.cmake":
                    self.ctest(path)
        return count


def dpkg_owners():
    owners = {}
    for lst in glob.glob("/var/lib/dpkg/info/*.list"):
        pkg = os.path.basename(lst)[:-5].split(":")[0]
        for line in read(lst).splitlines():
            owners.setdefault(line, set()).add(pkg)
    diversions = "/var/lib/dpkg/diversions"
    div = read(diversions).splitlines() if os.path.exists(diversions) else []
    for i in range(0, len(div) - 2, 3):  # original, diverted-to, diverting package
        orig, to, by = div[i:i + 3]
        owners[to] = {p for p in owners.get(orig, ()) if p != by}
        owners[orig] = {by} - {":"}
    return owners


def dependency_closure():
    fmt = "${Package}\t${Depends}\t${Pre-Depends}\t${Provides}\t${Priority}\t${Status}\n"
    out = subprocess.run(["dpkg-query", "-W", "-f=" + fmt], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    deps, provides, required = {}, {}, set()
    names = lambda field: [[re.split(r"[\s(:]", a.strip())[0] for a in g.split("|")]
                           for g in field.split(",") if g.strip()]
    for line in out.splitlines():
        pkg, dep, pre, prov, prio, status = line.split("\t")
        if status.endswith(" installed"):
            deps.setdefault(pkg, []).extend(names(dep) + names(pre))
            for alt in names(prov):
                provides.setdefault(alt[0], set()).add(pkg)
            if prio == "required":
                required.add(pkg)

    def closure(roots):
        done, todo = set(), list(roots)
        while todo:
            p = todo.pop()
            for q in ([p] if p in deps else []) + sorted(provides.get(p, ())):
                if q not in done:
                    done.add(q)
                    todo += [a for group in deps[q] for a in group]  # any installed alternative
        return done
    return closure, required


def owners_of(path, owners):
    """Owners of each step of a symlink chain, under its /usr and merged-/usr names."""
    steps, p = [], path
    for _ in range(40):
        p = os.path.join(os.path.realpath(os.path.dirname(p)), os.path.basename(p))
        names = {p, re.sub(r"^/usr(?=/(s?bin|lib\w*)/)", "", p)}
        steps.append((p, set().union(*(owners.get(n, set()) for n in names))))
        if not os.path.islink(p):
            break
        p = os.path.join(os.path.dirname(p), os.readlink(p))
    return steps


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", required=True)
    ap.add_argument("--image", help="the image's build tree (default: BUILD/image)")
    ap.add_argument("--source", required=True)
    ap.add_argument("--deps-script", help="default: SOURCE/tools/install-deps.sh")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    image = args.image or os.path.join(args.build, "image")
    deps_script = args.deps_script or os.path.join(args.source, "tools", "install-deps.sh")
    m = re.search(r"^packages=\((.*?)\)", read(deps_script), re.S | re.M)
    if not m:
        sys.exit("dependency audit: no packages=( ... ) in " + deps_script)
    listed = re.sub(r"#.*", "", m.group(1)).split()

    audit = Audit(args.source, args.build, image)
    trees = [t for t in (args.build, image) if os.path.isfile(os.path.join(t, "CMakeCache.txt"))]
    skip = {os.path.realpath(image)}  # the image's tree is audited on its own
    empty = [t for t in trees if audit.tree(t, skip - {os.path.realpath(t)}) == 0]
    if empty or args.build not in trees:
        sys.exit("dependency audit: nothing to audit, no compiler dependency files in "
                 + ", ".join(empty or [args.build]) + " (build first)")
    for prog in ALWAYS_RUN:
        audit.program(prog, "build and tests")
    for ext in ("sh", "py"):
        for script in sorted(glob.glob(os.path.join(args.source, "tests", "**", "*." + ext),
                                       recursive=True)):
            audit.script(script, script)
    audit.makefile(os.path.join(args.source, "Makefile"), ["demo", "test", "flash"])

    owners = dpkg_owners()
    closure, required = dependency_closure()
    allowed = closure(listed) | closure(required | set(BASE_EXTRA))
    found, bad = {}, {}
    for path, where in sorted(audit.paths.items()):
        kind = 1 if os.access(path, os.X_OK) and not re.search(r"\.(so|a)(\.|$)", path) else 0
        steps = owners_of(path, owners)
        for _, who in steps:
            for pkg in who:
                found.setdefault(pkg, (set(), set()))[kind].add(path)
                if not who & allowed:
                    bad.setdefault(pkg, (path, where))
        if any(p.startswith("/usr/local/") for p, _ in steps):
            audit.problems.append(("under /usr/local, installed by hand", path, where))
        elif not any(who for _, who in steps):
            audit.problems.append(("not owned by any package", path, where))
    if args.verbose:
        for pkg, (files, progs) in sorted(found.items()):
            print("  %-36s %5d files %3d programs" % (pkg, len(files), len(progs)))
    shown = os.path.relpath(deps_script, args.source) if args.deps_script is None else deps_script
    if not bad and not audit.problems:
        files, progs = (len(set().union(*(v[k] for v in found.values()))) for k in (0, 1))
        print("dependency audit: %d files and %d programs from %d packages, all installed by %s or"
              " in the base" % (files, progs, len(found), shown))
        return 0
    for pkg, (path, where) in sorted(bad.items()):
        print("dependency audit: package %s is needed (e.g. %s, from %s) but %s does not install it"
              % (pkg, path, where, shown))
    for why, name, where in sorted(set(audit.problems)):
        print("dependency audit: %s: %s (from %s)" % (why, name, where))
    print("A new machine has only the base (%s) and what %s installs, with its Depends/Pre-Depends."
          % (BASE_RULE, shown))
    return 1


if __name__ == "__main__":
    sys.exit(main())
