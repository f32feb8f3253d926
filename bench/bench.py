#!/usr/bin/env python3
"""The performance benchmark of setup.exe and Install.exe under Wine.

Each figure sets one of the shipped programs (A) against a minimal program of
ours that does only what the figure's task cannot do without (B): start the
same processes, or move the same bytes through the same kind of pipe. Both run
side by side in the same run, interleaved A B A B, timed from the Windows side
by benchrun.exe (bench/runner.cpp), so Wine's own start-up of the runner does
not enter the figures. A figure is the ratio of the two medians.

  1  setup start-up without an installed copy, to its exit after starting the
     bootstrap installer                                  A/B   goal <= 1.05
  2  the hand-off road: version probe and hand-off         A/B   goal <= 1.10
  2p the version probe answered by Install.exe -verctrl,
     against a program that only answers                  A/B   goal <= 1.05
  3  relay throughput, 64 MiB into Install -batch         A/B   goal >= 0.90
  4  return latency: application's end to Install's end   A     goal <  50 ms
  5  size of each shipped program, and its imports        A     goal <= 24,576 bytes

The minimal programs are built as the shipped ones are, without a C runtime
(bench/CMakeLists.txt). Beside the figures, lines without a goal of their own
that tell where a cost comes from: the minimal programs built once more with
setup's DLL imports (1c, 2c; setup against those, 1r, 2r) or with advapi32
alone (1a; 2a for the probe's answer), and, with --baseline, the setup of an
earlier commit against today's (1n; make bench takes the last one built with
the C runtime, or BENCH_BASELINE). Figure 3 also shows the stand-in reading
the file itself and a relay with 64 KiB reads, and a sweep of input sizes
gives the throughput plot.

Run it pinned to one CPU (make bench does, with taskset): the runner, the
programs and the Wine server of the benchmark's prefix then share that CPU,
and the start-up times do not fall into two clusters by the CPU each process
happened to get. The table names the CPUs it ran on.

Usage: bench.py --build build/i686 [--out build/bench-i686] [--baseline SETUP.EXE]
       [--rounds N] [--relay-rounds N] [--sweep-rounds N] [--svg FILE]
Prints the table and writes it as Markdown to <out>/results.md, with the
details beside it; exits 1 when a run went wrong (a goal that is missed is a
result, not an error). Standard library only.
"""

import argparse
import filecmp
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The stand-ins' record format is read by the end-to-end harness.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import harness  # noqa: E402

MIB = 1 << 20
SIZE_LIMIT = 24 * 1024  # with the whole-path folder rule; 22 KiB before it

# The Java runtime command Install starts for "Install -batch" (the base
# command, a blank, and Install's argument tail " -batch"); the minimal relays
# and the direct run start the same one.
JAVA_BATCH = ("JRE\\bin\\java.exe -Xmx256m -cp .;.\\java\\Install.jar;.\\java\\xerces.jar;.\\java\\ant.jar;"
              ".\\java\\Halvik_Torvanex_Install_OLH.jar;.\\java\\jh.jar;.\\data "
              "com.halvik.install.controlpanel.Install  -batch")

# Windows DLLs a shipped program may import: the system's own, without its C
# runtime (msvcrt.dll), which the programs are built without.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "shell32.dll",
               "gdi32.dll", "comctl32.dll", "shlwapi.dll", "oleaut32.dll", "version.dll", "ntdll.dll"}

DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# The program file of Wine's console host, as the runner names it.
CONSOLE_HOST = "conhost.exe"


class BenchError(Exception):
    """The benchmark itself went wrong: a run failed, or a stand-in saw the wrong thing."""


def log(text):
    print(text, flush=True)


# --- Wine ----------------------------------------------------------------------

class Wine:
    """A Wine prefix of the benchmark's own (made on first use), kept under the output folder."""

    def __init__(self, path):
        self.path = os.path.abspath(harness.prefix_path(path))

    def env(self, extra=None):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("KVI_") and not k.startswith("WINE") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update({"WINEPREFIX": self.path, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": DLL_OVERRIDES})
        harness.loader_env(env)
        env.update(extra or {})
        return env

    def drive_c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    def ensure(self):
        # A server of this prefix left from an earlier run would not share
        # the CPU this run is pinned to; the one started below inherits it.
        subprocess.run(harness.wineserver("-k"), env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        marker = os.path.join(self.path, ".kvi-bench-ready")
        if not os.path.exists(marker):
            log("bench: making the Wine prefix %s" % self.path)
            if os.path.exists(self.path):
                shutil.rmtree(self.path)
            for step in (harness.wine("wineboot", "-i"), harness.wineserver("-w")):
                self.run_quietly(step, self.env({"WINEARCH": "win64"}), 600)
            with open(marker, "w") as f:
                f.write("made by bench/bench.py\n")
        # A server that stays a minute after the last program keeps Wine's
        # desktop and services up between the runner's starts.
        subprocess.Popen(harness.wineserver("-p60"), env=self.env(), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    @staticmethod
    def run_quietly(args, env, timeout):
        # Through files, not pipes: Wine's background processes inherit them
        # and may outlive the command.
        with tempfile.TemporaryFile() as out:
            r = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                               timeout=timeout, check=False)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        if r.returncode != 0:
            raise BenchError("%s failed (%d):\n%s" % (" ".join(args), r.returncode, text[-3000:]))
        return text


def hexed(text):
    return text.encode("latin-1").hex()


class Variant:
    def __init__(self, name, command, cwd, stdin=None, prep="none", inst_path=None):
        self.name, self.command, self.cwd = name, command, cwd
        self.stdin, self.prep, self.inst_path = stdin, prep, inst_path

    def args(self):
        a = ["--variant", self.name, "--cmd-hex", hexed(self.command), "--cwd-hex", hexed(self.cwd),
             "--prep", self.prep]
        if self.stdin:
            a += ["--stdin", self.stdin]
        if self.inst_path:
            a += ["--inst-path-hex", hexed(self.inst_path)]
        return a


class Run:
    """One line of benchrun's output."""

    def __init__(self, line):
        fields = dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)
        self.variant = fields["variant"]
        self.round = int(fields["round"])
        self.error = fields.get("error")
        self.pid = int(fields.get("pid", 0))
        self.exit = fields.get("exit")
        self.elapsed_us = int(fields.get("elapsed_us", -1))
        self.end_ft = int(fields.get("end_ft", 0))
        self.timeout = fields.get("timeout") == "1"
        self.events = []  # (kind, pid, microseconds)
        self.names = {}   # pid -> program file name, from its "new" event
        for e in filter(None, fields.get("events", "").split(",")):
            kind, pid, t, *name = e.split(":")
            self.events.append((kind, int(pid), int(t)))
            if name:
                self.names[int(pid)] = name[0]
        # Wine starts a console host beside each console program that is
        # started without a window (the probe and the hand-off): a process
        # of the run, but not one the program started.
        self.hosts = {pid for pid, name in self.names.items() if name == CONSOLE_HOST}

    def child_ends(self):
        """The end times of the processes the program started, in order (console hosts apart)."""
        return [t for kind, pid, t in self.events if kind == "exit" and pid != self.pid and pid not in self.hosts]

    def child_spans(self):
        """(start, end) of each process the program started, in order of start (console hosts apart)."""
        starts, ends = {}, {}
        for kind, pid, t in self.events:
            if pid != self.pid and pid not in self.hosts:
                (starts if kind == "new" else ends).setdefault(pid, t)
        return sorted((starts[p], ends.get(p)) for p in starts)

    def return_latency_us(self):
        """From the end of the last process the program started to the program's own end."""
        ends = [t for t in self.child_ends() if t <= self.elapsed_us]
        return self.elapsed_us - max(ends) if ends else None


class Bench:
    def __init__(self, opts):
        self.opts = opts
        self.build = os.path.abspath(opts.build)
        self.out = os.path.abspath(opts.out)
        self.wine = Wine(os.path.join(self.out, "wineprefix"))
        self.root = self.wine.drive_c("bench")
        self.clock = ""

    # --- paths ---------------------------------------------------------------

    def built(self, *parts):
        path = os.path.join(self.build, *parts)
        if not os.path.isfile(path):
            raise BenchError("missing %s (build the programs, e2e_tools and bench_tools first)" % path)
        return path

    def unix(self, *parts):
        return os.path.join(self.root, *parts)

    @staticmethod
    def win(*parts):
        return "C:\\bench" + "".join("\\" + p for p in parts)

    # --- the scene -------------------------------------------------------------

    def lay_out(self):
        """The medium, an installed copy's folder and an installed kit, in the prefix's drive C."""
        if os.path.exists(self.root):
            shutil.rmtree(self.root)
        for d in ("medium", "medium-crt", "installed", os.path.join("kit", "JRE", "bin"), "records", "out"):
            os.makedirs(self.unix(d))
        copies = [
            (("setup.exe",), "medium"),
            (("bench", "bench_start.exe"), "medium"),
            (("bench", "bench_handoff.exe"), "medium"),
            (("bench", "bench_start_imports.exe"), "medium"),
            (("bench", "bench_start_registry.exe"), "medium"),
            (("bench", "bench_handoff_imports.exe"), "medium"),
            (("tests", "e2e", "bootstrap", "_instkvi.com"), "medium"),
            (("tests", "e2e", "install-standin", "Install.exe"), "installed"),
            (("Install.exe",), "kit"),
            (("bench", "bench_relay.exe"), "kit"),
            (("bench", "bench_answer.exe"), "kit"),
            (("bench", "bench_answer_registry.exe"), "kit"),
            (("tests", "e2e", "jre", "java.exe"), os.path.join("kit", "JRE", "bin")),
            (("bench", "benchrun.exe"), ""),
        ]
        for src, dst in copies:
            shutil.copy2(self.built(*src), self.unix(dst))
        if self.opts.baseline:
            # Figure 1n: the earlier setup on a medium of its own, beside its bootstrap.
            shutil.copy2(self.opts.baseline, self.unix("medium-crt", "setup.exe"))
            shutil.copy2(self.built("tests", "e2e", "bootstrap", "_instkvi.com"), self.unix("medium-crt"))
        for mib in self.sizes():
            with open(self.unix("in%d.bin" % mib), "wb") as f:
                for _ in range(mib):
                    f.write(os.urandom(MIB))

    def sizes(self):
        return sorted(set([1, 64] + self.opts.sweep))

    def clear_records(self):
        for name in os.listdir(self.unix("records")):
            os.remove(self.unix("records", name))

    def records(self, program):
        return harness.read_records(self.unix("records", program + ".rec"))

    # --- running ---------------------------------------------------------------

    def run(self, label, variants, rounds, records=True, records_all=False):
        """Runs the variants interleaved; returns {variant: [Run of rounds 1..N]} and the check round."""
        self.clear_records()
        out_name = label + ".txt"
        args = harness.wine(self.unix("benchrun.exe"), "--out", self.win("out", out_name), "--rounds", str(rounds),
                            "--console")
        if records:
            args += ["--records", self.win("records")]
        if records_all:
            args.append("--records-all")
        for v in variants:
            args += v.args()
        began = time.monotonic()
        extra = {"KVI_BOOTSTRAP_RECORD_ONLY": "1"}
        if self.opts.trace:
            extra["KVI_TRACE"] = self.opts.trace
        self.wine.run_quietly(args, self.wine.env(extra), 1800)
        with open(self.unix("out", out_name)) as f:
            lines = f.read().splitlines()
        shutil.copy2(self.unix("out", out_name), os.path.join(self.out, out_name))
        self.clock = next((l for l in lines if l.startswith("clock ")), self.clock)
        runs = [Run(l) for l in lines if l.startswith("run ")]
        bad = [r for r in runs if r.error or r.timeout]
        if bad:
            raise BenchError("%s: %d runs failed, e.g. %s=%s" % (label, len(bad), bad[0].variant,
                                                                 bad[0].error or "timeout"))
        by = {v.name: [r for r in runs if r.variant == v.name and r.round > 0] for v in variants}
        check = {v.name: [r for r in runs if r.variant == v.name and r.round == 0] for v in variants}
        log("bench: %-8s %d rounds in %.0f s" % (label, rounds, time.monotonic() - began))
        return by, check

    @staticmethod
    def expect(cond, what):
        if not cond:
            raise BenchError(what)

    def expect_exits(self, by, want):
        for name, runs in by.items():
            for r in runs:
                self.expect(r.exit == want.get(name, "0x00000000"),
                            "%s ended with %s in round %d" % (name, r.exit, r.round))

    # --- the figures -------------------------------------------------------------

    def fig_startup(self):
        medium = self.win("medium")
        variants = [
            Variant("setup", self.win("medium", "setup.exe"), medium, prep="clean"),
            Variant("minimal", self.win("medium", "bench_start.exe"), medium, prep="clean"),
            Variant("imports", self.win("medium", "bench_start_imports.exe"), medium, prep="clean"),
            Variant("registry", self.win("medium", "bench_start_registry.exe"), medium, prep="clean"),
        ]
        if self.opts.baseline:
            variants.append(Variant("runtime", self.win("medium-crt", "setup.exe"), self.win("medium-crt"),
                                    prep="clean"))
        names = [v.name for v in variants]
        by, check = self.run("startup", variants, self.opts.rounds)
        starts = self.records("_instkvi.com")
        self.expect(len(starts) == len(names), "figure 1: %d bootstrap starts in the check round, not %d" % (
            len(starts), len(names)))
        for rec, name in zip(starts, names):
            self.expect(rec["cmdline"] == "_instkvi.com -s", "figure 1: %s started %r" % (name, rec["cmdline"]))
            self.expect(int(rec["ppid"]) == check[name][0].pid, "figure 1: the bootstrap's parent is not " + name)
        for name, runs in by.items():
            for r in runs:
                self.expect(len(r.child_ends()) == 1, "figure 1: %s started %d processes" % (name, len(r.child_ends())))
        self.expect_exits(by, {})
        return by

    def fig_handoff(self):
        medium, installed = self.win("medium"), self.win("installed")
        variants = [
            Variant("setup", self.win("medium", "setup.exe"), medium, prep="current", inst_path=installed),
            Variant("minimal", self.win("medium", "bench_handoff.exe") + " " + installed, medium, prep="current",
                    inst_path=installed),
            Variant("imports", self.win("medium", "bench_handoff_imports.exe") + " " + installed, medium,
                    prep="current", inst_path=installed),
        ]
        by, check = self.run("handoff", variants, self.opts.rounds)
        starts = [r["cmdline"] for r in self.records("install.exe")]
        probe = installed + "\\Install.exe -verctrl"
        hand = installed + "\\Install.exe -silentLaunch -register"
        self.expect(starts == [probe, hand] * 3, "figure 2: the installed copy saw %r" % starts)
        self.expect(not self.records("_instkvi.com"), "figure 2: a bootstrap was started")
        for name, runs in by.items():
            for r in runs:
                self.expect(len(r.child_ends()) == 2, "figure 2: %s started %d processes" % (name, len(r.child_ends())))
                self.expect(len(r.hosts) == 2, "figure 2: %s's run had %d console hosts, not one for the probe and "
                            "one for the hand-off (both start without a window)" % (name, len(r.hosts)))
        self.expect_exits(by, {})
        return by

    def probe_answer(self):
        """Beside figure 2: the shipped Install.exe answering the probe, against a program that only answers."""
        kit = self.win("kit")
        variants = [Variant("Install", self.win("kit", "Install.exe") + " -verctrl", kit),
                    Variant("answer", self.win("kit", "bench_answer.exe") + " -verctrl", kit),
                    Variant("registry", self.win("kit", "bench_answer_registry.exe") + " -verctrl", kit)]
        by, _ = self.run("probe", variants, self.opts.rounds, records=False)
        self.expect_exits(by, {name: "0xFFFFFBAA" for name in by})
        return by

    def relay_variants(self, mib, names):
        kit, stdin = self.win("kit"), self.win("in%d.bin" % mib)
        all_ = {
            "Install": Variant("Install", self.win("kit", "Install.exe") + " -batch", kit, stdin),
            "relay4k": Variant("relay4k", self.win("kit", "bench_relay.exe") + " 4096 " + JAVA_BATCH, kit, stdin),
            "direct": Variant("direct", self.win("kit", JAVA_BATCH), kit, stdin),
            "relay64k": Variant("relay64k", self.win("kit", "bench_relay.exe") + " 65536 " + JAVA_BATCH, kit, stdin),
        }
        return [all_[n] for n in names]

    def check_relay(self, label, mib, names, check):
        recs = self.records("java.exe")
        self.expect(len(recs) == len(names), "%s: %d runtime records, not %d" % (label, len(recs), len(names)))
        by_parent = {int(r["ppid"]): r for r in recs}
        for name in names:
            run = check[name][0]
            rec = by_parent.get(run.pid) if name != "direct" else next(
                (r for r in recs if int(r["pid"]) == run.pid), None)
            self.expect(rec is not None, "%s: no runtime record for %s" % (label, name))
            self.expect(rec["cmdline"].endswith(JAVA_BATCH), "%s: %s started %r" % (label, name, rec["cmdline"]))
            self.expect(rec["stdin_type"] == ("disk" if name == "direct" else "pipe"),
                        "%s: %s gave the runtime a %s" % (label, name, rec["stdin_type"]))
            self.expect(int(rec["stdin_bytes"]) == mib * MIB,
                        "%s: %s relayed %s bytes" % (label, name, rec["stdin_bytes"]))
            copy, original = self.unix("records", rec["stdin_file"]), self.unix("in%d.bin" % mib)
            self.expect(filecmp.cmp(copy, original, shallow=False),
                        "%s: %s relayed other bytes than the file's" % (label, name))
        self.clear_records()

    def fig_relay(self):
        names = ["Install", "relay4k", "direct", "relay64k"]
        by, check = self.run("relay64", self.relay_variants(64, names), self.opts.relay_rounds)
        self.check_relay("figure 3", 64, names, check)
        self.expect_exits(by, {})
        return by

    def fig_latency(self):
        # Records in every round: the runtime stand-in notes its own end on the
        # wall clock, the runner notes Install's end on the same clock.
        names = ["Install", "relay4k"]
        by, check = self.run("latency", self.relay_variants(1, names), self.opts.rounds, records_all=True)
        recs = self.records("java.exe")
        own_clock = {n: [] for n in names}
        for name in names:
            for r in by[name] + check[name]:
                rec = next((x for x in recs if int(x["ppid"]) == r.pid), None)
                self.expect(rec is not None and int(rec["stdin_bytes"]) == MIB, "figure 4: no full record for " + name)
                if r.round > 0:
                    own_clock[name].append((r.end_ft - int(rec["time_end"])) / 10.0)
        self.clear_records()
        self.expect_exits(by, {})
        return by, own_clock

    def sweep(self):
        names = ["Install", "relay4k", "relay64k", "direct"]
        result = {}
        for mib in self.opts.sweep:
            if mib == 64:
                continue
            by, check = self.run("relay%d" % mib, self.relay_variants(mib, names), self.opts.sweep_rounds)
            self.check_relay("sweep %d MiB" % mib, mib, names, check)
            self.expect_exits(by, {})
            result[mib] = by
        return result

    def sizes_and_imports(self):
        """Figure 5, read from the shipped programs (--shipped) without running them."""
        build = self.opts.shipped or self.build
        objdump = "%s-w64-mingw32-objdump" % build_arch(build)
        rows = []
        for name in ("setup.exe", "Install.exe"):
            path = os.path.join(build, name)
            if not os.path.isfile(path):
                raise BenchError("missing %s" % path)
            text = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
            dlls = [d.lower() for d in re.findall(r"DLL Name: (\S+)", text)]
            rows.append((name, os.path.getsize(path), dlls))
        return rows


# --- statistics and the table -----------------------------------------------------

def median_us(runs, key=lambda r: r.elapsed_us):
    return statistics.median([key(r) for r in runs])


def quartiles(values):
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def ratio_interval(num, den, resamples=2000):
    """A 95 % bootstrap interval of median(num) / median(den), each side resampled on its own."""
    rng = random.Random(6)
    ratios = sorted(statistics.median(rng.choices(num, k=len(num))) /
                    statistics.median(rng.choices(den, k=len(den))) for _ in range(resamples))
    return ratios[int(resamples * 0.025)], ratios[int(resamples * 0.975) - 1]


def ms(us):
    return "%.1f ms" % (us / 1000.0)


def mibps(mib, us):
    return mib * 1e6 / us


class Row:
    """One line of the table. met is True, False, or None for a line that has no goal of its own."""

    def __init__(self, fig, what, a, b, ratio, interval, goal, met):
        self.fig, self.what, self.a, self.b = fig, what, a, b
        self.ratio, self.interval, self.goal, self.met = ratio, interval, goal, met

    def result(self, markdown=False):
        if self.met is None:
            return "(beside)"
        if self.met:
            return "met"
        return "**missed**" if markdown else "MISSED"


def time_row(fig, what, a_runs, b_runs, goal, limit, key=lambda r: r.elapsed_us):
    """A row comparing two times: ratio A / B, with its interval."""
    a, b = [key(r) for r in a_runs], [key(r) for r in b_runs]
    ratio = statistics.median(a) / statistics.median(b)
    lo, hi = ratio_interval(a, b)
    return Row(fig, what, ms(statistics.median(a)), ms(statistics.median(b)), "%.2f" % ratio,
               "%.2f – %.2f" % (lo, hi), goal, None if limit is None else ratio <= limit)


HEAD = ("figure", "what", "A median", "B median", "ratio", "95% interval", "goal", "result")


def table_text(rows):
    cells = [HEAD] + [(r.fig, r.what, r.a, r.b, r.ratio, r.interval, r.goal, r.result()) for r in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(len(HEAD))]
    lines = []
    for i, c in enumerate(cells):
        lines.append("  ".join(x.ljust(w) for x, w in zip(c, widths)).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def table_markdown(rows):
    out = ["| " + " | ".join(HEAD) + " |", "|---|---|---:|---:|---:|---|---|---|"]
    for r in rows:
        out.append("| %s |" % " | ".join((r.fig, r.what, r.a, r.b, r.ratio, r.interval, r.goal, r.result(True))))
    return "\n".join(out)


def handoff_steps(runs):
    """Medians of the hand-off road's four steps: to the probe's start, the probe's life, from its end to the
    hand-off's start, from there to the program's own end. None where a run lacks a step."""
    steps = [[], [], [], []]
    for r in runs:
        spans = r.child_spans()
        if len(spans) != 2 or spans[0][1] is None:
            return None
        (probe_new, probe_end), (hand_new, _) = spans
        for i, v in enumerate((probe_new, probe_end - probe_new, hand_new - probe_end, r.elapsed_us - hand_new)):
            steps[i].append(v)
    return [statistics.median(v) for v in steps]


def handoff_breakdown(handoff):
    """Where the hand-off road's time goes: a Markdown table, setup beside the minimal program."""
    heads = ("start-up, to the probe's start", "the probe's life (Install.exe -verctrl and its console host)",
             "from the probe's end to the hand-off's start", "from the hand-off's start to the program's end")
    cols = {n: handoff_steps(handoff[n]) for n in ("setup", "minimal")}
    if None in cols.values():
        return []
    out = ["| step | setup | minimal | setup − minimal |", "|---|---:|---:|---:|"]
    for i, head in enumerate(heads):
        a, b = cols["setup"][i], cols["minimal"][i]
        out.append("| %s | %s | %s | %s |" % (head, ms(a), ms(b), ms(a - b)))
    return out


def spread_line(name, runs, key=lambda r: r.elapsed_us):
    values = [key(r) for r in runs]
    lo, hi = quartiles(values)
    return "| %s | %d | %s | %s – %s | %s – %s |" % (
        name, len(values), ms(statistics.median(values)), ms(lo), ms(hi), ms(min(values)), ms(max(values)))


def svg_plot(points, path):
    """Throughput against input size, one line per variant; points: {variant: [(MiB, MiB/s)]}."""
    w, h, left, right, top, bottom = 640, 400, 70, 150, 30, 50
    sizes = sorted({s for pts in points.values() for s, _ in pts})
    top_value = max(v for pts in points.values() for _, v in pts) * 1.1
    lx = [math.log2(s) for s in sizes]
    x0, x1 = min(lx), max(lx)

    def px(s):
        return left + (math.log2(s) - x0) / ((x1 - x0) or 1) * (w - left - right)

    def py(v):
        return h - bottom - v / top_value * (h - top - bottom)

    colours = {"Install": "#c0392b", "relay4k": "#2471a3", "relay64k": "#27ae60", "direct": "#7f8c8d"}
    labels = {"Install": "Install -batch (4096-byte reads)", "relay4k": "minimal relay, 4096 bytes",
              "relay64k": "minimal relay, 64 KiB", "direct": "stand-in reads the file"}
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="12">' % (w + 160, h),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="18" font-size="14">Relay throughput under Wine (median, MiB/s, start to end)</text>' % left]
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, h - bottom, w - right, h - bottom))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, top, left, h - bottom))
    for s in sizes:
        out.append('<text x="%.0f" y="%d" text-anchor="middle">%d MiB</text>' % (px(s), h - bottom + 18, s))
    step = 10 ** math.floor(math.log10(top_value / 5))
    step = step * (5 if top_value / step > 25 else 2 if top_value / step > 10 else 1)
    v = 0.0
    while v <= top_value:
        out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (left, py(v), w - right, py(v)))
        out.append('<text x="%d" y="%.1f" text-anchor="end">%g</text>' % (left - 6, py(v) + 4, v))
        v += step
    out.append('<text x="%d" y="%d" text-anchor="middle">input size (log scale)</text>' % (
        (left + w - right) // 2, h - 12))
    for i, (name, pts) in enumerate(sorted(points.items(), key=lambda kv: list(colours).index(kv[0]))):
        pts = sorted(pts)
        c = colours.get(name, "black")
        out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' % (
            c, " ".join("%.1f,%.1f" % (px(s), py(v)) for s, v in pts)))
        for s, v in pts:
            out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"/>' % (px(s), py(v), c))
        out.append('<rect x="%d" y="%d" width="12" height="3" fill="%s"/>' % (w - right + 10, top + 20 + i * 20, c))
        out.append('<text x="%d" y="%d">%s</text>' % (w - right + 28, top + 25 + i * 20, labels.get(name, name)))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(harness.wine("--version"), capture_output=True, text=True).stdout.strip()
    return "%d cores (nproc), %s, %s, Linux %s" % (os.cpu_count(), model, wine, platform.release())


def build_arch(build):
    """The architecture of a build folder, as its end-to-end listing names it."""
    with open(os.path.join(build, "tests", "e2e", "programs.txt")) as f:
        for line in f:
            if line.startswith("arch="):
                return line.strip()[len("arch="):]
    raise BenchError("no arch= line in %s/tests/e2e/programs.txt" % build)


def cpus_line():
    cpus = sorted(os.sched_getaffinity(0))
    line = "CPUs the benchmark ran on: %s" % ", ".join(map(str, cpus))
    if len(cpus) > 1:
        line += " (not pinned to one: start-up times may fall into clusters; make bench pins it)"
    return line


def architecture_line(arch):
    line = "Architecture measured: %s" % arch
    if arch != "i686":
        line += " (not the shipped i686 build: %s)" % (harness.cannot_run_reason("i686") or "asked for")
    return line


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="the build folder (build/i686; build/x86_64 where the host "
                                                  "runs no 32-bit code)")
    ap.add_argument("--out", default="build/bench", help="the Wine prefix, raw outputs and results.md go here")
    ap.add_argument("--baseline", help="an earlier commit's setup.exe for figure 1n (make bench: the last one "
                                       "built with the C runtime, or BENCH_BASELINE)")
    ap.add_argument("--rounds", type=int, default=60, help="runs of each variant for figures 1, 2 and 4")
    ap.add_argument("--relay-rounds", type=int, default=15, help="runs of each variant for figure 3")
    ap.add_argument("--sweep", type=lambda s: [int(x) for x in s.split(",") if x], default=[1, 4, 16, 64],
                    help="input sizes in MiB for the throughput plot (empty: no plot)")
    ap.add_argument("--sweep-rounds", type=int, default=7, help="runs of each variant per size of the plot")
    ap.add_argument("--svg", help="where the plot goes (default <out>/relay_throughput.svg)")
    ap.add_argument("--shipped", help="the build folder whose programs figure 5 reads (build/i686, also where "
                                      "they cannot run); default: --build")
    ap.add_argument("--trace", help="a Windows path: every run with KVI_TRACE naming it (the trace on)")
    opts = ap.parse_args()
    opts.baseline_name = ""
    if opts.baseline:
        if not os.path.isfile(opts.baseline):
            ap.error("no such file: %s" % opts.baseline)
        # bench/build_baseline.sh leaves the commit's name beside the program.
        commit = os.path.join(os.path.dirname(os.path.abspath(opts.baseline)), "commit")
        opts.baseline_name = "commit " + open(commit).read().strip()[:10] if os.path.isfile(commit) else "earlier"
    arch = build_arch(opts.build)
    if min(opts.rounds, opts.relay_rounds) < 10:
        ap.error("at least 10 runs of each variant")
    os.makedirs(opts.out, exist_ok=True)

    bench = Bench(opts)
    began = time.monotonic()
    try:
        bench.wine.ensure()
        bench.lay_out()
        startup = bench.fig_startup()
        handoff = bench.fig_handoff()
        relay = bench.fig_relay()
        probe = bench.probe_answer()
        latency, own_clock = bench.fig_latency()
        sweep = bench.sweep() if opts.sweep else {}
        sizes = bench.sizes_and_imports()
    except (BenchError, subprocess.SubprocessError) as e:
        print("bench: FAILED: %s" % e, file=sys.stderr)
        return 1

    lat = lambda r: r.return_latency_us()
    rows = [
        time_row("1", "setup start-up, no installed copy (A setup, B minimal start)",
                 startup["setup"], startup["minimal"], "<= 1.05", 1.05),
        time_row("1c", "the minimal start importing user32 and advapi32 (A), against the minimal start (B)",
                 startup["imports"], startup["minimal"], "-", None),
        time_row("1r", "setup (A) against the minimal start importing user32 and advapi32 (B)",
                 startup["setup"], startup["imports"], "-", None),
        time_row("1a", "the minimal start importing advapi32 only (A), against the minimal start (B)",
                 startup["registry"], startup["minimal"], "-", None),
        time_row("2", "hand-off road: probe + hand-off (A setup, B minimal probe + hand-off)",
                 handoff["setup"], handoff["minimal"], "<= 1.10", 1.10),
        time_row("2c", "the minimal hand-off importing user32 and advapi32 (A), against the minimal hand-off (B)",
                 handoff["imports"], handoff["minimal"], "-", None),
        time_row("2r", "setup (A) against the minimal hand-off importing user32 and advapi32 (B)",
                 handoff["setup"], handoff["imports"], "-", None),
        time_row("2p", "the probe answered by Install.exe -verctrl (A), by a program that only answers (B)",
                 probe["Install"], probe["answer"], "<= 1.05", 1.05),
        time_row("2a", "the answer importing advapi32 (A), against the bare answer (B)",
                 probe["registry"], probe["answer"], "-", None),
    ]
    if "runtime" in startup:
        rows.insert(1, time_row("1n", "setup as %s built it (A), against today's setup (B)" % (
            opts.baseline_name), startup["runtime"], startup["setup"], "-", None))
    a, b = [r.elapsed_us for r in relay["Install"]], [r.elapsed_us for r in relay["relay4k"]]
    thr = statistics.median(b) / statistics.median(a)
    lo, hi = ratio_interval(b, a)
    rows.append(Row("3", "relay 64 MiB, throughput (A Install -batch, B minimal relay, 4096-byte reads)",
                    "%.1f MiB/s" % mibps(64, statistics.median(a)), "%.1f MiB/s" % mibps(64, statistics.median(b)),
                    "%.2f" % thr, "%.2f – %.2f" % (lo, hi), ">= 0.90", thr >= 0.90))
    a, b = median_us(latency["Install"], lat), median_us(latency["relay4k"], lat)
    rows.append(Row("4", "return latency in relay mode (A Install, B minimal relay)", ms(a), ms(b), "-", "-",
                    "A < 50 ms", a < 50000))
    for name, size, dlls in sizes:
        foreign = [d for d in dlls if d not in SYSTEM_DLLS]
        rows.append(Row("5", "%s %s size (B the limit); imports %s" % (
                            build_arch(opts.shipped or opts.build), name, ", ".join(dlls)), "%d B" % size,
                        "%d B" % SIZE_LIMIT, "%.2f" % (size / SIZE_LIMIT), "-",
                        "<= 1.00, system DLLs only, no C runtime", size <= SIZE_LIMIT and not foreign))

    text = table_text(rows)
    print()
    print(architecture_line(arch))
    print(cpus_line())
    print(text)

    # Details for the document: spreads, the relay's neighbours, the plot's numbers.
    md = ["Machine: " + machine(), "", architecture_line(arch), "", cpus_line(), "", "Clock: " + bench.clock, "",
          table_markdown(rows), "",
          "Spread of each variant (rounds 1..N; the check round is not counted):", "",
          "| variant | runs | median | quartiles | min – max |", "|---|---:|---:|---|---|"]
    md += [spread_line("1 " + n, startup[n]) for n in startup]
    md += [spread_line("2 " + n, handoff[n]) for n in ("setup", "minimal", "imports")]
    md += [spread_line("2p " + n, probe[n]) for n in probe]
    md += [spread_line("3 " + n, relay[n]) for n in ("Install", "relay4k", "direct", "relay64k")]
    md += [spread_line("4 latency " + n, latency[n], lat) for n in ("Install", "relay4k")]
    steps = handoff_breakdown(handoff)
    if steps:
        md += ["", "Where figure 2's time goes (medians of each step, on the runner's clock):", ""] + steps
        print()
        print("\n".join(steps))
    md += ["", "Figure 3 beside it (64 MiB, medians):", "",
           "| variant | time | throughput | against the 4096-byte minimal relay |", "|---|---:|---:|---:|"]
    b = median_us(relay["relay4k"])
    for n, label in (("Install", "Install -batch (4096-byte reads)"), ("relay4k", "minimal relay, 4096-byte reads"),
                     ("relay64k", "minimal relay, 64 KiB reads"), ("direct", "stand-in reads the file itself")):
        a = median_us(relay[n])
        md.append("| %s | %s | %.1f MiB/s | %.2f |" % (label, ms(a), mibps(64, a), b / a))
    md += ["", "Figure 4 on the stand-in's own clock (its last record before it ends, to the runner's wall clock "
           "at Install's exit message): median %s (Install), %s (minimal relay); on the runner's clock in the "
           "64 MiB runs of figure 3: %s (Install), %s (minimal relay)." % (
               ms(statistics.median(own_clock["Install"])), ms(statistics.median(own_clock["relay4k"])),
               ms(median_us(relay["Install"], lat)), ms(median_us(relay["relay4k"], lat)))]
    if sweep:
        points = {n: [] for n in ("Install", "relay4k", "relay64k", "direct")}
        md += ["", "Throughput against input size (medians, MiB/s, from start to end of the run):", "",
               "| size | Install -batch | minimal relay 4096 B | minimal relay 64 KiB | direct "
               "| Install / relay 4096 |",
               "|---:|---:|---:|---:|---:|---:|"]
        all_sizes = dict(sweep)
        all_sizes[64] = relay
        for mib in sorted(all_sizes):
            by = all_sizes[mib]
            vals = {n: mibps(mib, median_us(by[n])) for n in points}
            for n in points:
                points[n].append((mib, vals[n]))
            md.append("| %d MiB | %.1f | %.1f | %.1f | %.1f | %.2f |" % (
                mib, vals["Install"], vals["relay4k"], vals["relay64k"], vals["direct"],
                vals["Install"] / vals["relay4k"]))
        svg = opts.svg or os.path.join(opts.out, "relay_throughput.svg")
        svg_plot(points, svg)
        md += ["", "Plot: " + svg]
    md += ["", "Whole run: %.0f s." % (time.monotonic() - began)]
    results = os.path.join(opts.out, "results.md")
    with open(results, "w") as f:
        f.write("\n".join(md) + "\n")
    print()
    print("bench: %s (run took %.0f s)" % (results, time.monotonic() - began))
    return 0


if __name__ == "__main__":
    sys.exit(main())
