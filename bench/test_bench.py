"""Tests of the benchmark's own parts: the readings and statistics it reports, the
target checks, and the bare receiver it compares against.
Run: /usr/bin/python3 -m pytest bench (or -m unittest discover bench)."""
import os
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import driver  # noqa: E402

REPO = Path(__file__).resolve().parents[1]


def find_writer():
    dirs = [os.environ.get("ZAL_BUILD_DIR"), REPO / "build-bench", REPO / "build"]
    found = [Path(d) / "testing" / "fake-ffmpeg" for d in dirs if d]
    return next((w for w in found if w.exists()), None)


WRITER = find_writer()


class ProcReadings(unittest.TestCase):
    def test_stat_ticks_with_parentheses_and_spaces_in_the_name(self):
        # comm may hold ") " itself; fields 14 and 15 (utime, stime) follow the last ")".
        rest = " ".join(["S"] + ["0"] * 10 + ["7", "5"] + ["0"] * 30)
        self.assertEqual(bl.stat_cpu_ticks("123 (a) b (c)) " + rest), 12)

    def test_status_value_and_missing_key(self):
        text = "Name:\tx\nVmHWM:\t  6200 kB\nVmRSS:\t  6100 kB\n"
        self.assertEqual(bl.status_kb(text, "VmHWM"), 6200)
        self.assertIsNone(bl.status_kb(text, "VmPeak"))

    def test_system_busy_counts_iowait_as_idle(self):
        before = "cpu  100 0 100 1000 0 0 0 0 0 0"
        after = "cpu  200 0 200 1100 100 0 0 0 0 0"
        self.assertAlmostEqual(bl.system_busy(before, after), 0.5)

    def test_cpu_of_this_process_is_read_from_every_thread(self):
        self.assertGreater(bl.cpu_ns(os.getpid()), 0)


class WindowStatistics(unittest.TestCase):
    def test_torn_last_line_is_dropped(self):
        self.assertEqual(bl.parse_times("10 4\n20 5\n3"), [(10, 4), (20, 5)])

    def test_window_is_half_open_and_delays_are_time_minus_stamp(self):
        times = [(999, 0), (1000, 900), (1500, 1000), (2000, 1900)]
        s = bl.window_stats(times, 1000, 2000)
        self.assertEqual(s["frames"], 2)
        self.assertAlmostEqual(s["fps"], 2 / 1e-6)
        self.assertAlmostEqual(s["delay_mean_us"], 0.3)
        self.assertAlmostEqual(s["delay_max_us"], 0.5)
        self.assertEqual(bl.percentile(list(range(1, 201)), 0.99), 198)
        self.assertEqual(bl.percentile([7], 0.99), 7)

    def test_empty_window_has_no_delay(self):
        s = bl.window_stats([(5, 1)], 10, 20)
        self.assertEqual((s["frames"], s["delay_mean_us"]), (0, None))

    def test_ratios_pair_runs_in_order_and_skip_missing(self):
        p = [{"x": 2.0}, {"x": None}, {"x": 9.0}]
        b = [{"x": 1.0}, {"x": 1.0}, {"x": 3.0}]
        self.assertEqual(bl.pair_ratios(p, b, "x"), [2.0, 3.0])
        self.assertEqual(bl.median([None, 3, 1, 2]), 2)
        self.assertEqual(bl.quartiles([1.0, 2.0, 3.0, 4.0, 5.0]), (2.0, 4.0))
        self.assertIsNone(bl.quartiles([1.0]))


class Targets(unittest.TestCase):
    def run_pair(self, kind, fps, cpu, delay, rss_kb, series="fast"):
        return dict(kind=kind, series=series, width=1280, height=720, fps=fps,
                    cpu_us_per_frame=cpu, delay_mean_us=delay, delay_max_us=delay,
                    peak_rss_kb=rss_kb, cpu_ms=cpu * fps / 1000, window_s=1.0,
                    system_busy=0.5)

    def summary(self, program, bare):
        runs = [self.run_pair("program", *program), self.run_pair("bare", *bare),
                self.run_pair("program", *program, series="paced"),
                self.run_pair("bare", *bare, series="paced")]
        return driver.summarize(runs, [(1280, 720)])[0]

    def test_all_met(self):
        row = self.summary((990, 105, 1040, 5000), (1000, 100, 1000, 4000))
        self.assertTrue(all(row[k] for k in ("ok_fps", "ok_cpu", "ok_delay", "ok_rss")))

    def test_each_miss_is_reported(self):
        limit_kb = bl.rss_limit_kb(1280, 720)
        row = self.summary((960, 111, 1200, limit_kb + 1), (1000, 100, 1000, 4000))
        self.assertFalse(any(row[k] for k in ("ok_fps", "ok_cpu", "ok_delay", "ok_rss")))

    def test_delay_either_within_ten_percent_or_within_100_us(self):
        self.assertTrue(bl.delay_ok(150.0, 60.0))     # +90 us
        self.assertTrue(bl.delay_ok(10900.0, 10000.0))  # +9 %
        self.assertFalse(bl.delay_ok(250.0, 100.0))
        self.assertFalse(bl.delay_ok(None, 100.0))

    def test_argument_lists_may_differ_only_in_ports(self):
        a = ["/x/fake", "-i", "fake:", "-f", "rawvideo", "tcp://127.0.0.1:4000"]
        self.assertTrue(bl.same_arguments(a, a[:-1] + ["tcp://127.0.0.1:5000"]))
        self.assertFalse(bl.same_arguments(a, a[:3] + ["-g"] + a[4:]))
        self.assertFalse(bl.same_arguments(a, a[:-1]))
        self.assertFalse(bl.same_arguments(a, ["/y/fake"] + a[1:]))


class PeerFigure(unittest.TestCase):
    def test_peer_rate_is_taken_between_the_reports_at_the_window_ends(self):
        line = "/GstPipeline:pipeline0/GstFPSDisplaySink:fpsdisplaysink0: last-message = rendered: {}, dropped: 0"
        lines = [(0, "caps = video/x-raw"), (1 * bl.NS, line.format(30)), (3 * bl.NS, line.format(90)),
                 (5 * bl.NS, line.format(150))]
        self.assertEqual(bl.peer_rate(lines, int(1.5 * bl.NS), int(4.5 * bl.NS)), {"frames": 60, "fps": 30.0})
        self.assertIsNone(bl.peer_rate(lines, 0, 10 * bl.NS)["fps"])  # no report before the start

    def test_bridge_is_paired_with_the_peer_of_its_own_repetition(self):
        runs = [dict(kind="program", rep=0, width=1920, height=1080, bridge_cpu=0.20, decoded_ok=True),
                dict(kind="peer", rep=1, width=1920, height=1080, bridge_cpu=0.10, decoded_ok=True),
                dict(kind="peer", rep=0, width=1920, height=1080, bridge_cpu=0.16, decoded_ok=True),
                dict(kind="program", rep=1, width=1920, height=1080, bridge_cpu=0.13, decoded_ok=True)]
        row = driver.e2e_summary(runs)[0]
        self.assertAlmostEqual(row["peer_ratio"], (1.25 + 1.3) / 2)
        self.assertFalse(row["ok_peer"])


@unittest.skipIf(WRITER is None, "no fake-ffmpeg: build the project first")
class BareReceiver(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Built fresh from the current sources, so the test never runs a stale binary.
        cls.dir = tempfile.TemporaryDirectory()
        cls.bare = Path(cls.dir.name) / "bare_receiver"
        subprocess.run(["bash", str(REPO / "bench" / "build_bare.sh"), str(cls.bare)], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def run_bare(self, steering, width=64, height=48, stdin_open_s=None):
        with tempfile.TemporaryDirectory() as d:
            times = Path(d) / "times.txt"
            env = dict(os.environ, FFMPEG_BIN=str(WRITER))
            p = subprocess.Popen([str(self.bare), str(times), "--input", steering, "--no-audio",
                                  "--width", str(width), "--height", str(height)],
                                 env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            # Left open otherwise: its end would kill the writer before it is done.
            if stdin_open_s is not None:
                time.sleep(stdin_open_s)
                p.stdin.close()
            out = p.stdout.read()
            code = p.wait(timeout=30)
            if not p.stdin.closed:
                p.stdin.close()
            return code, out.splitlines(), bl.parse_times(times.read_text())

    def test_counts_whole_frames_only_and_reads_the_stamps(self):
        code, lines, times = self.run_bare("fake:frames=5;vpartial=100;stamp=1")
        self.assertEqual(code, 0)
        self.assertEqual(lines[0], '{"event":"started"}')
        self.assertEqual(len(times), 5)
        for t, stamp in times:
            self.assertLess(0, t - stamp)  # received after it was stamped, on the same clock
            self.assertLess(t - stamp, 10 * bl.NS)

    def test_frames_cut_into_small_sends_are_joined(self):
        _, _, times = self.run_bare("fake:frames=3;chunk=7;stamp=1", 32, 16)
        self.assertEqual(len(times), 3)
        self.assertTrue(all(0 < t - s < 10 * bl.NS for t, s in times))

    def test_closing_stdin_stops_a_writer_that_never_ends(self):
        code, lines, times = self.run_bare("fake:forever=1;fps=200;stamp=1", stdin_open_s=0.5)
        self.assertEqual(code, 0)
        self.assertIn('"ffmpeg":0', lines[-1])  # the receiver killed it: reported as 0
        self.assertGreater(len(times), 0)
        self.assertEqual(times, sorted(times))


if __name__ == "__main__":
    unittest.main()
