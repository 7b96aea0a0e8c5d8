// NIfTI-MRS input: files written by an independent writer (nibabel, through
// scripts/qorvane-make-nifti-mrs) with known lines fit back to those lines; every rule of the
// format that the reader enforces is refused with its reason and nothing written.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_transforms.h"
#include "qorvane_volume_job.h"
#include "qvolume_test_support.h"

using namespace qfit_test;
using qvol_test::run_main;
using qvol_test::VolRun;

namespace {

const int kPoints = 256;
const double kDwell = 1e-3;  // SW 1000 Hz

std::string make_nifti(const std::string& dir, const std::string& name, const std::string& args) {
    const std::string path = dir + "/" + name;
    const std::string cmd = "/usr/bin/python3 " QORVANE_SCRIPTS_DIR "/qorvane-make-nifti-mrs '" + path + "' " + args;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return path;
}

// Two Lorentzian lines near the generator's voxel-0 lines, on the fitter's axis (nu + SW/2).
ParFile nifti_par(int n = kPoints, double hzpp = 1.0 / (kPoints * kDwell)) {
    ParFile p;
    p.n = n;
    p.hzpp = hzpp;
    p.ftol = 1e-12;
    p.noistr = 2;  // line tails only: the Cramer-Rao bounds need a noise level
    p.noistp = 40;
    p.start = {{2, 95.0, 618.0, 7.5, 5.0, 0.0}, {2, 63.0, 351.0, 11.0, -15.0, 0.0}};
    Step s;
    s.gauss = 1;
    s.loren = 0;
    s.niter = 600;
    s.intervals = {{1, n - 1}};
    p.steps = {s};
    return p;
}

nlohmann::json read_json(const std::string& path) { return nlohmann::json::parse(read_text(path)); }

// Fitted rows against the truth of voxel `v`: area, nu + SW/2, width, phase within 1e-6 relative.
void expect_lines(const std::vector<std::vector<double>>& mat, const nlohmann::json& truth, int v) {
    const nlohmann::json& lines = truth["voxels"][v]["lines"];
    ASSERT_EQ(mat.size(), lines.size());
    const double half_sw = 0.5 / truth["dwell"].get<double>();
    for (size_t i = 0; i < mat.size(); ++i) {
        const double want[4] = {lines[i]["area"], lines[i]["nu_hz"].get<double>() + half_sw, lines[i]["width_hz"],
                                lines[i]["phase_deg"]};
        const double got[4] = {mat[i][0], mat[i][1], std::fabs(mat[i][2]), mat[i][3]};
        for (int q = 0; q < 4; ++q)
            EXPECT_NEAR(got[q], want[q], 1e-6 * std::fabs(want[q])) << "line " << i + 1 << " value " << q;
    }
}

}  // namespace

// The conversion equals the model's own spectrum of the stored line (plain DFT with the first
// point halved, peak at nu + SW/2): a missing halving, a wrong sign or rotation all differ.
TEST(NiftiMrsTransform, StoredFidGivesTheModelSpectrum) {
    const int n = 64;
    const double hzpp = 10.0;  // dwell 1/640 s
    struct Case {
        double area, nu_hz, width_hz, phase_deg;
    } cases[] = {{3.0, 70.0, 15.0, 25.0}, {1.5, -120.5, 6.0, -60.0}, {2.0, 0.0, 30.0, 0.0}};
    for (const Case& c : cases) {
        std::vector<double> fid(2 * n), work(2 * n), re(n), im(n);
        for (int k = 0; k < n; ++k) {
            const double t = k / (n * hzpp);
            const std::complex<double> s =
                c.area * std::polar(1.0, c.phase_deg * M_PI / 180.0) *
                std::exp(std::complex<double>(-M_PI * c.width_hz * t, 2 * M_PI * c.nu_hz * t));
            fid[2 * k] = s.real();
            fid[2 * k + 1] = s.imag();
        }
        qorvane_fid_to_spectrum(n, fid.data(), work.data(), re.data(), im.data());
        const auto want = make_spectrum(
            n, lines_in_points({{2, c.area, c.nu_hz + 0.5 * n * hzpp, c.width_hz, c.phase_deg, 0.0}}, hzpp));
        for (int j = 0; j < n; ++j) {
            EXPECT_NEAR(re[j], want[j].real(), 1e-9 * c.area * n) << "point " << j << " nu " << c.nu_hz;
            EXPECT_NEAR(im[j], want[j].imag(), 1e-9 * c.area * n) << "point " << j << " nu " << c.nu_hz;
        }
    }
}

struct NiftiFixture : ::testing::Test {
    std::string dir;
    void SetUp() override {
        dir = make_temp_dir("nifti");
        write_text(dir + "/fit.par", compact_par(nifti_par()));
    }
    void TearDown() override { remove_tree(dir); }
    VolRun fit_single(const std::string& name) { return run_main({dir, name, dir + "/fit.par"}); }
};

// NIfTI-1 and NIfTI-2, .nii and .nii.gz, complex64 and complex128, dwell in s or ms; the ppm
// reference from the header's ChemicalShiftReference, else 4.65.
TEST_F(NiftiFixture, SingleVoxelFitsBackTheStoredLines) {
    struct Case {
        const char* name;
        const char* args;
        const char* ppm;  // the report's ppm rule
    } cases[] = {
        {"a.nii.gz", "--version 2 --dtype complex64", "ppm = 4.65 + nu / 123.2 MHz (no reference in the header"},
        {"b.nii", "--version 2 --dtype complex128 --ppm-ref 4.7",
         "ppm = 4.7 + nu / 123.2 MHz (ChemicalShiftReference of the header)"},
        {"c.nii", "--version 1 --dtype complex64", "ppm = 4.65 + nu"},
        {"d.nii.gz", "--version 1 --dtype complex128 --fault ms-units --ppm-ref -2.5", "ppm = -2.5 + nu / 123.2 MHz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make_nifti(dir, c.name,
                   std::string("--shape 1 1 1 256 --dwell 0.001 --truth ") + dir + "/truth.json " + c.args);
        VolRun r = fit_single(c.name);
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(r.err.find(c.ppm), std::string::npos) << r.err;
        const std::string stem = std::string(c.name).substr(0, 1);
        expect_lines(read_matrix(dir + "/" + stem + ".mat"), read_json(dir + "/truth.json"), 0);
    }
    // A plain "e.nii" of other data beside "e.nii.gz" (a copy unpacked and kept, say): the .gz
    // is read, not refused as corrupt and not mixed with its neighbour.
    make_nifti(dir, "e.nii", "--shape 2 1 1 128 --dwell 0.002 --version 1");
    make_nifti(dir, "e.nii.gz", std::string("--shape 1 1 1 256 --dwell 0.001 --truth ") + dir + "/truth.json");
    VolRun r = fit_single("e.nii.gz");
    ASSERT_EQ(r.rc, 0) << r.err;
    expect_lines(read_matrix(dir + "/e.mat"), read_json(dir + "/truth.json"), 0);
}

// Each rule: refused with exit code 2 and its reason, and no result file written.
TEST_F(NiftiFixture, RefusalsNameTheirReasonAndWriteNothing) {
    struct Case {
        const char* name;
        const char* args;  // generator arguments; empty: the file is made by `edit` below
        const char* par;   // "" = the matching parameter file
        const char* reason;
    } cases[] = {
        {"noext.nii.gz", "--fault no-ext", "", "no NIfTI-MRS header extension (ecode 44)"},
        {"badjson.nii.gz", "--fault bad-json", "", "is not a JSON object"},
        {"nosf.nii", "--fault no-sf", "", "lacks the required key SpectrometerFrequency"},
        {"nonuc.nii", "--fault no-nucleus", "", "lacks the required key ResonantNucleus"},
        {"real.nii", "--fault real-data", "", "must be complex"},
        {"coil.nii.gz", "--fault coil:4", "", "(DIM_COIL) has 4 entries"},
        {"ppmref.nii", "--ppm-ref bad", "", "ChemicalShiftReference must be a number (ppm)"},
        {"npnts.nii", "", "npnts", "n_pnts 512 of the parameter file differs"},
        {"hzpp.nii", "", "hzpp", "of the parameter file differs from the NIfTI-MRS file's 1/(N dwell)"},
        {"cut.nii", "", "", "truncated"},
        {"cut.nii.gz", "", "", "truncated or corrupt"},
        {"garbage.nii", "", "", "cannot read a NIfTI header"},
        {"multi.nii", "--shape 2 1 1 256 --dwell 0.001", "", "single-spectrum mode fits one"},
    };
    write_text(dir + "/npnts.par", compact_par(nifti_par(512, 1000.0 / 512)));
    write_text(dir + "/hzpp.par", compact_par(nifti_par(kPoints, 3.90625 * (1 + 2e-6))));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.name;
        std::string args = c.args;
        if (args.find("--shape") == std::string::npos) args += " --shape 1 1 1 256 --dwell 0.001";
        const std::string path = make_nifti(dir, name, args);
        if (name.rfind("cut", 0) == 0) {
            const std::string bytes = read_text(path);
            write_text(path, bytes.substr(0, bytes.size() - (name == "cut.nii" ? 100 : 40)));
        }
        if (name == "garbage.nii") write_text(path, std::string(600, 'x'));
        const std::string par = c.par[0] != '\0' ? dir + "/" + c.par + ".par" : dir + "/fit.par";
        VolRun r = run_main({dir, name, par});
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        const std::string stem = name.substr(0, name.find('.'));
        EXPECT_FALSE(file_exists(dir + "/" + stem + ".mat"));
        EXPECT_FALSE(file_exists(dir + "/" + stem + ".res"));
    }
}

// Hz_p_p within 1e-6 relative of 1/(N dwell) is the same axis: accepted.
TEST_F(NiftiFixture, AxisWithinToleranceIsAccepted) {
    write_text(dir + "/near.par", compact_par(nifti_par(kPoints, 3.90625 * (1 + 5e-7))));
    make_nifti(dir, "near.nii", "--shape 1 1 1 256 --dwell 0.001");
    VolRun r = run_main({dir, "near.nii", dir + "/near.par"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(file_exists(dir + "/near.mat"));
}

// A masked MRSI through the volume job: every voxel inside the mask fits back its own lines,
// none outside is fitted; the file is read by slabs, so voxels of every plane are checked.
TEST_F(NiftiFixture, VolumeFitsEachMaskedVoxelBackToItsLines) {
    const std::string vol =
        make_nifti(dir, "mrsi.nii.gz",
                   "--shape 2 2 3 256 --dwell 0.001 --mask " + dir + "/mask.nii.gz --truth " + dir + "/truth.json");
    const nlohmann::json truth = read_json(dir + "/truth.json");
    // Plain files of the same names beside both (other lines; a mask of every voxel): the .gz
    // files are the ones read.
    make_nifti(dir, "mrsi.nii", "--shape 2 2 3 256 --dwell 0.001 --seed 5 --version 1");
    const std::string ones =
        "/usr/bin/python3 -c \"import nibabel as n, numpy as np; n.save(n.Nifti1Image("
        "np.ones((2, 2, 3), np.uint8), np.eye(4)), '" +
        dir + "/mask.nii')\"";
    ASSERT_EQ(std::system(ones.c_str()), 0);
    const double saved = g_qorvane_nifti_slab_bytes;
    for (double slab_bytes : {saved, 1.0}) {  // the whole volume in one slab; one plane per slab
        SCOPED_TRACE(slab_bytes);
        g_qorvane_nifti_slab_bytes = slab_bytes;
        remove_tree(dir + "/out");
        VolRun r = qvol_test::run_volume(vol, dir + "/fit.par", dir + "/out", dir + "/work", 2,
                                         {"--mask", dir + "/mask.nii.gz", "--per-voxel-files"});
        g_qorvane_nifti_slab_bytes = saved;
        ASSERT_EQ(r.rc, 0) << r.err;
        int inside = 0;
        for (const auto& v : truth["voxels"]) {
            const std::string id = "x" + std::to_string(v["x"].get<int>()) + "_y" + std::to_string(v["y"].get<int>()) +
                                   "_z" + std::to_string(v["z"].get<int>());
            SCOPED_TRACE(id);
            const std::string mat = dir + "/out/voxel_" + id + ".mat";
            if (v["mask"].get<int>() == 0) {
                EXPECT_FALSE(file_exists(mat));
                continue;
            }
            ++inside;
            expect_lines(read_matrix(mat), truth, v["voxel"].get<int>());
        }
        // The mask leaves some voxels out, and exactly the voxels inside it were fitted.
        EXPECT_GT(inside, 0);
        EXPECT_LT(inside, (int)truth["voxels"].size());
        int fitted = 0;
        for (const std::string& name : qvol_test::list_dir(dir + "/out"))
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mat") == 0) ++fitted;
        EXPECT_EQ(fitted, inside);
    }
}

// Volume-mode refusals: the job ends with exit code 2 before any voxel is fitted.
TEST_F(NiftiFixture, VolumeRefusesAMaskOfAnotherGridAndAnotherAxis) {
    const std::string vol = make_nifti(dir, "mrsi.nii", "--shape 2 2 1 256 --dwell 0.001 --mask " + dir + "/m.nii.gz");
    make_nifti(dir, "other.nii", "--shape 3 2 1 256 --dwell 0.001 --mask " + dir + "/other_mask.nii.gz");
    write_text(dir + "/hzpp.par", compact_par(nifti_par(kPoints, 2 * 3.90625)));
    struct Case {
        const char* par;
        const char* mask;
        const char* reason;
    } cases[] = {
        {"fit.par", "other_mask.nii.gz", "the mask's grid differs from the input volume's (3 x 2 x 1 for 2 x 2 x 1)"},
        {"hzpp.par", "m.nii.gz", "1/(N dwell)"},
        {"fit.par", "absent.nii.gz", "cannot read the mask"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string out = dir + "/out_" + c.par + c.mask;
        VolRun r = qvol_test::run_volume(vol, dir + "/" + c.par, out, dir + "/work", 1, {"--mask", dir + "/" + c.mask});
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(qvol_test::count_lines(r.err, "Volume progress"), 0);
    }
}

// The maps, read back with nibabel: each voxel inside the mask holds its own lines (nu as the
// relative frequency), the voxels outside are NaN with status 0, and every map carries the
// input's qform and sform.
TEST_F(NiftiFixture, VolumeMapsHoldTheStoredLinesOnTheInputGrid) {
    const std::string vol = make_nifti(
        dir, "mrsi.nii",
        "--shape 3 2 2 256 --dwell 0.001 --version 1 --mask " + dir + "/mask.nii.gz --truth " + dir + "/truth.json");
    VolRun r =
        qvol_test::run_volume(vol, dir + "/fit.par", dir + "/out", dir + "/work", 2, {"--mask", dir + "/mask.nii.gz"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(qvol_test::list_dir(dir + "/out").size(), 3u);  // the two tables and maps/, no per-voxel files
    EXPECT_NE(r.out.find("NIfTI-MRS scan complete.\nNIfTI-MRS records total: 12\n"), std::string::npos) << r.out;
    const std::string dump = dir + "/maps.json";
    const std::string py =
        "import json,sys,glob,os,nibabel as nib,numpy as np\n"
        "src=nib.load(sys.argv[1]); out={}\n"
        "for p in glob.glob(sys.argv[2]+'/maps/*.nii.gz'):\n"
        "  i=nib.load(p); n=os.path.basename(p)[:-7]\n"
        "  out[n]={'v':[None if np.isnan(x) else float(x) for x in np.asarray(i.dataobj).ravel(order='F')],\n"
        "    'qform':bool(np.allclose(i.header.get_qform(),src.header.get_qform())),\n"
        "    'sform':bool(np.allclose(i.header.get_sform(),src.header.get_sform())),\n"
        "    'codes':[int(i.header['qform_code']),int(i.header['sform_code'])]==[int(src.header['qform_code']),"
        "int(src.header['sform_code'])],'shape':list(i.shape),\n"
        "    'descrip':i.header['descrip'].tobytes().rstrip(b'\\0').decode()}\n"
        "json.dump(out,open(sys.argv[3],'w'))\n";
    write_text(dir + "/dump.py", py);
    ASSERT_EQ(std::system(("/usr/bin/python3 " + dir + "/dump.py " + vol + " " + dir + "/out " + dump).c_str()), 0);
    const nlohmann::json maps = read_json(dump), truth = read_json(dir + "/truth.json");
    ASSERT_EQ(maps.size(), 2u * 6 + 2);
    for (auto it = maps.begin(); it != maps.end(); ++it) {
        SCOPED_TRACE(it.key());
        EXPECT_TRUE(it.value()["qform"].get<bool>() && it.value()["sform"].get<bool>() &&
                    it.value()["codes"].get<bool>());
        EXPECT_EQ(it.value()["shape"], nlohmann::json::array({3, 2, 2}));
        // a frequency map says how its values give ppm
        if (it.key().find("frequency_hz") != std::string::npos) {
            EXPECT_EQ(it.value()["descrip"].get<std::string>(), "nu Hz; ppm = 4.65 + nu / 123.2 MHz");
        }
    }
    const char* const fields[4][2] = {
        {"area", "area"}, {"frequency_hz", "nu_hz"}, {"width1_hz", "width_hz"}, {"phase_deg", "phase_deg"}};
    for (const auto& v : truth["voxels"]) {
        const int i = v["voxel"].get<int>();
        SCOPED_TRACE(i);
        const bool inside = v["mask"].get<int>() != 0;
        EXPECT_EQ(maps["status"]["v"][i].get<double>(), inside ? 1.0 : 0.0);
        EXPECT_EQ(maps["chi2"]["v"][i].is_null(), !inside);
        for (size_t k = 0; k < v["lines"].size(); ++k) {
            const std::string prefix = "L" + std::to_string(k + 1) + "_";
            for (const auto& f : fields) {
                const nlohmann::json& got = maps[prefix + f[0]]["v"][i];
                if (!inside) {
                    EXPECT_TRUE(got.is_null()) << prefix + f[0];
                    continue;
                }
                const double want = v["lines"][k][f[1]].get<double>();
                ASSERT_FALSE(got.is_null()) << prefix + f[0];
                EXPECT_NEAR(got.get<double>(), want, 1e-6 * std::fabs(want)) << prefix + f[0];
            }
            EXPECT_EQ(maps[prefix + "area_sd"]["v"][i].is_null(), !inside);
        }
    }
}
