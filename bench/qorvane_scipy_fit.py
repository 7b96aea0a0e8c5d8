#!/usr/bin/python3
"""SciPy least_squares (method 'lm') fit of the cases bench_qorvane_fit writes.

Same model as qorvane_pthreads (Voigt lines built in the time domain, first point halved,
forward FFT, rotation by N/2, zero-order phase), same float32 data, same starts and the same
fitted points (real and imaginary parts). Prints CPU time per fit and the accuracy against the
truth; with --qorvane-json (Google Benchmark JSON of BM_VoigtFit) also the qorvane figures and
the time ratio.

    bench/qorvane_scipy_fit.py CASE_DIR [--qorvane-json FILE] [--min-time SECONDS]
"""
import argparse
import glob
import json
import os
import time

import numpy as np
from scipy.optimize import least_squares

GAUSS_HZ_TO_INTERNAL = 0.5988023952095809  # 1 / 1.67, as the fit-control reader converts


def read_case(stem):
    info = {"truth": [], "start": []}
    with open(stem + ".txt") as f:
        for line in f:
            w = line.split()
            if w[0] in ("truth", "start"):
                info[w[0]].append([float(v) for v in w[1:]])
            elif w[0] == "interval":
                info["interval"] = (int(w[1]), int(w[2]))
            else:
                info[w[0]] = float(w[1])
    raw = np.fromfile(stem + ".bin", dtype="<f4").astype(np.float64)
    info["data"] = raw[0::2] + 1j * raw[1::2]
    info["n"] = int(info["n"])
    return info


def to_internal(lines, hzpp):
    """File units (Hz, degrees) -> model units (points; Gaussian width / 1.67)."""
    p = np.array(lines, dtype=float)
    out = p.copy()
    out[:, 1] = p[:, 1] / hzpp
    out[:, 2] = p[:, 2] * GAUSS_HZ_TO_INTERNAL / hzpp
    out[:, 4] = p[:, 4] / hzpp
    return out.ravel()


def to_file(p, hzpp):
    q = p.reshape(-1, 5).copy()
    q[:, 1] *= hzpp
    q[:, 2] = np.abs(q[:, 2]) * hzpp / GAUSS_HZ_TO_INTERNAL
    q[:, 4] = np.abs(q[:, 4]) * hzpp
    return q


def make_model(n):
    k = np.arange(n)
    t = k / n

    def model(p):
        q = p.reshape(-1, 5)
        a, f, g, ph, lw = (q[:, i][:, None] for i in range(5))
        s = a * np.exp(-(np.pi * np.abs(lw) * t + (np.pi * g * t) ** 2)) * np.exp(1j * k * 2 * np.pi * (f + n / 2) / n)
        s[:, 0] *= 0.5
        spectrum = np.roll(np.fft.fft(s, axis=1), -(n // 2), axis=1) * np.exp(1j * ph * np.pi / 180.0)
        return spectrum.sum(axis=0)

    return model


def fit_case(info, min_time):
    n, hzpp = info["n"], info["hzpp"]
    lo, hi = info["interval"]
    x = info["data"][lo : hi + 1]
    model = make_model(n)
    p0 = to_internal(info["start"], hzpp)

    def residuals(p):
        d = x - model(p)[lo : hi + 1]
        return np.concatenate([d.real, d.imag])

    runs, spent, result = 0, 0.0, None
    while spent < min_time or runs < 1:
        t0 = time.process_time()
        # x_scale='jac': MINPACK's own scaling by the Jacobian's column norms (without it the
        # fits of these cases stop far from the truth); default tolerances 1e-8.
        result = least_squares(residuals, p0, method="lm", x_scale="jac")
        spent += time.process_time() - t0
        runs += 1
    fitted = to_file(result.x, hzpp)
    truth = np.array(info["truth"])
    acc = {
        "area_rel": float(np.max(np.abs(fitted[:, 0] / truth[:, 0] - 1))),
        "freq_Hz": float(np.max(np.abs(fitted[:, 1] - truth[:, 1]))),
        "width_rel": float(max(np.max(np.abs(fitted[:, 2] / truth[:, 2] - 1)), np.max(np.abs(fitted[:, 4] / truth[:, 4] - 1)))),
        "phase_deg": float(np.max(np.abs(fitted[:, 3] - truth[:, 3]))),
    }
    return spent / runs, result.nfev, result.status, acc


def qorvane_figures(path):
    """cpu_time (ms) and counters of BM_VoigtFit/<lines>/<points>/<minimiser>."""
    out = {}
    if not path:
        return out
    with open(path) as f:
        data = json.load(f)
    for b in data.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
            continue
        parts = b["name"].split("/")
        if parts[0] != "BM_VoigtFit":
            continue
        key = (int(parts[1]), int(parts[2]), int(parts[3]))
        unit = {"ms": 1.0, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b.get("time_unit", "ms")]
        out[key] = dict(b, cpu_ms=b["cpu_time"] * unit)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case_dir")
    ap.add_argument("--qorvane-json", default="")
    ap.add_argument("--min-time", type=float, default=1.0)
    args = ap.parse_args()
    q = qorvane_figures(args.qorvane_json)
    stems = sorted(
        (s[:-4] for s in glob.glob(os.path.join(args.case_dir, "case_*.txt"))),
        key=lambda s: tuple(int(v) for v in os.path.basename(s).split("_")[1:3]),
    )
    hdr = "{:>5} {:>6} | {:>10} {:>5} {:>9} {:>9} {:>9} {:>9} |"
    print("SciPy least_squares(method='lm', x_scale='jac', jac='2-point'), CPU time per fit")
    print(hdr.format("lines", "points", "scipy ms", "nfev", "area_rel", "freq_Hz", "width_rel", "phase_deg"), end="")
    print(" {:>10} {:>9} {:>9} {:>9} {:>9} {:>7}".format("qorvane ms", "area_rel", "freq_Hz", "width_rel", "phase_deg", "speedup") if q else "")
    for stem in stems:
        lines, points = (int(v) for v in os.path.basename(stem).split("_")[1:3])
        sec, nfev, status, acc = fit_case(read_case(stem), args.min_time)
        row = "{:>5} {:>6} | {:>10.2f} {:>5} {:>9.2e} {:>9.2e} {:>9.2e} {:>9.2e} |".format(
            lines, points, 1e3 * sec, nfev, acc["area_rel"], acc["freq_Hz"], acc["width_rel"], acc["phase_deg"]
        )
        b = q.get((lines, points, 0))
        if b:
            row += " {:>10.2f} {:>9.2e} {:>9.2e} {:>9.2e} {:>9.2e} {:>6.2f}x".format(
                b["cpu_ms"], b["area_rel"], b["freq_Hz"], b["width_rel"], b["phase_deg"], 1e3 * sec / b["cpu_ms"]
            )
        print(row)


if __name__ == "__main__":
    main()
