"""qvdbx against the official Dropbox SDKs on one loopback server (run through bench/peers.sh).

    peers.py --qvdbx BIN --bench-bin DIR --out DIR [--rounds N]

Starts the benchmark's server (peer_server.py) with folders of 0, 5, 25 and 100 pages
and a folder of 200 files to link, then runs in interleaved rounds every contender as a
fresh process through peer_measure, which records its wall time, CPU time and peak
resident set. Every output is checked against the module's items document of the folder
(the playlists against each other), so that every contender did the same work. Writes
into DIR: runs.csv (every run), medians.csv, table.md (the report) and peers.png (the
chart, with bench/peers.gp).
"""
import argparse
import csv
import json
import os
import platform
import resource
import signal
import statistics
import subprocess
import sys
import time

from peer_server import TOKEN, PeerServer, link_folder

HERE = os.path.dirname(os.path.abspath(__file__))
FOLDER_PAGES = [5, 25, 100]
LINKS = 200
FACES = ["handler", "backend", "flat"]
SDKS = ["Python SDK", "JS SDK"]
CONTENDERS = ["qvdbx " + face for face in FACES] + SDKS
RUN_TIMEOUT_S = 900
EMPTY_ITEMS = b'{"items":[]}\n'


class Work:
    """One thing every contender does once a round: list a folder or make its playlist."""

    def __init__(self, label, command, folder, pages=0, entries=0, expected=None, module_bytes=0):
        self.label, self.command, self.folder = label, command, folder
        self.pages, self.entries = pages, entries
        self.expected = expected          # the exact output, or None: all outputs alike
        self.module_bytes = module_bytes  # what the module holds after the listing

    def same_work(self, output):
        """The output with what may differ between correct runs taken out."""
        if self.command == "playlist":
            lines = output.split(b"\n")
            return b"\n".join(lines[:1] + lines[2:])  # the links' expiry time
        return output


def contender_command(args, origin, name, work):
    """The command of one run of contender `name` doing `work`."""
    if name in SDKS:
        runner, script = {"Python SDK": ("/usr/bin/python3", "peer_python.py"),
                          "JS SDK": ("node", "peer_node.js")}[name]
        return [runner, os.path.join(HERE, script), origin, work.command, work.folder]
    verb = ["ls", "--json"] if work.command == "ls" else ["playlist"]
    return [args.qvdbx, "--live", "--origin", origin, "--face", name.split()[1]] + verb + [work.folder]


def make_folders(args):
    """The server's folders and the works that list them."""
    folders = {"/Bench/empty": [PeerServer.page_text([], False, "empty")]}
    works = [Work("empty folder", "ls", "/Bench/empty", expected=EMPTY_ITEMS)]
    first_page = None
    for pages in FOLDER_PAGES:
        folder_dir = os.path.join(args.out, "pages", str(pages))
        os.makedirs(folder_dir, exist_ok=True)
        subprocess.run([os.path.join(args.bench_bin, "qvdbx_bench"), "--dump-folder", folder_dir,
                        str(pages)], check=True)
        texts = []
        for index in range(pages):
            with open(os.path.join(folder_dir, "page-%d.json" % index), encoding="utf-8") as f:
                texts.append(f.read())
        with open(os.path.join(folder_dir, "items.json"), "rb") as f:
            expected = f.read()
        with open(os.path.join(folder_dir, "module.json")) as f:
            module = json.load(f)
        folder = "/Bench/%d pages" % pages
        folders[folder] = texts
        works.append(Work("%d pages" % pages, "ls", folder, pages, module["entries"], expected,
                          module["table_bytes"] + module["document_bytes"]))
        first_page = first_page or json.loads(texts[0])["entries"]
    linked = link_folder(first_page, LINKS)
    folders["/Bench/links"] = [PeerServer.page_text(linked, False, "links")]
    works.append(Work("%d links" % LINKS, "playlist", "/Bench/links", entries=LINKS))
    return folders, linked, works


def own_cpu_s():
    """CPU time of this process so far: while a contender runs, that of the server's
    threads (the main thread only waits)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure(args, server, command):
    """One fresh process: (wall s, user s, sys s, peak RSS KiB, exit status, requests,
    server CPU s, output)."""
    out_file = os.path.join(args.out, "run.out")
    server.reset_counts()
    server_cpu = own_cpu_s()
    launcher = subprocess.Popen([os.path.join(args.bench_bin, "peer_measure"), out_file, "--"] + command,
                                stdout=subprocess.PIPE, start_new_session=True)
    try:
        line, _ = launcher.communicate(timeout=RUN_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        os.killpg(launcher.pid, signal.SIGKILL)
        raise SystemExit("peers: gave up after %d s: %s" % (RUN_TIMEOUT_S, " ".join(command)))
    server_cpu = own_cpu_s() - server_cpu
    wall, user, system, rss, status = line.split()
    with open(out_file, "rb") as f:
        output = f.read()
    os.remove(out_file)
    return (float(wall), float(user), float(system), int(rss), int(status), server.requests(), server_cpu,
            output)


def check(work, name, status, output, reference):
    """Fails the benchmark when a contender did not do the work; returns the output to
    compare later runs of a playlist with."""
    if status != 0:
        raise SystemExit("peers: %s failed (exit %d) on %s" % (name, status, work.label))
    kept = work.same_work(output)
    if work.expected is not None and output != work.expected:
        raise SystemExit("peers: %s wrote another document than the module's for %s" % (name, work.label))
    if work.expected is None:
        if kept.count(b"#EXTINF:") != work.entries:
            raise SystemExit("peers: %s's playlist of %s has not %d files" % (name, work.label, work.entries))
        if reference is not None and kept != reference:
            raise SystemExit("peers: %s's playlist differs from the others' for %s" % (name, work.label))
    return kept


def run_rounds(args, server, works):
    rows = []
    warm_up = works[0]
    for name in CONTENDERS:  # caches and compiled code; nothing recorded
        measure(args, server, contender_command(args, server.origin, name, warm_up))
    references = {}
    for round_no in range(1, args.rounds + 1):
        for w, work in enumerate(works):
            # Each contender takes each place in the order as the rounds go on.
            shift = (round_no + w) % len(CONTENDERS)
            for name in CONTENDERS[shift:] + CONTENDERS[:shift]:
                wall, user, system, rss, status, requests, server_cpu, output = measure(
                    args, server, contender_command(args, server.origin, name, work))
                references[work.label] = check(work, name, status, output, references.get(work.label))
                rows.append({"round": round_no, "work": work.label, "contender": name,
                             "wall_s": wall, "user_s": user, "sys_s": system,
                             "peak_rss_kib": rss, "requests": requests, "server_cpu_s": server_cpu})
                print("peers: round %d %-12s %-14s %8.1f ms %8.1f MiB %5d requests"
                      % (round_no, work.label, name, wall * 1e3, rss / 1024, requests), flush=True)
    return rows


def medians(rows, works):
    """(work label, contender) -> median of each figure over the rounds."""
    out = {}
    for work in works:
        for name in CONTENDERS:
            runs = [r for r in rows if r["work"] == work.label and r["contender"] == name]
            out[work.label, name] = {
                "walls": [r["wall_s"] for r in sorted(runs, key=lambda r: r["round"])],
                "wall_ms": statistics.median(r["wall_s"] for r in runs) * 1e3,
                "cpu_ms": statistics.median(r["user_s"] + r["sys_s"] for r in runs) * 1e3,
                "rss_mib": statistics.median(r["peak_rss_kib"] for r in runs) / 1024,
                "requests": int(statistics.median(r["requests"] for r in runs)),
                "server_cpu_ms": statistics.median(r["server_cpu_s"] for r in runs) * 1e3,
            }
    return out


def ratios(figures, work, name):
    """Each SDK's wall time as a multiple of this contender's, its peak RSS as a part of the
    lighter SDK's and of what the module holds (qvdbx only). A time ratio is the median of
    the ratios within each round, so that both sides of it see the same spell of the
    shared machine."""
    mine = figures[work.label, name]
    out = {sdk: statistics.median(theirs / own for theirs, own in zip(figures[work.label, sdk]["walls"],
                                                                      mine["walls"]))
           for sdk in SDKS}
    out["rss_of_lighter_sdk"] = mine["rss_mib"] / min(figures[work.label, sdk]["rss_mib"] for sdk in SDKS)
    out["rss_of_module"] = mine["rss_mib"] * 2**20 / work.module_bytes if work.module_bytes else None
    return out


def machine():
    cpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    model = next((l.split(":", 1)[1].strip() for l in cpu.splitlines() if l.startswith("Model name")), "?")
    with open("/proc/meminfo") as f:
        ram_gib = int(f.readline().split()[1]) / 2**20
    return "%s, %d cores, %.0f GiB RAM, %s" % (model, os.cpu_count(), ram_gib, platform.platform())


def versions(args):
    def first_line(command):
        return subprocess.run(command, capture_output=True, text=True).stdout.strip().splitlines()[0]
    with open(os.path.join(HERE, "node_modules", "dropbox", "package.json")) as f:
        js_sdk = json.load(f)["version"]
    return "qvdbx %s; Python SDK %s (Python %s); JS SDK %s (Node.js %s)" % (
        first_line([args.qvdbx, "--version"]).split()[1],
        first_line(["/usr/bin/python3", "-c", "import dropbox; print(dropbox.__version__)"]),
        first_line(["/usr/bin/python3", "-c", "import platform; print(platform.python_version())"]),
        js_sdk, first_line(["node", "--version"]).lstrip("v"))


def fmt(value, pattern):
    return "-" if value is None else pattern % value


def report_table(works, figures):
    lines = ["| work | contender | wall ms | CPU ms | peak RSS MiB | requests | server CPU ms "
             "| Python SDK / this | JS SDK / this | RSS / lighter SDK | RSS / module's |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for work in works:
        for name in CONTENDERS:
            f = figures[work.label, name]
            r = ratios(figures, work, name) if name not in SDKS else {}
            lines.append("| %s | %s | %.1f | %.1f | %.1f | %d | %.1f | %s | %s | %s | %s |" % (
                work.label, name, f["wall_ms"], f["cpu_ms"], f["rss_mib"], f["requests"], f["server_cpu_ms"],
                fmt(r.get("Python SDK"), "%.1f"), fmt(r.get("JS SDK"), "%.1f"),
                fmt(r.get("rss_of_lighter_sdk"), "%.2f"), fmt(r.get("rss_of_module"), "%.2f")))
    return lines


def targets_table(works, figures):
    """The goals for qvdbx against the SDKs and the module, met or not, face by face."""
    by_label = {w.label: w for w in works}
    big, links, empty = by_label["%d pages" % FOLDER_PAGES[-1]], by_label["%d links" % LINKS], by_label["empty folder"]
    checks = [
        ("%s: Python SDK time / qvdbx (>= 25)" % big.label, big, lambda r: r["Python SDK"], 25, 1),
        ("%s: JS SDK time / qvdbx (>= 5)" % big.label, big, lambda r: r["JS SDK"], 5, 1),
        ("%s: peak RSS / lighter SDK's (<= 0.4)" % big.label, big, lambda r: r["rss_of_lighter_sdk"], 0.4, -1),
        ("%s: peak RSS / module's heap (<= 1.3)" % big.label, big, lambda r: r["rss_of_module"], 1.3, -1),
        ("%s: Python SDK time / qvdbx (>= 8)" % links.label, links, lambda r: r["Python SDK"], 8, 1),
        ("%s: JS SDK time / qvdbx (>= 8)" % links.label, links, lambda r: r["JS SDK"], 8, 1),
    ]
    lines = ["| target | " + " | ".join("qvdbx " + f for f in FACES) + " |",
             "|---|" + "---:|" * len(FACES)]
    for label, work, pick, bound, sense in checks:
        cells = []
        for face in FACES:
            value = pick(ratios(figures, work, "qvdbx " + face))
            cells.append("%.2f %s" % (value, "yes" if (value - bound) * sense >= 0 else "no"))
        lines.append("| %s | %s |" % (label, " | ".join(cells)))
    lines.append("| %s: wall ms | %s |" % (empty.label, " | ".join(
        "%.1f" % figures[empty.label, "qvdbx " + f]["wall_ms"] for f in FACES)))
    return lines


def write_csv(path, rows):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)


def median_rows(works, figures):
    rows = []
    for work in works:
        for name in CONTENDERS:
            f = figures[work.label, name]
            r = ratios(figures, work, name) if name not in SDKS else {}
            rows.append({"work": work.label, "entries": work.entries, "contender": name,
                         "wall_ms": round(f["wall_ms"], 2), "cpu_ms": round(f["cpu_ms"], 2),
                         "peak_rss_mib": round(f["rss_mib"], 2), "requests": f["requests"],
                         "server_cpu_ms": round(f["server_cpu_ms"], 2),
                         "python_sdk_over_this": round(r["Python SDK"], 3) if r else "",
                         "js_sdk_over_this": round(r["JS SDK"], 3) if r else "",
                         "rss_of_lighter_sdk": round(r["rss_of_lighter_sdk"], 3) if r else "",
                         "rss_of_module": round(r["rss_of_module"], 3) if r and r["rss_of_module"] else ""})
    return rows


def chart(args, works, figures):
    """peers.png: wall time and peak RSS against folder size, one line per contender."""
    data = os.path.join(args.out, "chart.dat")
    with open(data, "w") as f:
        titles = " ".join('"%s"' % n for n in CONTENDERS)
        f.write("pages %s %s\n" % (titles, titles))
        for work in works:
            if work.command == "ls" and work.pages:
                f.write("%d %s %s\n" % (work.pages,
                                        " ".join("%.2f" % figures[work.label, n]["wall_ms"] for n in CONTENDERS),
                                        " ".join("%.2f" % figures[work.label, n]["rss_mib"] for n in CONTENDERS)))
    subprocess.run(["gnuplot", "-e", "data='%s'; out='%s'; n=%d"
                    % (data, os.path.join(args.out, "peers.png"), len(CONTENDERS)),
                    os.path.join(HERE, "peers.gp")], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qvdbx", required=True)
    parser.add_argument("--bench-bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    folders, linked, works = make_folders(args)
    server = PeerServer(folders, linked).start()
    os.environ["DROPBOX_ACCESS_TOKEN"] = TOKEN
    for name in ("DROPBOX_REFRESH_TOKEN", "DROPBOX_APP_KEY"):
        os.environ.pop(name, None)
    load_before = os.getloadavg()
    started = time.strftime("%Y-%m-%d %H:%M %Z")
    try:
        rows = run_rounds(args, server, works)
    finally:
        server.stop()
    load_after = os.getloadavg()

    figures = medians(rows, works)
    write_csv(os.path.join(args.out, "runs.csv"), rows)
    write_csv(os.path.join(args.out, "medians.csv"), median_rows(works, figures))
    chart(args, works, figures)
    floor = subprocess.run([os.path.join(args.bench_bin, "peer_measure"), os.devnull, "--", "true"],
                           capture_output=True, text=True).stdout.split()[3]
    report = [
        "Machine: %s. %s." % (machine(), versions(args)),
        "Run: %s, %d rounds, medians; load average %.2f before, %.2f after; "
        "the launcher alone (peer_measure -- true) peaks at %.1f MiB." % (
            started, args.rounds, load_before[0], load_after[0], int(floor) / 1024),
        "",
    ] + report_table(works, figures) + [""] + targets_table(works, figures)
    text = "\n".join(report) + "\n"
    with open(os.path.join(args.out, "table.md"), "w") as f:
        f.write(text)
    sys.stdout.write("\n" + text)


if __name__ == "__main__":
    main()
