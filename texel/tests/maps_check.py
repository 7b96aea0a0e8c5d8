#!/usr/bin/python3
"""texel-maps checked from outside: masked features against scikit-image at sampled voxels,
the output geometry read back with nibabel, a --bin-width run against its hand-written
levels, and the refusals (non-zero exit, message, nothing written, inputs untouched).

usage: maps_check.py skimage|affine|binwidth|refusals PATH/TO/texel-maps
"""
import gzip
import hashlib
import math
import os
import subprocess
import sys
import tempfile

try:
    import nibabel as nib
    import numpy as np
    from skimage.feature import graycomatrix, graycoprops
except ImportError as e:  # reported as skipped by CTest
    print(f"skipped: {e}")
    sys.exit(77)

NAMES = ["contrast", "dissimilarity", "homogeneity", "asm", "energy", "max_probability", "entropy",
         "glcm_mean", "correlation", "glcm_variance"]
# a qform is a rotation with voxel sizes (here 30 degrees about z, a left-handed flip in x)
_C, _S = np.cos(np.pi / 6), np.sin(np.pi / 6)
QFORM = np.array([[-1.2 * _C, -0.9 * _S, 0.0, 40.0], [-1.2 * _S, 0.9 * _C, 0.0, -20.0], [0.0, 0.0, 2.5, 7.0],
                  [0, 0, 0, 1]])
SFORM = np.array([[1.1, 0.05, 0.0, -3.5], [0.02, 1.0, 0.0, 12.25], [0.0, 0.1, 3.0, -1.0], [0, 0, 0, 1]])


def save(path, data, affine=SFORM, qform=QFORM):
    img = nib.Nifti1Image(data, affine)
    img.set_qform(qform, code=1)
    img.set_sform(affine, code=2)
    nib.save(img, path)


def run(exe, *args):
    p = subprocess.run([exe, *map(str, args)], capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout + p.stderr


def test_image(shape=(30, 26, 4), seed=4):
    """Smooth structure plus noise, real valued, and an ellipsoid-like mask."""
    rng = np.random.default_rng(seed)
    x, y, z = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    data = (50 + 20 * np.sin(x / 3.0) * np.cos(y / 4.0) + 5 * z + rng.normal(0, 6, shape)).astype(np.float32)
    mask = (((x - 14.5) / 12.0) ** 2 + ((y - 12.0) / 10.0) ** 2 <= 1.0).astype(np.uint8)
    return data, mask


def skimage_features(window, inside, L):
    """Ten four-direction averages of one window from scikit-image's matrices; pairs with a
    voxel outside the mask are dropped, directions without pairs leave the average."""
    w = np.where(inside, window, L).astype(np.uint16)  # extra level L marks outside voxels
    # angles 0, 45, 90, 135 degrees: offsets (0,1), (1,1), (1,0), (1,-1) in (row, column)
    glcm = graycomatrix(w, [1], [0, np.pi / 4, np.pi / 2, 3 * np.pi / 4], levels=L + 1, symmetric=True)
    glcm = glcm[:L, :L, :, :].astype(np.float64)
    out, used = np.zeros(10), 0
    i, j = np.meshgrid(np.arange(L), np.arange(L), indexing="ij")
    for a in range(4):
        m = glcm[:, :, 0, a]
        if m.sum() == 0:
            continue
        used += 1
        p = m / m.sum()
        props = {k: graycoprops(glcm[:, :, :, a:a + 1], k)[0, 0] for k in
                 ("contrast", "dissimilarity", "homogeneity", "ASM", "energy", "correlation")}
        mu = (i * p).sum()
        nz = p[p > 0]
        out += [props["contrast"], props["dissimilarity"], props["homogeneity"], props["ASM"], props["energy"],
                p.max(), -(nz * np.log(nz)).sum(), mu, props["correlation"], ((i - mu) ** 2 * p).sum()]
    return out / used if used else None


def discretise(values, L):
    lo, hi = values.min(), values.max()
    return np.minimum(L - 1, np.floor(L * (values - lo) / (hi - lo))).astype(np.int64)


def check_skimage(exe, tmp):
    data, mask = test_image()
    P, Q, L = 2, 1, 8
    mask[3:27, 24, :] = 1  # a one-row strip: only the horizontal direction has pairs there
    mask[2, 1, :] = 1  # isolated voxels: no pair at all, every feature NaN
    save(f"{tmp}/img.nii.gz", data)
    save(f"{tmp}/mask.nii.gz", mask)
    rc, log = run(exe, f"{tmp}/img.nii.gz", f"{tmp}/out", "--window", f"{P},{Q}", "--levels", L,
                  "--mask", f"{tmp}/mask.nii.gz", "--gpu", "off", "--threads", 2)
    assert rc == 0, log
    maps = [nib.load(f"{tmp}/out/{n}.nii.gz").get_fdata(dtype=np.float64) for n in NAMES]
    inside = mask != 0
    lev = np.zeros(data.shape, np.int64)
    lev[inside] = discretise(data[inside].astype(np.float64), L)
    X, Y, Z = data.shape
    fits = np.zeros(data.shape, bool)
    fits[P:X - P, Q:Y - Q, :] = True
    undefined = ~(inside & fits)
    undefined[2, 1, :] = True
    for n, m in zip(NAMES, maps):  # NaN outside the mask, where no window fits, where no pair counts
        if n == "correlation":  # also NaN where a direction's matrix has no variance
            assert np.isnan(m[undefined]).all(), "correlation defined outside"
        else:
            assert np.array_equal(np.isnan(m), undefined), f"{n}: NaN pattern differs from mask and border"
    rng = np.random.default_rng(9)
    candidates = np.argwhere(inside & fits)
    sample = candidates[rng.choice(len(candidates), 80, replace=False)]
    sample = np.concatenate([sample, [[x, 24, z] for x, z in ((4, 0), (13, 1), (25, 3))]])
    worst, border = 0.0, 0
    for x, y, z in sample:
        win = lev[x - P:x + P + 1, y - Q:y + Q + 1, z].T  # rows y, columns x
        ins = inside[x - P:x + P + 1, y - Q:y + Q + 1, z].T
        border += not ins.all()
        want = skimage_features(win, ins, L)
        got = np.array([m[x, y, z] for m in maps])
        assert want is not None, f"voxel {x},{y},{z}: no pair in the window"
        if math.isnan(got[8]):  # a direction without variance: scikit-image reports 1, we NaN
            got[8], want[8] = 0.0, 0.0
        # relative to the feature's size; correlation lies in -1..1 and is measured against 1
        scale = np.maximum(np.abs(want), [0, 0, 0, 0, 0, 0, 0, 0, 1, 0])
        rel = np.abs(got - want) / np.where(scale > 0, scale, 1)
        worst = max(worst, rel.max())
        assert np.all(rel <= 1e-6), f"voxel {x},{y},{z}: got {got} want {want} rel {rel}"
    assert border >= 10, f"only {border} sampled windows cross the mask border"
    print(f"skimage: {len(sample)} voxels ({border} at the mask border, 3 on a one-row strip), "
          f"worst relative difference {worst:.2e}")


def check_affine(exe, tmp):
    data, mask = test_image((20, 18, 3))
    for ext in ("nii", "nii.gz", "n2.nii"):
        if ext == "n2.nii":  # NIfTI-2 input, NIfTI-1 maps with the same geometry
            img = nib.Nifti2Image(data.astype(np.float64), SFORM)
            img.set_qform(QFORM, code=1)
            img.set_sform(SFORM, code=2)
            nib.save(img, f"{tmp}/img.{ext}")
        else:
            save(f"{tmp}/img.{ext}", data.astype(np.int16))
        rc, log = run(exe, f"{tmp}/img.{ext}", f"{tmp}/out{ext}", "--window", "1,2", "--levels", 16, "--gpu", "off")
        assert rc == 0, log
        src = nib.load(f"{tmp}/img.{ext}")
        want_q = src.get_qform()
        if ext == "n2.nii":  # NIfTI-1 keeps the quaternion in single precision
            one = nib.Nifti1Image(np.zeros((1, 1, 1), np.float32), None)
            one.set_qform(want_q, code=1)
            want_q = one.get_qform()
        for n in NAMES:
            out = nib.load(f"{tmp}/out{ext}/{n}.nii.gz")
            assert out.shape == data.shape and out.get_data_dtype() == np.float32, n
            q, qc = out.get_qform(coded=True)
            s, sc = out.get_sform(coded=True)
            assert qc == 1 and sc == 2, f"{n}: codes {qc}, {sc}"
            assert np.allclose(q, want_q, atol=1e-5), f"{n}: qform {q}"
            assert np.allclose(s, src.get_sform(), atol=1e-5), f"{n}: sform {s}"
            assert np.allclose(out.header.get_zooms(), src.header.get_zooms(), atol=1e-6), n
    print("affine: qform and sform of the input on all ten maps, .nii, .nii.gz and NIfTI-2 input")


def check_binwidth(exe, tmp):
    # Intensities whose levels floor((v - 0.25) / 0.5) are written out by hand; an integer
    # image holding those levels must give the same maps bit for bit.
    vals = np.array([[0.25, 0.7, 0.75, 1.2, 3.05, 4.0],
                     [1.75, 2.0, 0.3, 2.74, 2.76, 1.25],
                     [3.3, 0.26, 1.74, 3.76, 2.25, 0.9],
                     [2.5, 1.0, 3.5, 0.5, 2.9, 1.6]], np.float64)
    levels = np.array([[0, 0, 1, 1, 5, 7],
                       [3, 3, 0, 4, 5, 2],
                       [6, 0, 2, 7, 4, 1],
                       [4, 1, 6, 0, 5, 2]], np.int16)
    real = np.stack([vals.T, vals.T[::-1]], axis=2)  # (x, y, z) with x along the columns
    ints = np.stack([levels.T, levels.T[::-1]], axis=2)
    save(f"{tmp}/real.nii.gz", real)
    save(f"{tmp}/ints.nii.gz", ints)
    rc, log = run(exe, f"{tmp}/real.nii.gz", f"{tmp}/a", "--window", "1,1", "--bin-width", 0.5, "--gpu", "off")
    assert rc == 0 and "8 levels" in log, log
    rc, log = run(exe, f"{tmp}/ints.nii.gz", f"{tmp}/b", "--window", "1,1", "--levels", 8, "--gpu", "off")
    assert rc == 0 and "used as they are" in log, log
    for n in NAMES:
        a = np.asarray(nib.load(f"{tmp}/a/{n}.nii.gz").dataobj)
        b = np.asarray(nib.load(f"{tmp}/b/{n}.nii.gz").dataobj)
        assert a.tobytes() == b.tobytes(), f"{n}: bin-width maps differ from the hand-written levels' maps"
        assert np.isfinite(a[1:-1, 1:-1, :]).any(), n
    print("binwidth: maps of --bin-width 0.5 equal those of the hand-written levels")


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_refusals(exe, tmp):
    data, mask = test_image((24, 20, 3))
    save(f"{tmp}/img.nii.gz", data)
    save(f"{tmp}/mask.nii.gz", mask)
    save(f"{tmp}/mask_small.nii.gz", mask[:-1])
    save(f"{tmp}/mask_moved.nii.gz", mask, affine=SFORM + np.diag([0.5, 0, 0, 0]))
    save(f"{tmp}/empty.nii.gz", np.zeros_like(mask))
    nan_in = data.copy()
    nan_in[12, 10, 1] = np.nan
    save(f"{tmp}/nan_in.nii.gz", nan_in)
    inf_in = data.copy()
    inf_in[11, 9, 0] = np.inf
    save(f"{tmp}/inf_in.nii", inf_in)
    nan_out = data.copy()
    nan_out[0, 0, 0] = np.nan  # outside the mask: accepted
    save(f"{tmp}/nan_out.nii.gz", nan_out)
    save(f"{tmp}/four_d.nii.gz", np.stack([data, data], axis=3))
    save(f"{tmp}/plain.nii", data)
    raw = open(f"{tmp}/plain.nii", "rb").read()
    open(f"{tmp}/cut.nii", "wb").write(raw[:len(raw) - 100])
    open(f"{tmp}/cut.nii.gz", "wb").write(gzip.compress(raw)[:2000])
    open(f"{tmp}/junk.nii", "wb").write(os.urandom(600))
    os.makedirs(f"{tmp}/same", exist_ok=True)
    save(f"{tmp}/same/contrast.nii.gz", data)
    img, msk = f"{tmp}/img.nii.gz", f"{tmp}/mask.nii.gz"
    w = ["--window", "2,2"]
    cases = [  # (name, input, extra arguments, part of the message)
        ("mask of another size", img, w + ["--mask", f"{tmp}/mask_small.nii.gz"], "grid"),
        ("mask with another affine", img, w + ["--mask", f"{tmp}/mask_moved.nii.gz"], "not the same grid"),
        ("empty mask", img, w + ["--mask", f"{tmp}/empty.nii.gz"], "no voxel"),
        ("levels 1", img, w + ["--levels", "1"], "from 2 to 256"),
        ("levels 257", img, w + ["--levels", "257"], "from 2 to 256"),
        ("levels and bin width", img, w + ["--levels", "8", "--bin-width", "1"], "not both"),
        ("bin width too small", img, w + ["--bin-width", "0.01"], "at most 256"),
        ("bin width not positive", img, w + ["--bin-width", "-1"], "positive"),
        ("window wider than the image", img, ["--window", "12,1"], "does not fit"),
        ("window taller than the image", img, ["--window", "1,10"], "does not fit"),
        ("window zero", img, ["--window", "0,2"], "P, Q >= 1"),
        ("no window", img, [], "--window"),
        ("NaN inside the mask", f"{tmp}/nan_in.nii.gz", w + ["--mask", msk], "not finite"),
        ("infinity inside the image", f"{tmp}/inf_in.nii", w, "not finite"),
        ("two volumes", f"{tmp}/four_d.nii.gz", w, "one 3-D volume"),
        ("truncated file", f"{tmp}/cut.nii", w, "truncated"),
        ("truncated gzip", f"{tmp}/cut.nii.gz", w, "truncated"),
        ("not NIfTI", f"{tmp}/junk.nii", w, "cannot read"),
        ("missing file", f"{tmp}/none.nii", w, "cannot read"),
        ("mask unreadable", img, w + ["--mask", f"{tmp}/junk.nii"], "cannot read"),
        ("gpu value", img, w + ["--gpu", "maybe"], "auto or off"),
        ("output over the input", f"{tmp}/same/contrast.nii.gz", w, "is an input file"),
    ]
    before = {f: digest(f"{tmp}/{f}") for f in ("img.nii.gz", "mask.nii.gz", "same/contrast.nii.gz")}
    for name, inp, extra, message in cases:
        out = f"{tmp}/same" if name == "output over the input" else f"{tmp}/out"
        listing = sorted(os.listdir(out)) if os.path.isdir(out) else None
        rc, log = run(exe, inp, out, *extra, "--gpu" if "--gpu" not in extra else "--threads",
                      "off" if "--gpu" not in extra else "1")
        assert rc != 0, f"{name}: accepted\n{log}"
        assert message in log, f"{name}: message lacks '{message}':\n{log}"
        now = sorted(os.listdir(out)) if os.path.isdir(out) else None
        assert now == listing, f"{name}: output directory changed: {now}"
    after = {f: digest(f"{tmp}/{f}") for f in before}
    assert before == after, "an input file changed"
    rc, log = run(exe, f"{tmp}/nan_out.nii.gz", f"{tmp}/ok", *w, "--mask", msk, "--gpu", "off")
    assert rc == 0, f"NaN outside the mask refused:\n{log}"
    print(f"refusals: {len(cases)} refused with their messages, nothing written; NaN outside the mask accepted")


def main():
    group, exe = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="texel-maps-") as tmp:
        {"skimage": check_skimage, "affine": check_affine, "binwidth": check_binwidth,
         "refusals": check_refusals}[group](exe, tmp)


if __name__ == "__main__":
    main()
