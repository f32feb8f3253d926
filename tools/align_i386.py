#!/usr/bin/env python3
"""Chooses package versions that let i386 packages install beside their amd64 twins.

A Multi-Arch "same" library must have one version on both architectures. When a
mirror's i386 index for one suite (say bookworm-security) fails to arrive, the i386
candidates come from the other suites and are older than the amd64 ones, so apt
cannot install wine32:i386. This picks, for every Multi-Arch "same" package in the
i386 packages' dependency closure, the i386 candidate's version for both
architectures, and moves installed packages that pin such a package exactly to the
version that matches. It never removes a package and never downgrades one that was
installed before it ran: when that is the only way, it says why and gives up.

    align_i386.py PACKAGE... prints the pins (one "name:arch=version" a line) that
    make `apt-get install --no-remove PACKAGE... PINS...` possible, or exits 1 with
    the reason on standard error.

The choice itself (choose_pins, exact_pins) works on apt's printed answers, so that
tests can feed it recorded ones.
"""
import re
import subprocess
import sys

NO_OPTIONAL = ["--no-recommends", "--no-suggests", "--no-conflicts", "--no-breaks",
               "--no-replaces", "--no-enhances"]


def run(*args):
    """A command's standard output, whatever its exit status (apt says what it can)."""
    return subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout


def newer(a, b):
    """True when version a is newer than version b, as dpkg orders them."""
    return subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0


def parse_depends(text):
    """apt-cache depends output -> {package: [chosen dependency, ...]}.

    Of a group of alternatives (lines marked "|" and the line after them) the first
    is taken; of a virtual package (in <>) its first provider."""
    deps, current, in_group = {}, None, False
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line and not line[0].isspace():
            current, in_group = line.strip(), False
            deps.setdefault(current, [])
            continue
        m = re.match(r"^ ([ |])(Pre)?Depends: (.*)$", line)
        if not m or current is None:
            continue
        alternative, name = m.group(1) == "|", m.group(3).strip()
        if name.startswith("<"):
            providers = []
            while i < len(lines) and lines[i].startswith("    "):
                providers.append(lines[i].strip())
                i += 1
            name = providers[0] if providers else None
        if name and not in_group:
            deps[current].append(name)
        in_group = alternative
    return deps


def closure(roots):
    """The i386 packages that roots need, through apt-cache depends."""
    seen, todo = set(), [r for r in roots if r.endswith(":i386")]
    while todo:
        batch = [p for p in dict.fromkeys(todo) if p not in seen]
        todo = []
        if not batch:
            break
        seen.update(batch)
        for deps in parse_depends(run("apt-cache", "depends", *NO_OPTIONAL, *batch)).values():
            todo += [d for d in deps if d.endswith(":i386") and d not in seen]
    return seen


def parse_fields(text, *fields):
    """apt-cache show output -> {package:arch: {field: value}} of each package's first record."""
    out = {}
    for record in split_records(text):
        if "Package" in record and "Architecture" in record:
            out.setdefault(f"{record['Package']}:{record['Architecture']}",
                           {k: v for k, v in record.items() if k in fields})
    return out


def split_records(text):
    """apt-cache show output -> its records, each {field: value} (continuation lines left out)."""
    records, record = [], {}
    for line in text.splitlines() + [""]:
        if not line.strip():
            if record:
                records.append(record)
            record = {}
        elif not line[0].isspace():
            key, _, value = line.partition(":")
            record[key] = value.strip()
    return records


def choose_pins(i386_same, installed, to_install):
    """The pins for both architectures, or (None, reason).

    i386_same: {name: i386 candidate} of the Multi-Arch "same" packages to align;
    installed: {name:arch: version} on the machine before this step;
    to_install: {name:arch: version} that the step's other packages would install."""
    pins = {}
    for name, version in sorted(i386_same.items()):
        ours = installed.get(f"{name}:amd64")
        if ours is not None and newer(ours, version):
            return None, f"{name}:amd64 {ours} is newer than the i386 lists' {version}"
        pins[f"{name}:i386"] = version
        if (ours is not None and ours != version) or (
                ours is None and to_install.get(f"{name}:amd64", version) != version):
            pins[f"{name}:amd64"] = version
    return pins, None


def exact_pins(removed, installed, candidates, pins):
    """Moves packages apt would remove to a version whose exact dependencies match.

    removed: names (name:arch) a simulation would remove; candidates: {name:arch:
    [(version, Depends text), ...]}. Returns ({name:arch: version}, None) or
    (None, reason). A version older than the installed one is never chosen."""
    moved = {}
    for package in removed:
        before = installed.get(package)
        for version, depends in candidates.get(package, []):
            if before is not None and newer(before, version):
                continue
            exact = re.findall(r"([a-z0-9][a-z0-9+.-]*)(?::\w+)? \(= ([^)]+)\)", depends)
            arch = package.rpartition(":")[2]
            if all(pins.get(f"{n}:{arch}", pins.get(f"{n}:i386", v)) == v for n, v in exact):
                moved[package] = version
                break
        else:
            return None, f"{package} pins a version the i386 lists do not have"
    return moved, None


def parse_simulation(text):
    """apt-get -s output -> (name:arch it would remove, names it would downgrade)."""
    removed = [f"{n}:{a or 'amd64'}" for n, a in re.findall(r"^Remv (\S+?)(?::(\w+))? ", text, re.M)]
    downgraded = [n for n, old, new in re.findall(r"^Inst (\S+) \[(\S+)\] \((\S+) ", text, re.M) if newer(old, new)]
    return removed, downgraded


def simulate(packages, pins):
    """apt-get's simulation: (names it removes, names it downgrades, succeeded)."""
    args = ["apt-get", "install", "-s", "--no-install-recommends", *packages,
            *(f"{p}={v}" for p, v in pins.items())]
    done = subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return (*parse_simulation(done.stdout), done.returncode == 0)


def main(packages):
    i386 = [p for p in packages if p.endswith(":i386")]
    others = [p for p in packages if not p.endswith(":i386")]
    names = sorted(closure(i386))
    shown = parse_fields(run("apt-cache", "show", "--no-all-versions", *names), "Version", "Multi-Arch")
    same = {k[:-5]: r["Version"] for k, r in shown.items() if k.endswith(":i386") and r.get("Multi-Arch") == "same"}
    installed = {}
    for line in run("dpkg-query", "-W", "-f", "${Package}:${Architecture} ${Version} ${db:Status-Abbrev}\n").splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[2].startswith("ii"):
            installed[parts[0]] = parts[1]
    to_install = {}
    if others:
        sim = run("apt-get", "install", "-s", "--no-install-recommends", *others)
        for name, version, arch in re.findall(r"^Inst (\S+?)(?::\w+)? (?:\[\S+\] )?\((\S+) .*\[(\w+)\]\)", sim, re.M):
            to_install[f"{name}:{arch}"] = version
    pins, why = choose_pins(same, installed, to_install)
    if pins is None:
        return why
    for _ in range(8):
        removed, downgraded, ok = simulate(packages, pins)
        if downgraded:
            return "apt would downgrade " + " ".join(sorted(downgraded))
        if not removed:
            if not ok:
                return "apt finds no way to install them even with the versions aligned"
            print("\n".join(f"{p}={v}" for p, v in sorted(pins.items())))
            return None
        candidates = {}
        for package in removed:
            shown = run("apt-cache", "show", package)
            candidates[package] = [(r.get("Version", ""), r.get("Depends", "") + ", " + r.get("Pre-Depends", ""))
                                   for r in split_records(shown)]
        moved, why = exact_pins(removed, installed, candidates, pins)
        if moved is None:
            return why
        pins.update(moved)
    return "the exact dependencies did not settle"


if __name__ == "__main__":
    reason = main(sys.argv[1:])
    if reason:
        print(f"align_i386: {reason}", file=sys.stderr)
        sys.exit(1)
