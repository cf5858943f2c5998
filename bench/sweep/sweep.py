"""The sweep: blocks recovered by kelvarin and by kvrtool convert against the level of each
damage, next to what a detector of the whole half-period and one of the whole bit could
recover (limits.py). See README.md."""

import argparse
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import damage as d  # noqa: E402
import plan  # noqa: E402
import tapes  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
NOISE_FAMILIES = {"noise", "dropout", "lowpass", "lowpass-steep", "treble", "8bit", "wow"}
CLEAN_FAMILIES = NOISE_FAMILIES | {"resample"}


def sha1_file(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def version(bin_dir, cache_root):
    """A fingerprint of everything a recording is made from: this folder's scripts, sox, and
    what kvrtool play makes of a small image with every damage option the sweep uses. A
    change to any of them makes every recording anew."""
    h = hashlib.sha1()
    for name in sorted(os.listdir(HERE)):
        if name.endswith(".py") and not name.startswith("test_"):
            with open(os.path.join(HERE, name), "rb") as f:
                h.update(f.read())
    h.update(d.run(["sox", "--version"]).encode())
    probe = os.path.join(cache_root, "probe")
    os.makedirs(probe, exist_ok=True)
    small = tapes.make_tape("probe", 1, [8], speed=0.5)
    small.blocks = small.blocks[1:]
    small.blocks[0].pilots = 200
    kvr = os.path.join(probe, "probe.kvr")
    with open(kvr, "wb") as f:
        f.write(small.kvr())
    for opts in (["--format", "wavf32", "--amplitude", "0.7"],
                 ["--noise", "0.5", "--lowpass", "1500", "--wow", "2", "--flutter", "1", "--dropouts", "600",
                  "--dropout-ms", "5", "--dropout-depth", "0.1", "--seed", "3", "--rate", "11025"],
                 ["--format", "wav8", "--amplitude", "0.01", "--noise", "0.01"]):
        out = os.path.join(probe, "probe.wav")
        d.run([os.path.join(bin_dir, "kvrtool"), "play", kvr, "-o", out, *opts])
        h.update(sha1_file(out).encode())
    shutil.rmtree(probe)
    return h.hexdigest()[:10]


def safe(key):
    return re.sub(r"[^A-Za-z0-9.%-]+", "_", key)


def needs(r):
    out = []
    if r["family"] in CLEAN_FAMILIES:
        out.append(("clean", r["renderer"], r["tape"]))
    if r["family"] in NOISE_FAMILIES:
        out.append(("noise", r["seed"], d.base_rate(r["renderer"])))
    return out


def make_base(ctx, need):
    cache = d.Cache(*ctx)
    if need[0] == "clean":
        d.clean(cache, need[1], need[2])
    else:
        d.noise(cache, need[1], need[2])


def recording(cache, r):
    if r["family"] == "shared":
        return r["file"]
    folder = cache.path("rec", r["family"])
    os.makedirs(folder, exist_ok=True)
    p = os.path.join(folder, f"{safe(r['key'])}-{cache.version}.wav")
    if not os.path.exists(p):
        tmp = d.part(p)
        try:
            plan.BY_NAME[r["family"]].make(cache, r, tmp)
            os.replace(tmp, p)
        finally:
            if os.path.exists(tmp):
                os.remove(tmp)
    return p


def convert(cmd, out, log, timeout):
    """Runs one converter; (records of its TAP output, seconds, exit status). A converter that
    did not end in time has status 'timeout', one killed by a signal a negative status."""
    if os.path.exists(out):
        os.remove(out)
    t = time.perf_counter()
    try:
        with open(log, "w") as f:
            rc = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        rc = "timeout"
    seconds = time.perf_counter() - t
    recs = []
    if os.path.exists(out):
        with open(out, "rb") as f:
            recs = tapes.tap_records(f.read())
    return recs, seconds, rc


def run_row(ctx, r, timeout):
    cache = d.Cache(*ctx)
    made = time.perf_counter()
    rec = recording(cache, r)
    made = time.perf_counter() - made
    if r["family"] == "shared":
        blocks = [bytes.fromhex(h) for h in r["blocks_hex"]]
    else:
        blocks = [b.data for b in tapes.TAPES[r["tape"]]().blocks]
    base = cache.path("out", safe(r["key"]))
    k_recs, k_t, k_rc = convert([os.path.join(cache.bin_dir, "kelvarin"), "/tap", rec, base + ".k.tap"],
                                base + ".k.tap", base + ".k.txt", timeout)
    c_recs, c_t, c_rc = convert([os.path.join(cache.bin_dir, "kvrtool"), "convert", rec, "-o", base + ".c.tap"],
                                base + ".c.tap", base + ".c.txt", timeout)
    ks, cs, known = set(k_recs), set(c_recs), set(blocks)
    res = {k: v for k, v in r.items() if k not in ("blocks_hex", "file")}
    res.update(blocks=len(blocks), kelvarin=sum(b in ks for b in blocks), convert=sum(b in cs for b in blocks),
               lost=sum(b in ks and b not in cs for b in blocks),
               convert_extra=sum(1 for x in c_recs if x not in known),
               t_kelvarin=round(k_t, 3), t_convert=round(c_t, 3), t_make=round(made, 3),
               rc_kelvarin=k_rc, rc_convert=c_rc, rec_seconds=round(d.frames(rec) / rate_of(rec), 2),
               rec_sha1=sha1_file(rec))
    fam = plan.BY_NAME.get(r["family"])
    res["est1"] = res["est2"] = None
    if fam and fam.estimate:
        res["est1"], res["est2"] = (round(x, 2) for x in fam.estimate(r, tapes.TAPES[r["tape"]]()))
    return res


def rate_of(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    at = head.find(b"fmt ")
    return int.from_bytes(head[at + 12:at + 16], "little")


def failed(rc):
    return rc == "timeout" or (isinstance(rc, int) and rc < 0)


# Printing.

def fmt_est(x):
    return "-" if x is None else f"{x:.1f}"


HEAD = (f"{'damage':<13} {'level':<10} {'rend':<5} {'seed':>4} {'tape':<6} {'set':<8} {'blk':>3} {'kel':>4} "
        f"{'conv':>4} {'lost':>4} {'est1':>5} {'est2':>5} {'t_kel':>6} {'t_conv':>6}")


def row_line(x):
    flag = ""
    if failed(x["rc_kelvarin"]) or failed(x["rc_convert"]):
        flag = f"  !! kelvarin {x['rc_kelvarin']}, convert {x['rc_convert']}"
    tape = x["tape"] if x["family"] != "shared" else "-"
    level = x["level"] if x["family"] != "shared" else x["level"][:-4]
    return (f"{x['family']:<13} {level:<10} {x['renderer']:<5} {x['seed']:>4} {tape:<6} {x['set']:<8} "
            f"{x['blocks']:>3} {x['kelvarin']:>4} {x['convert']:>4} {x['lost']:>4} {fmt_est(x['est1']):>5} "
            f"{fmt_est(x['est2']):>5} {x['t_kelvarin']:>6.2f} {x['t_convert']:>6.2f}{flag}")


def add(into, x):
    for k in ("blocks", "kelvarin", "convert", "lost", "t_kelvarin", "t_convert", "rec_seconds"):
        into[k] = into.get(k, 0) + x[k]
    for k in ("est1", "est2"):
        if x[k] is not None:
            into[k] = (into.get(k) or 0) + x[k]
        else:
            into.setdefault(k, None)
            into[k + "_missing"] = True
    into["rows"] = into.get("rows", 0) + 1


def summary(results):
    """Sums by damage and level over renderers and seeds."""
    groups = {}
    for x in results:
        groups.setdefault((x["family"], x["level"] if x["family"] != "shared" else "all"), {})
        add(groups[(x["family"], x["level"] if x["family"] != "shared" else "all")], x)
    lines = [f"{'damage':<13} {'level':<10} {'rows':>4} {'blocks':>6} {'kelvarin':>8} {'convert':>7} {'lost':>4} "
             f"{'est1':>6} {'est2':>6}"]
    for (fam, level), g in groups.items():
        e1 = "-" if g.get("est1_missing") or g.get("est1") is None else f"{g['est1']:.1f}"
        e2 = "-" if g.get("est2_missing") or g.get("est2") is None else f"{g['est2']:.1f}"
        lines.append(f"{fam:<13} {level:<10} {g['rows']:>4} {g['blocks']:>6} {g['kelvarin']:>8} {g['convert']:>7} "
                     f"{g['lost']:>4} {e1:>6} {e2:>6}")
    return lines


def totals(results):
    lines = []
    for name in ("tune", "held-out", "shared", "all"):
        xs = [x for x in results if name == "all" or x["set"] == name]
        if not xs:
            continue
        g = {}
        for x in xs:
            add(g, x)
        tc = [x["t_convert"] for x in xs]
        tk = [x["t_kelvarin"] for x in xs]
        lines.append(f"{name:<9} {g['rows']:>4} rows {g['blocks']:>5} blocks: kelvarin {g['kelvarin']:>5} "
                     f"({100 * g['kelvarin'] / g['blocks']:.1f} %), convert {g['convert']:>5} "
                     f"({100 * g['convert'] / g['blocks']:.1f} %), lost {g['lost']}; "
                     f"time kelvarin {g['t_kelvarin']:.1f} s (median {statistics.median(tk):.2f}), "
                     f"convert {g['t_convert']:.1f} s (median {statistics.median(tc):.2f}, max {max(tc):.2f}) "
                     f"for {g['rec_seconds'] / 60:.1f} min of recordings")
    return lines


def compare(old, new):
    """What changed between two runs, row by row and in total."""
    before = {x["key"]: x for x in old["rows"]}
    after = {x["key"]: x for x in new["rows"]}
    common = [k for k in after if k in before]
    lines = [f"compared with {old['meta'].get('when', '?')} (commit {old['meta'].get('commit', '?')}): "
             f"{len(common)} rows in both, {len(after) - len(common)} only now, {len(before) - len(common)} only then"]
    remade = [k for k in common if before[k].get("rec_sha1") != after[k].get("rec_sha1")]
    if remade:
        lines.append(f"  !! {len(remade)} recordings differ from the earlier run's (other scripts, sox or kvrtool "
                     f"play): their changes are not the converters' alone")
    for k in common:
        a, b = before[k], after[k]
        diffs = [f"{f} {a[f]}->{b[f]}" for f in ("kelvarin", "convert", "lost") if a[f] != b[f]]
        if diffs:
            lines.append(f"  {k:<34} {', '.join(diffs)} (of {b['blocks']}, {b['set']})")
    for name in ("tune", "held-out", "shared"):
        ks = [k for k in common if after[k]["set"] == name]
        if not ks:
            continue
        s = {f: (sum(before[k][f] for k in ks), sum(after[k][f] for k in ks))
             for f in ("blocks", "kelvarin", "convert", "lost", "t_convert")}
        lines.append(f"  {name:<9} convert {s['convert'][0]} -> {s['convert'][1]} of {s['blocks'][1]}, "
                     f"kelvarin {s['kelvarin'][0]} -> {s['kelvarin'][1]}, lost {s['lost'][0]} -> {s['lost'][1]}, "
                     f"convert time {s['t_convert'][0]:.1f} -> {s['t_convert'][1]:.1f} s")
    return lines


def git_commit():
    try:
        c = subprocess.run(["git", "-C", REPO, "describe", "--always", "--dirty"], capture_output=True,
                           text=True).stdout.strip()
        return c or "?"
    except OSError:
        return "?"


def main(argv=None):
    ap = argparse.ArgumentParser(prog="bench/sweep/run", description=__doc__)
    ap.add_argument("--bin", default=os.environ.get("KELVARIN_BIN", os.path.join(REPO, "build", "src")),
                    help="folder of kelvarin and kvrtool (env KELVARIN_BIN; default build/src)")
    ap.add_argument("--cache", default=os.environ.get("SWEEP_CACHE", "/tmp/kelvarin-sweep"),
                    help="folder of renders, recordings and outputs (env SWEEP_CACHE)")
    ap.add_argument("--set", default="all", choices=("tune", "held-out", "all"), dest="which")
    ap.add_argument("--quick", action="store_true", help="seeds 1 and 3 at a few levels of each damage")
    ap.add_argument("--only", help="rows whose key (damage|level|renderer|seed) matches this regex")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--json", help="where to write the results (default CACHE/results/DATE.json)")
    ap.add_argument("--compare", metavar="OLD.json", help="print what changed since an earlier run")
    ap.add_argument("--shared", default=os.environ.get("SWEEP_SHARED", "/work/shared/recordings"),
                    help="folder of the shared recordings and their manifest.json")
    ap.add_argument("--summary", action="store_true", help="print the sums by damage and level, not every row")
    ap.add_argument("--timeout", type=float, default=120, help="seconds one conversion may take")
    ap.add_argument("--list", action="store_true", help="list the selected rows and stop")
    a = ap.parse_args(argv)

    for prog in ("kelvarin", "kvrtool"):
        if not os.access(os.path.join(a.bin, prog), os.X_OK):
            sys.exit(f"sweep: no {prog} in {a.bin} (build first, or give --bin)")
    if shutil.which("sox") is None:
        sys.exit("sweep: sox is missing (scripts/install-deps --bench installs it)")
    shared = plan.shared_rows(a.shared)
    if not shared:
        print(f"sweep: no shared recordings in {a.shared}; their rows are left out", file=sys.stderr)
    rows = plan.select(plan.rows() + shared, a.which, a.quick, a.only)
    if a.list:
        for r in rows:
            print(f"{r['key']:<36} {r['tape']:<6} {r['set']}")
        print(f"{len(rows)} rows")
        return 0
    os.makedirs(a.cache, exist_ok=True)
    bin_dir = os.path.abspath(a.bin)
    ver = version(bin_dir, a.cache)
    ctx = (a.cache, bin_dir, ver)
    cache = d.Cache(*ctx)
    for name in tapes.TAPES:
        cache.kvr(name)
    start = time.perf_counter()
    with ProcessPoolExecutor(max_workers=max(1, a.jobs)) as pool:
        wanted = sorted({n for r in rows for n in needs(r)}, key=str)
        list(pool.map(make_base, [ctx] * len(wanted), wanted))
        futures = [pool.submit(run_row, ctx, r, a.timeout) for r in rows]
        results = []
        if not a.summary:
            print(HEAD)
        for f in futures:
            x = f.result()
            results.append(x)
            if not a.summary:
                print(row_line(x), flush=True)
    wall = time.perf_counter() - start
    print()
    for line in summary(results):
        print(line)
    print()
    for line in totals(results):
        print(line)
    made = sum(x["t_make"] for x in results)
    print(f"wall {wall:.0f} s with {a.jobs} jobs ({made:.0f} s of it making recordings, counted per job)")
    failures = [x for x in results if failed(x["rc_kelvarin"]) or failed(x["rc_convert"])]
    for x in failures:
        print(f"!! {x['key']}: kelvarin {x['rc_kelvarin']}, convert {x['rc_convert']} (killed or timed out)")

    meta = {"when": time.strftime("%Y-%m-%d %H:%M:%S"), "commit": git_commit(), "bin": bin_dir,
            "kelvarin_sha1": sha1_file(os.path.join(bin_dir, "kelvarin")),
            "kvrtool_sha1": sha1_file(os.path.join(bin_dir, "kvrtool")), "recordings_version": ver,
            "set": a.which, "quick": a.quick, "only": a.only, "wall_seconds": round(wall, 1)}
    out = a.json or os.path.join(a.cache, "results", time.strftime("%Y%m%d-%H%M%S") + ".json")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        json.dump({"meta": meta, "rows": results}, f, indent=1)
    print(f"results: {out}")
    if a.compare:
        with open(a.compare) as f:
            old = json.load(f)
        print()
        for line in compare(old, {"meta": meta, "rows": results}):
            print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
