#!/usr/bin/env python3
"""Turns the JSON output of the benchmark programs into the report BENCHMARKS.md.

Every figure is a median over the repetitions of one run, shown beside the baseline that the
same program measured in the same run, with the ratio of the two and the spread (coefficient
of variation) of each, so that a reader can tell a difference from the machine's noise.
"""
import argparse
import json
import pathlib
import platform
import subprocess
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


class Results:
    """The aggregates of one benchmark program, by run name and aggregate."""

    def __init__(self, path):
        data = json.loads(path.read_text())
        self.context = data["context"]
        self.rows = {}
        for row in data["benchmarks"]:
            if row.get("run_type") == "aggregate":
                self.rows[(row["run_name"], row["aggregate_name"])] = row

    def find(self, run_name, aggregate="median"):
        for (name, kind), row in self.rows.items():
            if kind == aggregate and (name == run_name or name.startswith(run_name + "/")):
                return row
        raise KeyError(f"{run_name} ({aggregate}) is missing from the results")

    def ns(self, run_name):
        row = self.find(run_name)
        return row["real_time"] * TO_NS[row["time_unit"]]

    def cv(self, run_name):
        return 100.0 * self.find(run_name, "cv")["real_time"]

    def counter(self, run_name, counter):
        return self.find(run_name)[counter]


def load(results_dir, program):
    path = results_dir / f"{program}.json"
    if not path.exists():
        sys.exit(f"bench_report: {path} is missing; run scripts/bench-report.sh")
    return Results(path)


def fmt_ns(value):
    if value >= 1e6:
        return f"{value / 1e6:,.2f} ms"
    if value >= 1e3:
        return f"{value / 1e3:,.2f} µs"
    return f"{value:,.1f} ns"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def pair_rows(results, pairs):
    """Rows of (what, baseline, median, cv, baseline median, cv, ratio)."""
    rows = []
    for label, run, baseline_label, baseline in pairs:
        own, base = results.ns(run), results.ns(baseline)
        rows.append([label, fmt_ns(own), f"{results.cv(run):.1f} %", baseline_label,
                     fmt_ns(base), f"{results.cv(baseline):.1f} %", f"{own / base:.3f}"])
    return rows


PAIR_HEADER = ["measured", "median", "cv", "baseline", "median", "cv", "ratio"]


def machine_section(args, context):
    cpu = "unknown processor"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True,
                                  check=False).stdout.splitlines()[0]
    except (OSError, IndexError):
        compiler = "unknown compiler"
    return "\n".join([
        "## Machine",
        "",
        f"- Machine kind: {args.kind}",
        f"- Processor: {cpu}, {context['num_cpus']} logical cores at {context['mhz_per_cpu']} MHz",
        f"- System: {platform.system()} {platform.release()} ({platform.machine()})",
        f"- Compiler: {compiler}; release build (-O3)",
        f"- Run: {context['date']}; load average before {args.load_before}, "
        f"after {args.load_after}",
    ])


def log_section(results):
    rows = pair_rows(results, [
        ("`kestal_log`, template `%msg%`", "BM_KestalLogDefaultTemplate",
         "direct `syslog`", "BM_DirectSyslog"),
        ("`kestal_log`, all eleven keys", "BM_KestalLogAllKeys",
         "direct `syslog`", "BM_DirectSyslog"),
    ])
    return "\n".join([
        "## Logging: `kestal_log` against a direct `syslog`",
        "",
        "One call with a formatted message, sent to a private `/dev/log` socket that a thread",
        "drains; 15 repetitions in random order.",
        "",
        table(PAIR_HEADER, rows),
    ])


def operation_section(results):
    rows = pair_rows(results, [
        ("`zor_sys_start`", "BM_ZorSysStart", "`system` on the same command", "BM_SystemDirect"),
    ])
    frame = results.ns("BM_FrameWithoutCommand")
    share = 100.0 * frame / results.ns("BM_SystemDirect")
    return "\n".join([
        "## An operation against `system` on the same command line",
        "",
        "`zor_sys_start` through the shell, the stand-in `sudo` and `zor-sys`, beside `system`",
        "running the very command line it composes; 5 repetitions.",
        "",
        table(PAIR_HEADER, rows),
        "",
        f"The library's own work without the command (compose, escape, outcome line) is "
        f"{fmt_ns(frame)}, {share:.3f} % of the command.",
    ])


def relay_section(results, run_note=None):
    run = "BM_FacilityBesideBareRelay"
    get = lambda counter: results.counter(run, counter)
    cv = lambda counter: 100.0 * results.find(run, "cv")[counter]
    rounds = f"{get('rounds'):.0f}"
    repetitions = int(results.find(run, "cv")["repetitions"])
    rows = [
        ["median", fmt_ns(get("facility_median_ns")), fmt_ns(get("bare_median_ns")),
         f"{get('paired_ratio_median'):.3f} (p10 {get('paired_ratio_p10'):.3f}, "
         f"p90 {get('paired_ratio_p90'):.3f})", f"{cv('paired_ratio_median'):.2f} %"],
        ["99th percentile", fmt_ns(get("facility_p99_ns")), fmt_ns(get("bare_p99_ns")),
         f"{get('p99_ratio'):.3f}", f"{cv('p99_ratio'):.1f} %"],
    ]
    lines = ["## Signal to callback against a bare semaphore relay", ""]
    if run_note:
        lines += [run_note, ""]
    block = f"{get('round_trips_per_block'):.0f}"
    lines += [
        "Time from the signal handler to the start of the callback on the relay thread,",
        "monotonic clock. The program and both relay threads are pinned to one CPU "
        f"(CPU {results.context.get('relay_cpu', '?')}):",
        "unpinned, a relay woken on the other, idle CPU waits for that CPU to leave idle, 4 to",
        "24 µs from one repetition to the next, which is the machine's figure and not the relay's.",
        f"A repetition is {rounds} rounds, each a block of {block} round trips with the facility "
        f"and one of {block}",
        "with a bare relay (handler posts a semaphore, a thread waits on it), in alternating",
        "order; the two block medians of a round give one paired ratio. Shown: the median paired",
        "ratio with its 10th and 90th percentiles, the median and 99th percentile of all round",
        f"trips, each the median of {repetitions} repetitions, and the ratio's cv across them.",
        "",
        table(["latency", "facility", "bare relay", "ratio", "cv of the ratio"], rows),
    ]
    return "\n".join(lines)


def listing_section(results):
    rows = []
    sizes = (1000, 10000, 100000)
    for size in sizes:
        own = results.ns(f"BM_ContainerList/{size}") / size
        base = results.ns(f"BM_PlainPipeRead/{size}") / size
        rows.append([f"{size:,}", f"{own:,.0f} ns", f"{base:,.0f} ns", f"{own / base:.2f}",
                     f"{own - base:,.0f} ns"])
    marginal = []
    costs = []
    for low, high in ((sizes[0], sizes[1]), (sizes[1], sizes[2])):
        own = (results.ns(f"BM_ContainerList/{high}") -
               results.ns(f"BM_ContainerList/{low}")) / (high - low)
        costs.append(own)
        marginal.append(f"{own:,.0f} ns from {low:,} to {high:,} lines")
    # A quarter more is within what the machine's noise moves these figures.
    growth = ("the cost per line does not grow with the list" if costs[1] <= 1.25 * costs[0]
              else f"the cost per line grows {costs[1] / costs[0]:.2f} times with the list")
    return "\n".join([
        "## Listings per line against a bare pipe read",
        "",
        "`zor_sys_get_container_list` and its release on tool outputs of 1,000 to 100,000",
        "lines, beside a loop that only reads the same command's pipe with `fgets`; both pay",
        "for the same shell and tools. Medians of 5 repetitions, divided by the line count.",
        "",
        table(["lines", "listing per line", "pipe read per line", "ratio",
               "difference per line"], rows),
        "",
        "One more line of the listing costs " + "; ".join(marginal) + ": " + growth + ".",
    ])


def pid_list_section(results):
    rows = pair_rows(results, [
        ("`zor_app_get_registered_pid_list`, through the tools", "BM_ZorAppThroughTools",
         "bare popen/fgets/sscanf loop", "BM_BareThroughTools"),
        ("`zor_app_get_registered_pid_list`, output served in process", "BM_ZorAppInProcess",
         "bare loop, in process", "BM_BareInProcess"),
    ])
    return "\n".join([
        "## Registered-pid list against a bare parsing loop",
        "",
        "500 pid lines; 5 repetitions.",
        "",
        table(PAIR_HEADER, rows),
    ])


def escape_section(results):
    rows = pair_rows(results, [
        ("escaping 1,023 characters, no metacharacter", "BM_EscapeCommand/plain_1023",
         "copying them", "BM_CopyCommand/plain_1023"),
        ("escaping 767 characters to 1,023, a third escaped", "BM_EscapeCommand/meta_767",
         "copying them", "BM_CopyCommand/meta_767"),
    ])
    per_char = results.ns("BM_EscapeCommand/plain_1023") / 1023
    return "\n".join([
        "## Escaping a command of 1,023 characters",
        "",
        "The escaping of the longest command the length rule lets run, beside a plain copy",
        "(`strlen` and `memcpy`) of the same bytes into a buffer of the same size; 9",
        "repetitions.",
        "",
        table(PAIR_HEADER, rows),
        "",
        f"That is {per_char:.2f} ns per character, against milliseconds for starting the tool.",
    ])


def runtime_section(results):
    rows = pair_rows(results, [
        ("`zor_sys_start` + `zor_sys_stop`", "BM_ZorSysStartStop",
         "`runc run -d` + `kill` + `delete`", "BM_RuncRunKillDelete"),
    ])
    return "\n".join([
        "## The runtime's start and stop against runc on the same bundle",
        "",
        "`zor_sys_start` and `zor_sys_stop` of a system container with the default main process,",
        "through the library, the shell, `sudo` and the runtime's `zor-sys`, beside `runc run -d`,",
        "`runc kill` (SIGTERM), `runc state` until the main process has stopped (SIGKILL after",
        "200 ms) and `runc delete`, run directly on a bundle with the same `config.json` and root",
        "filesystem; 15 repetitions in random order, real containers (root).",
        "",
        table(PAIR_HEADER, rows),
    ])


def checkpoint_section(results, run_note=None):
    rows = pair_rows(results, [
        ("`zor_sys_checkpoint`", "BM_LibraryCheckpoint",
         "`runc pause` + `checkpoint` + `resume`", "BM_RuncPauseCheckpointResume"),
        ("`zor-sys checkpoint`", "BM_ToolCheckpoint",
         "`runc pause` + `checkpoint` + `resume`", "BM_RuncPauseCheckpointResume"),
        ("`zor-sys checkpoint`", "BM_ToolCheckpoint",
         "`runc checkpoint` alone", "BM_RuncCheckpoint"),
        ("`zor_sys_restart`", "BM_LibraryRestart",
         "`runc kill` + `delete` + `restore`", "BM_RuncRestore"),
        ("`zor-sys restart`", "BM_ToolRestart",
         "`runc kill` + `delete` + `restore`", "BM_RuncRestore"),
    ])
    moves = []
    for size in ("10", "100"):
        down = results.ns(f"BM_MigrationDowntime/{size}")
        copy = results.ns(f"BM_LoopbackCopy/{size}")
        image = results.counter(f"BM_MigrationDowntime/{size}", "image_bytes")
        command = results.counter(f"BM_MigrationDowntime/{size}", "migrate_command_ms")
        moves.append([f"{size} MiB", f"{image / 1e6:,.1f} MB", fmt_ns(down),
                      f"{results.cv(f'BM_MigrationDowntime/{size}'):.1f} %",
                      f"{command:,.0f} ms", fmt_ns(copy),
                      f"{results.cv(f'BM_LoopbackCopy/{size}'):.1f} %", f"{down / copy:.2f}"])
    context = results.context
    lines = [
        "## Checkpoint, restart and migration against runc and a loopback copy",
        "",
    ]
    if run_note:
        lines += [run_note, ""]
    lines += [
        f"CRIU {context.get('criu', 'unknown')}; {context.get('runc', 'runc')}.",
        "",
        "One running container (a shell that counts five times a second) on the runtime's own",
        "runc root, bundle and instance: `zor_sys_checkpoint` / `zor_sys_restart` through the",
        "library, the shell, `sudo` and `zor-sys`, and `zor-sys` alone, beside runc with the same",
        "CRIU and the options the runtime passes (`--leave-running --tcp-established",
        "--file-locks`, image and work paths). The runtime's checkpoint pauses the container,",
        "dumps it, copies the root filesystem's changes while it is frozen and resumes it; its",
        "restart kills what runs, puts the changes back and restores. The runc baselines are the",
        "same steps with runc alone (the restore after `runc kill KILL` and `runc state` until",
        "stopped, as `runc delete --force` waits in 100 ms steps); `runc checkpoint` alone lets",
        "CRIU freeze the programs itself, which on the cgroup v1 freezer polls in 100 ms steps.",
        "Each iteration timed on its own; 3 iterations in each of 9 repetitions, in random order.",
        "",
        table(PAIR_HEADER, rows),
        "",
        "Migration downtime: a static program that holds 10 or 100 MiB of written memory, wakes",
        "every millisecond and notes any pause longer than 20 ms, runs in a container of the",
        "busybox base image; `zor-sys migrate` moves it to `zor-target` of a second state",
        "directory over 127.0.0.1 (and back, by turns). The downtime is the pause the program",
        "noted: from the sender's pause to running on the receiver. Beside it, the time to send",
        "as many bytes as a checkpoint of it holds (CRIU's images and the root filesystem's",
        "changes) over a fresh loopback TCP connection to a reader that answers when it has them",
        "all. 7 repetitions; the migrate command's whole time (also the sender's clean-up after",
        "the receiver said it runs) is shown for comparison.",
        "",
        table(["resident memory", "checkpoint size", "downtime", "cv", "migrate command",
               "loopback copy", "cv", "ratio"], moves),
    ]
    return "\n".join(lines)


def network_migration_section(results, run_note=None):
    rows = []
    for size in ("10", "100"):
        run = f"BM_ConnectionPauseAcrossMigration/{size}"
        get = lambda counter: results.counter(run, counter)
        cv = lambda counter: f"{100.0 * results.find(run, 'cv')[counter]:.1f} %"
        rows.append([f"{size} MiB", fmt_ns(results.ns(run)), f"{results.cv(run):.1f} %",
                     f"{get('downtime_ms'):,.0f} ms", cv("downtime_ms"),
                     f"{get('migrate_command_ms'):,.0f} ms", cv("migrate_command_ms"),
                     f"{get('wait_per_downtime'):.2f}", cv("wait_per_downtime"),
                     f"{get('wait_per_command'):.2f}", cv("wait_per_command")])
    lines = ["## A connection's longest wait across a migration", ""]
    if run_note:
        lines += [run_note, ""]
    lines += [
        "Two hosts and a client on one segment of network namespaces (a switch namespace with a",
        "bridge; no NAT, nothing leaves them), each host's runtime with a state directory of its",
        "own. A container on the network runs the static program that holds 10 or 100 MiB of",
        "written memory and notes its pauses, and an echo server; a client keeps one TCP",
        "connection to it, sending a line and waiting for its echo over and over. `zor-sys",
        "migrate` moves the container to `zor-target` on the other host (and back, by turns);",
        "the figure is the client's longest wait for an echo across the move. Beside it, in the",
        "same migration: the downtime the moved program noted (from the sender's pause to",
        "running on the receiver) and the migrate command's whole time, with the wait's ratio",
        "to each (medians and cv of the per-migration ratios). 7 repetitions of one migration.",
        "",
        table(["resident memory", "longest wait", "cv", "downtime", "cv", "migrate command", "cv",
               "wait / downtime", "cv", "wait / command", "cv"], rows),
        "",
        "The wait is about the migrate command's whole time: the container goes off the segment",
        "before its dump and comes back only once it runs on the other host, and the client's",
        "unanswered line is retransmitted with TCP's doubling back-off, so the connection goes on",
        "at the first retransmission after the container is back. Before the restored container",
        "asked at once for the neighbours it was still resolving, the kernel asked again only a",
        "second later, and the wait was 1,597 ms (10 MiB) and 2,657 ms (100 MiB): 1.85 and 1.36",
        "times the command (same benchmark, 10:21 UTC, load 2.8).",
    ]
    return "\n".join(lines)


SECTIONS = {"runtime_checkpoint_bench": checkpoint_section,
            "runtime_network_migration_bench": network_migration_section,
            "termination_relay_bench": relay_section}


def update_section(report, text):
    """Puts text in place of the report's section with the same heading, or at its end."""
    heading = text.splitlines()[0]
    old = report.read_text() if report.exists() else ""
    parts = old.split("\n\n## ")
    for index, part in enumerate(parts):
        if index > 0 and ("## " + part).splitlines()[0] == heading:
            parts[index] = text[3:]
            return "\n\n## ".join(parts).rstrip("\n") + "\n"
    return old.rstrip("\n") + "\n\n" + text + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--results", type=pathlib.Path, required=True)
    parser.add_argument("--kind", default="unnamed")
    parser.add_argument("--load-before", default="unknown")
    parser.add_argument("--load-after", default="unknown")
    parser.add_argument("--only", choices=sorted(SECTIONS),
                        help="write only this program's section into --update")
    parser.add_argument("--update", type=pathlib.Path,
                        help="the report whose section --only replaces")
    args = parser.parse_args()

    if args.only:
        results = load(args.results, args.only)
        note = (f"Run on its own: {results.context['date']}, {args.kind} machine, load average "
                f"before {args.load_before}, after {args.load_after}.")
        print(update_section(args.update, SECTIONS[args.only](results, note)), end="")
        return

    log = load(args.results, "kestal_log_bench")
    sections = [
        "\n".join([
            "# Benchmarks",
            "",
            "Written by `scripts/bench-report.sh` from the Google Benchmark programs under",
            "`bench/`. Each figure is a median, beside the baseline measured in the same run,",
            "with the ratio of the two (below 1: faster than the baseline) and the coefficient",
            "of variation (cv) of the repetitions. The machines are shared and noisy:",
            "differences within a few cv are noise.",
        ]),
        machine_section(args, log.context),
        log_section(log),
        operation_section(load(args.results, "zorsys_bench")),
        relay_section(load(args.results, "termination_relay_bench")),
        listing_section(load(args.results, "zorsys_listing_bench")),
        pid_list_section(load(args.results, "zorapp_bench")),
        escape_section(load(args.results, "zorsys_escape_bench")),
    ]
    # Real containers need root; without it the program is not run and its section is left out.
    if (args.results / "runtime_start_stop_bench.json").exists():
        sections.append(runtime_section(load(args.results, "runtime_start_stop_bench")))
    # Checkpoints also need a working CRIU; without one the program measures nothing.
    if (args.results / "runtime_checkpoint_bench.json").exists():
        sections.append(checkpoint_section(load(args.results, "runtime_checkpoint_bench")))
    if (args.results / "runtime_network_migration_bench.json").exists():
        sections.append(network_migration_section(
            load(args.results, "runtime_network_migration_bench")))
    print("\n\n".join(sections))


if __name__ == "__main__":
    main()
