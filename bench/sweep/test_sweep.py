#!/usr/bin/env python3
"""Tests of the sweep's own parts: the tapes and their images, the second renderer, the
damage, the estimates, the sets and the comparison of two runs.

    test_sweep.py [BIN_DIR]    (BIN_DIR holds kelvarin and kvrtool; default build/src)

The tests that need sox are skipped where it is missing."""

import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import damage as d  # noqa: E402
import limits  # noqa: E402
import plan  # noqa: E402
import pyrender  # noqa: E402
import sweep  # noqa: E402
import tapes  # noqa: E402
import wavio  # noqa: E402

BIN = os.environ.get("KELVARIN_BIN", os.path.join(os.path.dirname(os.path.dirname(HERE)), "build", "src"))
HAVE_SOX = shutil.which("sox") is not None


def small_tape(speed=1.0):
    """Two header and data pairs with short pilots: a few seconds of tape."""
    t = tapes.make_tape("small", 5, [40, 25], speed=speed, pause_ms=300)
    for b in t.blocks:
        b.pilots = 600
    return t


def read_back(path, tap):
    """The records kelvarin makes of a recording."""
    if os.path.exists(tap):
        os.remove(tap)
    subprocess.run([os.path.join(BIN, "kelvarin"), "/tap", path, tap], stdout=subprocess.DEVNULL, check=False)
    with open(tap, "rb") as f:
        return tapes.tap_records(f.read())


class Temp(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sweep-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def p(self, name):
        return os.path.join(self.dir, name)


class TapesTest(Temp):
    def test_images_hold_the_blocks_and_timings_of_the_manifest(self):
        for name, make in tapes.TAPES.items():
            t = make()
            kvr = self.p(name + ".kvr")
            with open(kvr, "wb") as f:
                f.write(t.kvr())
            listing = subprocess.run([os.path.join(BIN, "kvrtool"), "list", kvr], capture_output=True,
                                     text=True, check=True).stdout
            self.assertEqual(listing.count("checksum good"), len(t.blocks), name)
            self.assertEqual(tapes.tap_records(t.tap()), [b.data for b in t.blocks])
            for h, data in zip(t.blocks[::2], t.blocks[1::2]):
                self.assertEqual((h.data[0], len(h.data), data.data[0]), (0, 19, 0xFF))
                self.assertEqual(int.from_bytes(h.data[12:14], "little"), len(data.data) - 2)
            self.assertTrue(20 <= t.duration_s() <= 60, name)
        self.assertIn("bits 598/1197", subprocess.run(
            [os.path.join(BIN, "kvrtool"), "list", self.p("turbo.kvr")], capture_output=True, text=True).stdout)

    def test_a_truncated_last_record_is_dropped(self):
        data = b"\x02\x00ab\x03\x00cd"
        self.assertEqual(tapes.tap_records(data), [b"ab"])


class RendererTest(Temp):
    def test_kelvarin_reads_every_block_of_the_second_renderer(self):
        for speed, rate, warp in ((1.0, 48000, None), (1.0, 22050, None), (0.7, 44100, None),
                                  (1.0, 48000, pyrender.Warp(1.0, 0.3, seed=2))):
            t = small_tape(speed)
            wav = self.p("r.wav")
            samples = pyrender.render(t, rate, 0.7, warp)
            wavio.write_float(wav, rate, samples)
            self.assertEqual(read_back(wav, self.p("r.tap")), [b.data for b in t.blocks], (speed, rate))
            self.assertAlmostEqual(len(samples) / rate, t.duration_s() + pyrender.LEAD_S, delta=0.05)
            self.assertLessEqual(max(abs(v) for v in samples), 0.7 + 1e-6)

    def test_first_edge_of_a_block_is_at_its_start(self):
        t = small_tape()
        es, _ = pyrender.edges(t, 48000, 0.7)
        starts = [s for s, _, _ in t.timeline()]
        firsts = [x for x, step in es if abs(step - 0.7) < 1e-9]
        self.assertEqual(len(firsts), len(t.blocks))
        for x, s in zip(firsts, starts):
            self.assertAlmostEqual(x, s / tapes.CLOCK * 48000 + pyrender.LEAD_S * 48000, places=6)


@unittest.skipUnless(HAVE_SOX, "sox is missing")
class DamageTest(Temp):
    def clean(self, rate=44100):
        wav = self.p("clean.wav")
        wavio.write_float(wav, rate, pyrender.render(small_tape(), rate, 0.7))
        return wav

    def noise_file(self, rate=44100, seconds=6):
        path = self.p("noise.wav")
        g = __import__("random").Random(1).gauss
        wavio.write_float(path, rate, [g(0.0, d.NOISE_SIGMA) for _ in range(int(seconds * rate))])
        return path

    def test_noise_is_mixed_at_the_sigma_asked(self):
        clean, noise = self.clean(), self.noise_file()
        for sigma, gain in ((0.05, 1.0), (0.25, 0.1)):
            out = self.p("mixed.wav")
            d.mix(out, clean, sigma, noise, gain=gain)
            _, a = wavio.read(out)
            _, b = wavio.read(clean)
            self.assertEqual(len(a), len(b))
            diff = [a[i] - gain * b[i] for i in range(0, len(b), 3)]
            self.assertAlmostEqual(statistics.pstdev(diff) / sigma, 1.0, delta=0.02)

    def test_an_8bit_capture_keeps_the_steps_asked(self):
        out = self.p("q.wav")
        d.mix(out, self.clean(), 0, None, gain=2 * d.STEP / 0.7, bits=8)
        with open(out, "rb") as f:
            raw = f.read()
        values = raw[raw.find(b"data") + 8:]
        # Square pulses at two steps each way; the smooth edges pass through the steps between.
        self.assertEqual((min(values), max(values)), (126, 130))
        self.assertGreater(values.count(126) + values.count(130), 0.9 * sum(v != 128 for v in values))

    def test_wav_files_of_sox_are_read_at_full_scale_one(self):
        sine = self.p("sine.wav")
        wavio.write_float(sine, 8000, [0.5 * math.sin(2 * math.pi * i / 16) for i in range(800)])
        for bits, enc in (("16", "signed-integer"), ("8", "unsigned-integer")):
            out = self.p(f"s{bits}.wav")
            d.sox(sine, "-b", bits, "-e", enc, out)
            rate, a = wavio.read(out)
            self.assertEqual((rate, len(a)), (8000, 800))
            self.assertAlmostEqual(max(a), 0.5, delta=1 / 128)
            self.assertAlmostEqual(min(a), -0.5, delta=1 / 128)

    def test_treble_cut_is_measured_where_the_readme_says(self):
        sine = self.p("sine.wav")
        for hz, cut in ((1000, -16.5), (3000, -26.0)):
            wavio.write_float(sine, 44100, [0.5 * math.sin(2 * math.pi * hz * i / 44100) for i in range(44100)])
            d.filtered(sine, self.p("cut.wav"), "treble", -40, 1500)
            _, a = wavio.read(self.p("cut.wav"))
            rms = math.sqrt(statistics.fmean(v * v for v in a[4410:]))
            self.assertAlmostEqual(20 * math.log10(rms / (0.5 / math.sqrt(2))), cut, delta=1.0)

    def test_dropouts_fall_inside_every_block_s_data(self):
        t = small_tape()
        rate = 44100
        spans = d.dropout_spans(t, 3, 20, rate, 0.0)
        self.assertEqual(len(spans), len(t.blocks))
        for (first, n), (_, start, end) in zip(spans, t.timeline()):
            self.assertGreaterEqual(first, start / tapes.CLOCK * rate - 1)
            self.assertLessEqual(first + n, end / tapes.CLOCK * rate + 1)
        level = d.apply_dropouts([1.0] * (spans[-1][0] + spans[-1][1] + 10), spans, 0.03, rate)
        first, n = spans[1]
        self.assertAlmostEqual(level[first + n // 2], 0.03, places=6)
        self.assertEqual(level[first - 1], 1.0)
        self.assertEqual(level[first + n], 1.0)


class EstimateTest(unittest.TestCase):
    def test_bit_errors_are_the_issue_s(self):
        n, a = 10.8, 0.7
        for sigma, p1, p2 in ((0.5, 2e-6, None), (0.7, 5e-4, 2e-6), (0.9, 5e-3, 2e-4)):
            self.assertAlmostEqual(math.log10(limits.q(math.sqrt(n) * a / sigma)), math.log10(p1), delta=0.15)
            if p2:
                self.assertAlmostEqual(math.log10(limits.q(math.sqrt(2 * n) * a / sigma)), math.log10(p2), delta=0.2)

    def test_a_block_is_read_whole_with_every_bit_right(self):
        blocks = [bytes(19), bytes(1000)]
        e1, e2 = limits.white_noise(blocks, 855, 44100, 0.7, 0.7)
        p = limits.q(math.sqrt(855 * 44100 / 3.5e6) * 1.0)
        self.assertAlmostEqual(e1, (1 - p) ** 152 + (1 - p) ** 8000, places=9)
        self.assertLess(e1, e2)
        self.assertLessEqual(e2, 2)


    def test_a_dropout_is_read_at_its_own_level(self):
        blocks = [bytes(300)]
        # No dropout at all, and a dropout over the whole block: plain white noise, at A and A x depth.
        for got, want in ((limits.one_dropout_each(blocks, 855, 1710, 44100, 0.7, 0.5, 1.0, 1.0),
                           limits.white_noise(blocks, 855, 44100, 0.7, 0.5)),
                          (limits.one_dropout_each(blocks, 855, 1710, 44100, 0.7, 0.02, 0.03, 100.0),
                           limits.white_noise(blocks, 855, 44100, 0.021, 0.02))):
            for g, w in zip(got, want):
                self.assertAlmostEqual(g, w, places=12)
        short, long = (limits.one_dropout_each(blocks, 855, 1710, 44100, 0.7, 0.02, 0.02, s)[0] for s in (0.01, 0.05))
        self.assertGreater(short, long)


class PlanTest(unittest.TestCase):
    def test_every_family_has_tuning_and_held_out_levels_that_exist(self):
        for f in plan.FAMILIES:
            self.assertTrue(f.tune <= set(f.levels), f.name)
            self.assertTrue(f.quick <= set(f.levels), f.name)
            self.assertTrue(f.tune, f.name)
            self.assertIn(f.name, plan.BY_NAME)

    def test_sets_keep_seeds_levels_and_the_second_renderer_out_of_tuning(self):
        rows = plan.rows()
        self.assertEqual(len({r["key"] for r in rows}), len(rows))
        for r in rows:
            f = plan.BY_NAME[r["family"]]
            tuned = r["renderer"] == "play" and r["seed"] in plan.TUNE_SEEDS and r["level"] in f.tune
            self.assertEqual(r["set"], "tune" if tuned else "held-out", r["key"])
        held = [r for r in rows if r["set"] == "held-out"]
        self.assertTrue({r["tape"] for r in held} >= {"four", "mixed"})
        quick = plan.select(rows, "all", True)
        self.assertEqual({r["set"] for r in quick}, {"tune", "held-out"})
        self.assertTrue(all(r["set"] == "tune" for r in plan.select(rows, "tune", False)))


class CompareTest(unittest.TestCase):
    def test_changed_rows_and_remade_recordings_are_told(self):
        row = {"key": "noise|0.5|play|1", "set": "tune", "blocks": 6, "kelvarin": 0, "convert": 2, "lost": 0,
               "t_convert": 1.0, "rec_sha1": "a"}
        old = {"meta": {"when": "then"}, "rows": [row]}
        new = {"meta": {}, "rows": [dict(row, convert=6, rec_sha1="b")]}
        text = "\n".join(sweep.compare(old, new))
        self.assertIn("convert 2->6", text)
        self.assertIn("1 recordings differ", text)
        self.assertIn("tune      convert 2 -> 6 of 6", text)
        self.assertFalse(any(line.strip().startswith("noise|") for line in sweep.compare(old, old)))


class CountTest(Temp):
    """A row against stand-in converters: kelvarin's output holds two of the three blocks and a
    fragment, and kvrtool convert dies by a signal after writing one."""

    def fake(self, name, body):
        path = self.p(name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)

    def test_blocks_lost_and_a_killed_converter_are_counted(self):
        blocks = [b"\x00" + bytes(18), b"\xff" + bytes(range(40)), b"\xffxyz"]
        tap = lambda recs: b"".join(len(r).to_bytes(2, "little") + r for r in recs)  # noqa: E731
        with open(self.p("k.tap"), "wb") as f:
            f.write(tap([blocks[0], blocks[1][:20], blocks[2]]))
        with open(self.p("c.tap"), "wb") as f:
            f.write(tap([blocks[1]]))
        self.fake("kelvarin", f'cp {self.p("k.tap")} "$3"')
        self.fake("kvrtool", f'cp {self.p("c.tap")} "$4"; kill -SEGV $$')
        wav = self.p("rec.wav")
        wavio.write_float(wav, 22050, [0.0] * 22050)
        row = {"key": "shared|rec.wav", "family": "shared", "tool": "", "level": "rec.wav", "params": {},
               "renderer": "other", "seed": 0, "tape": "rec.wav", "set": "shared", "quick": True,
               "file": wav, "blocks_hex": [b.hex() for b in blocks]}
        x = sweep.run_row((self.p("cache"), self.dir, "v"), row, 10)
        self.assertEqual((x["blocks"], x["kelvarin"], x["convert"], x["lost"], x["convert_extra"]), (3, 2, 1, 2, 0))
        self.assertEqual(x["rc_convert"], -11)
        self.assertTrue(sweep.failed(x["rc_convert"]) and not sweep.failed(x["rc_kelvarin"]))
        self.assertEqual(x["rec_seconds"], 1.0)
        self.assertIn("!!", sweep.row_line(x))


@unittest.skipUnless(HAVE_SOX, "sox is missing")
class HarnessTest(Temp):
    def test_one_row_end_to_end(self):
        out = self.p("r.json")
        rc = sweep.main(["--bin", BIN, "--cache", self.p("cache"), "--json", out, "--shared", self.p("none"),
                         "--only", r"^rate\|22050\|play\|1$", "--summary"])
        self.assertEqual(rc, 0)
        with open(out) as f:
            rows = json.load(f)["rows"]
        self.assertEqual([(r["key"], r["blocks"], r["kelvarin"], r["convert"], r["lost"]) for r in rows],
                         [("rate|22050|play|1", 6, 6, 6, 0)])


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        BIN = sys.argv.pop(1)
    unittest.main()
