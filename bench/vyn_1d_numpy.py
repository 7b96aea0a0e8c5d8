#!/usr/bin/python3
"""NumPy/SciPy simulation of the 1D/2D sequences of bench/vyn_1d.cpp.

An independent implementation of the same physics, written the plain way:
one scipy.linalg.expm of -i H dt per sample of every sector, the products in
NumPy, rho <- P^H rho P per sector (row j of an evolution sector moved by
j - 1 times the sector), and the receiver signal from numpy.linalg.eigh of
the static Hamiltonian (the transition sum).

    /usr/bin/python3 bench/vyn_1d_numpy.py --case press --spins 6 [--acq] [--compare DIR/press-6-acq-fast]
    /usr/bin/python3 bench/vyn_1d_numpy.py --case twod --spins 6 [--compare DIR/twod-6-fast]

--compare takes the prefix of the files bench_vyn_1d keeps (VYN_BENCH_DM_DIR):
<prefix>-dm.bin and, with a signal, <prefix>-signal.bin; it prints the largest
deviation of each from this simulation. --diff A B compares two such prefixes.
"""
import argparse
import os
import struct
import sys
import time

import numpy as np
import scipy.linalg

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vyn_spatial_numpy import TWO_PI, read_dm, spin_operators, system  # noqa: E402

PULSE_SAMPLES = 256
PULSE_SECONDS = 2.56e-3


def sinc(flip, on_y):
    """Windowed sinc of 256 samples whose sample sum times the step is the flip angle."""
    u = (np.arange(PULSE_SAMPLES) - PULSE_SAMPLES / 2 + 0.5) / 32.0
    env = np.sin(np.pi * u) / (np.pi * u) * np.exp(-u * u / 16.0)
    b = flip * env / (PULSE_SECONDS / PULSE_SAMPLES * env.sum())
    zero = np.zeros(PULSE_SAMPLES)
    return (zero, b) if on_y else (b, zero)


def sector(xb, yb, duration, evolution=False):
    return {"xb": np.asarray(xb), "yb": np.asarray(yb), "dt": duration / len(xb), "evolution": evolution}


def press(acq):
    p90, p180 = sinc(np.pi / 2, False), sinc(np.pi, True)
    delay = sector(np.zeros(8), np.zeros(8), 4e-3)
    seq = [sector(*p90, PULSE_SECONDS), delay, sector(*p180, PULSE_SECONDS), delay, sector(*p180, PULSE_SECONDS),
           delay]
    return seq, (256, 0.256) if acq else None, 1


def twod():
    p90 = sinc(np.pi / 2, False)
    seq = [sector(*p90, PULSE_SECONDS), sector([0.0], [0.0], 0.5e-3, evolution=True), sector(*p90, PULSE_SECONDS)]
    return seq, (256, 0.256), 64


def sector_propagator(hc, fx, fy, sec, dt):
    p = np.eye(hc.shape[0], dtype=complex)
    for x, y in zip(sec["xb"], sec["yb"]):
        p = p @ scipy.linalg.expm(-1j * (hc + x * fx + y * fy) * dt)
    return p


def simulate(nspins, seq, rows):
    hc, fx, fy, _, rho0 = system(nspins)
    states = [rho0.copy() for _ in range(rows)]
    for sec in seq:
        if sec["evolution"]:
            for j in range(rows):
                p = sector_propagator(hc, fx, fy, sec, j * sec["dt"])
                states[j] = p.conj().T @ states[j] @ p
        else:
            p = sector_propagator(hc, fx, fy, sec, sec["dt"])
            states = [p.conj().T @ s @ p for s in states]
    return hc, states


def receivers(nspins):
    ops = spin_operators(nspins)
    ox = sum(o[0] / np.linalg.norm(o[0]) for o in ops)
    oy = sum(o[1] / np.linalg.norm(o[1]) for o in ops)
    return ox, oy


def signal(hc, ox, oy, rho, points, acq):
    """re_k = Re Tr(Ox rho(t_k)), im_k = Re Tr(Oy rho(t_k)), rho(t) = e^{iHt} rho e^{-iHt}, t_k = k acq / points."""
    lam, v = np.linalg.eigh(hc)
    r = v.conj().T @ rho @ v
    t = np.arange(points) * acq / points
    e = np.exp(1j * np.outer(lam, t))  # e_a(t) = exp(i lambda_a t)
    out = []
    for o in (ox, oy):
        m = (v.conj().T @ o @ v).T * r  # m_ab = O~_ba rho~_ab
        out.append(np.real(np.einsum("ak,ab,bk->k", e, m, e.conj())))
    return out[0] + 1j * out[1]


def read_signal(path):
    with open(path, "rb") as f:
        typ, points, traces = struct.unpack("<3i", f.read(12))
        body = np.frombuffer(f.read(), dtype="<f8")
    assert typ == 1 and body.size == 2 * points * traces, "not a complete signal file"
    return (body[0::2] + 1j * body[1::2]).reshape(traces, points)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--case", choices=("press", "twod"), default="press")
    ap.add_argument("--spins", type=int, default=6)
    ap.add_argument("--acq", action="store_true", help="press: with the acquisition window and the signal")
    ap.add_argument("--compare", help="prefix of the files kept by bench_vyn_1d for the same case")
    ap.add_argument("--repeat", type=int, default=1, help="run the simulation this many times; report the median")
    ap.add_argument("--diff", nargs=2, metavar=("A", "B"), help="only compare two kept prefixes")
    args = ap.parse_args()
    if args.diff:
        a, b = args.diff
        print(f"max deviation {os.path.basename(a)} - {os.path.basename(b)}: dm "
              f"{np.abs(read_dm(a + '-dm.bin') - read_dm(b + '-dm.bin')).max():.3g}", end="")
        if os.path.exists(a + "-signal.bin"):
            print(f", signal {np.abs(read_signal(a + '-signal.bin') - read_signal(b + '-signal.bin')).max():.3g}",
                  end="")
        print()
        return
    seq, acq, rows = press(args.acq) if args.case == "press" else twod()
    runs = []
    for _ in range(max(1, args.repeat)):
        c0 = time.process_time()
        t0 = time.perf_counter()
        hc, states = simulate(args.spins, seq, rows)
        t1 = time.perf_counter()
        traces = None
        if acq:
            ox, oy = receivers(args.spins)
            traces = [signal(hc, ox, oy, s, *acq) for s in states]
        t2 = time.perf_counter()
        runs.append((t2 - t0, time.process_time() - c0, t1 - t0, t2 - t1))
    runs.sort()
    wall, cpu, prop, sig = runs[len(runs) // 2]
    label = f"{args.case}{'+acq' if args.acq else ''}"
    rep = f" (median of {len(runs)})" if len(runs) > 1 else ""
    print(f"numpy/scipy {label}: spins={args.spins} n={2 ** args.spins} rows={rows} "
          f"propagation={prop:.3f} s signal={sig:.3f} s wall={wall:.3f} s cpu={cpu:.3f} s{rep}")
    if args.compare:
        dm = read_dm(args.compare + "-dm.bin")
        dev = max(np.abs(dm[k] - states[k]).max() for k in range(rows))
        print(f"max deviation from {os.path.basename(args.compare)}: dm {dev:.3g}", end="")
        if traces is not None:
            sig = read_signal(args.compare + "-signal.bin")
            print(f", signal {max(np.abs(sig[k] - traces[k]).max() for k in range(rows)):.3g}", end="")
        print()


if __name__ == "__main__":
    main()
