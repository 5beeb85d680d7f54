#!/usr/bin/env python3
"""Frame rate of halvexcam's grab_raw loop against the same loop in C++ over the flat API.

    PYTHONPATH=build-bench/python /usr/bin/python3 bench/bench_python.py \\
        build-bench/bench/bench_grab_raw [--rounds 3] [--seconds 3] [--model VAh200C1]

Both loops read a simulated camera at full resolution as fast as it delivers; the rounds
alternate between the two so that a change in the machine's load touches both. Prints, for
every round and as medians, frames per second of wall time and frames per second of the reading
thread's processor time (which a busy machine disturbs least), their ratios (Python / C++) and
the load average. The Python loop adds one copy of each frame into a new numpy array.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import halvexcam


def cpp_rate(peer, seconds, model):
    env = dict(os.environ, HALVEX_BENCH_MODEL=model, HALVEX_NO_USB="1")
    out = subprocess.run([peer, "--benchmark_format=json", f"--benchmark_min_time={seconds}"],
                         env=env, check=True, capture_output=True, text=True, timeout=600).stdout
    result = json.loads(out)["benchmarks"][0]
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[result["time_unit"]]
    return result["items_per_second"], 1.0 / (result["cpu_time"] * unit)


def python_rate(cam, seconds):
    for _ in range(5):
        cam.grab_raw()
    frames, start, cpu = 0, time.perf_counter(), time.thread_time()
    while True:
        cam.grab_raw()
        frames += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return frames / elapsed, frames / (time.thread_time() - cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("peer", help="the bench_grab_raw program")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--model", default="VAh200C1")
    args = parser.parse_args()

    os.environ.setdefault("HALVEX_NO_USB", "1")
    name = halvexcam.simulate(args.model)
    cpp, py = [], []
    with halvexcam.Camera(name) as cam:
        width, height = cam.resolutions[cam.resolution][:2]
        print(f"{name}: {width} x {height} image, {cam.bit_depth}-bit raw frames")
        for round_ in range(1, args.rounds + 1):
            cpp.append(cpp_rate(args.peer, args.seconds, args.model))
            py.append(python_rate(cam, args.seconds))
            print(f"round {round_}: C++ {cpp[-1][0]:.1f} fps ({cpp[-1][1]:.1f} per CPU second), "
                  f"Python {py[-1][0]:.1f} fps ({py[-1][1]:.1f} per CPU second)")
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    for i, kind in enumerate(("wall time", "CPU time")):
        c = statistics.median(r[i] for r in cpp)
        p = statistics.median(r[i] for r in py)
        print(f"median, {kind}: C++ {c:.1f}, Python {p:.1f} frames/s, ratio {p / c:.3f}")
    print(f"load average {load}, {os.cpu_count()} cores")
    return 0


if __name__ == "__main__":
    sys.exit(main())
