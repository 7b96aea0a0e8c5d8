// Product-operator expressions, expectation profiles and voxel signals.
#include "prop_test_util.h"
#include "vynexpect.h"

using namespace proptest;

namespace {

std::string Parse(const char* text, int nspins, bool* ok) {
    char sym[VYN_OPSYM_LEN];
    *ok = parse_product_operator_string(text, nspins, sym);
    return sym;
}

TEST(OperatorStrings, AcceptedForms) {
    bool ok = false;
    for (const char* t : {"IxSz", "Ix Sz", "Ix_Sz", "I1xI2z", "ixsz", "  Ix,Sz;"}) {
        EXPECT_EQ(Parse(t, 2, &ok), "xz") << t;
        EXPECT_TRUE(ok) << t;
    }
    for (const char* t : {"E", "e", " e ", "E Ix"}) {
        EXPECT_EQ(Parse(t, 3, &ok), "eee") << t;
        EXPECT_TRUE(ok) << t;
    }
    EXPECT_EQ(Parse("I2x", 2, &ok), Parse("Sx", 2, &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(Parse("IxIz", 2, &ok), "ze");  // a spin named twice keeps the last component
    EXPECT_EQ(Parse("TyAx", 8, &ok), "eeyeeexe");
    EXPECT_TRUE(ok);
}

TEST(OperatorStrings, RefusedForms) {
    bool ok = true;
    for (const char* t : {"", "   ", "Ex", "I3x", "Tx", "Ix Qz", "Ix+Sz", "I", "Iq", "I0x", "S z", "Ix-Sz"}) {
        Parse(t, 2, &ok);
        EXPECT_FALSE(ok) << "'" << t << "'";
    }
}

TEST(OperatorStrings, LabelsAndBase4Numbers) {
    const std::string labels = "ISTUVWAB";
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(spin_labels_for(i), labels[i - 1]);
    EXPECT_EQ(spin_labels_for(32), 'Z');
    EXPECT_EQ(spin_labels_for(40), 'Z');
    EXPECT_EQ(spin_index_from_label('s', 2), 2);
    EXPECT_EQ(spin_index_from_label('T', 2), 0);
    EXPECT_EQ(spin_index_from_label('b', 8), 8);

    char sym[VYN_OPSYM_LEN], label[40];
    decimal_to_base4_symbols(6, 2, sym);  // 6 = 2 + 1*4: spin 1 y, spin 2 x
    EXPECT_STREQ(sym, "yx");
    format_operator_label(sym, 2, label, sizeof label);
    EXPECT_STREQ(label, "IYSX");
    decimal_to_base4_symbols(0, 3, sym);
    format_operator_label(sym, 3, label, sizeof label);
    EXPECT_STREQ(label, "E");
    decimal_to_base4_symbols(63, 3, sym);
    EXPECT_STREQ(sym, "zzz");
    // every number 0..4^3-1 maps to a distinct string that parses back to itself
    for (int k = 0; k < 64; ++k) {
        decimal_to_base4_symbols(k, 3, sym);
        format_operator_label(sym, 3, label, sizeof label);
        char back[VYN_OPSYM_LEN];
        ASSERT_TRUE(parse_product_operator_string(label, 3, back)) << label;
        EXPECT_STREQ(back, sym);
        int value = 0;
        for (int s = 2; s >= 0; --s) value = value * 4 + static_cast<int>(std::string("exyz").find(sym[s]));
        EXPECT_EQ(value, k);
    }
}

TEST(OperatorStrings, UndefinedAndTrim) {
    EXPECT_TRUE(is_undefined_operator_expression(nullptr));
    EXPECT_TRUE(is_undefined_operator_expression(""));
    EXPECT_TRUE(is_undefined_operator_expression(" \t "));
    EXPECT_TRUE(is_undefined_operator_expression("Not Defined"));
    EXPECT_TRUE(is_undefined_operator_expression("  not defined  "));
    EXPECT_FALSE(is_undefined_operator_expression("not defined yet"));
    EXPECT_FALSE(is_undefined_operator_expression("Ix"));
    char t[32] = "  Ix Sz \t";
    trim_operator_token(t);
    EXPECT_STREQ(t, "Ix Sz");
}

class OperatorMatrices : public WorkDirTest {};

// Independent construction: (sigma_a (x) sigma_b)/2 in the basis ++, +-, -+, --.
void Pauli(char c, std::complex<double> m[2][2]) {
    const std::complex<double> I(0, 1);
    m[0][0] = m[0][1] = m[1][0] = m[1][1] = 0;
    if (c == 'e') m[0][0] = m[1][1] = 1;
    if (c == 'x') m[0][1] = m[1][0] = 1;
    if (c == 'y') m[0][1] = -I, m[1][0] = I;
    if (c == 'z') m[0][0] = 1, m[1][1] = -1;
}

TEST_F(OperatorMatrices, ProductOperatorsAreNormalisedKroneckerProducts) {
    SetupSpinHalfSystem({0, 0}, {1, 1});
    const VYNSpinState& s = vyn_spin;
    CMatrix& op = Scratch(0);
    for (const char* sym : {"xz", "yx", "ez", "yy", "ee"}) {
        create_norm_operator_spinhalf(s.n, s.Nspins, s.Ilist, s.ket, sym, op);
        std::complex<double> a[2][2], b[2][2];
        Pauli(sym[0], a);
        Pauli(sym[1], b);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) {
                const std::complex<double> want = a[r / 2][c / 2] * b[r % 2][c % 2] / 2.0;  // unit Frobenius norm
                EXPECT_NEAR(std::abs(op(r + 1, c + 1) - want), 0.0, 1e-14) << sym << " " << r << c;
            }
    }
}

// The operator as typed is the plain sum of plain products of spin operators
// (built here from the single-spin matrices); the recorded factor turns <O>
// of the normalised operator into <T> of the typed one. Where the terms have
// different norms no factor does, and none is recorded.
TEST_F(OperatorMatrices, TypedOperatorIsTheNormalisedOneTimesItsFactor) {
    struct Case {
        int spins;
        const char* expression;
        std::vector<std::vector<std::pair<char, int>>> terms;  // (component, spin) per factor
        bool proportional;
    } cases[] = {
        {2, "Ix", {{{'x', 1}}}, true},
        {3, "Ix", {{{'x', 1}}}, true},
        {2, "Ix + Sz", {{{'x', 1}}, {{'z', 2}}}, true},
        {3, "I1x + I2z + Ty", {{{'x', 1}}, {{'z', 2}}, {{'y', 3}}}, true},
        {2, "IxSz", {{{'x', 1}, {'z', 2}}}, true},
        {2, "IxSz + SzIx", {{{'x', 1}, {'z', 2}}, {{'x', 1}, {'z', 2}}}, true},
        {3, "IxSzTz + IySy", {{{'x', 1}, {'z', 2}, {'z', 3}}, {{'y', 1}, {'y', 2}}}, false},
        {2, "Ix + IxSz", {{{'x', 1}}, {{'x', 1}, {'z', 2}}}, false},
    };
    for (const Case& c : cases) {
        SetupSpinHalfSystem(std::vector<double>(c.spins, 0.0), std::vector<double>(c.spins, 1.0));
        const VYNSpinState& s = vyn_spin;
        CMatrix &op = Scratch(0), &typed = Scratch(1), &prod = Scratch(2), &single = Scratch(3), &tmp = Scratch(4);
        CMatZero(s.n, typed);
        for (const auto& term : c.terms) {
            make_identity_operator(s.n, prod);
            for (const auto& f : term) {
                if (f.first == 'x') MakeMatrixIx(s.Ilist, s.ket, s.n, f.second, single);
                if (f.first == 'y') MakeMatrixIy(s.Ilist, s.ket, s.n, f.second, single);
                if (f.first == 'z') MakeMatrixIz(s.Ilist, s.ket, s.n, f.second, single);
                CMatMult(s.n, prod, single, tmp);
                CopyCMatrix(s.n, tmp, prod);
            }
            CMatAdd(s.n, typed, prod, typed);
        }
        ASSERT_TRUE(create_operator_expression_spinhalf(s.n, s.Nspins, s.Ilist, s.ket, c.expression, op))
            << c.expression;
        const double scale = vynexpect_operator_typed_scale();
        if (!c.proportional) {
            EXPECT_EQ(scale, 0.0) << c.expression;
            continue;
        }
        // <T> = scale x <O> on any state; the typed operator itself as state
        // makes the left side |T|^2.
        Complex2 t{}, o{};
        ExpectationValue(s.n, typed, typed, t);
        ExpectationValue(s.n, op, typed, o);
        EXPECT_GT(t[1], 0.0) << c.expression;
        EXPECT_NEAR(scale * o[1], t[1], 1e-12 * t[1]) << c.expression;
        EXPECT_NEAR(scale * scale, t[1], 1e-12 * t[1]) << c.expression;  // the factor is the norm of T
    }
}

TEST_F(OperatorMatrices, ExpressionsSumAndNormalise) {
    SetupSpinHalfSystem({0, 0, 0}, {1, 1, 1});
    const VYNSpinState& s = vyn_spin;
    CMatrix &e1 = Scratch(0), &e2 = Scratch(1), &ref = Scratch(2), &t = Scratch(3);
    ASSERT_TRUE(create_operator_expression_spinhalf(s.n, s.Nspins, s.Ilist, s.ket, "Ix + + Sz", e1));
    ASSERT_TRUE(create_operator_expression_spinhalf(s.n, s.Nspins, s.Ilist, s.ket, "Ix + Sz", e2));
    EXPECT_LT(MaxDiff(s.n, e1, e2), 1e-15);
    // (Ix/|Ix| + Sz/|Sz|) / norm, built from the single-spin operators
    NormalisedSingle('x', 1, ref);
    NormalisedSingle('z', 2, t);
    CMatAdd(s.n, ref, t, ref);
    NormCMatrix(s.n, ref);
    EXPECT_LT(MaxDiff(s.n, e1, ref), 1e-14);
    double norm2 = 0;
    for (int r = 1; r <= s.n; ++r)
        for (int c = 1; c <= s.n; ++c) norm2 += std::norm(e1(r, c));
    EXPECT_NEAR(norm2, 1.0, 1e-14);

    // refused expressions leave the output untouched
    CopyCMatrix(s.n, e1, t);
    for (const char* bad : {"Ix + Qz", "", "not defined", "Not Defined", "not defined yet", " + ", "I4x"})
        EXPECT_FALSE(create_operator_expression_spinhalf(s.n, s.Nspins, s.Ilist, s.ket, bad, e1)) << bad;
    EXPECT_EQ(MaxDiff(s.n, e1, t), 0.0);
}

TEST_F(OperatorMatrices, NonSpinHalfSystemsAreRefused) {
    VYNSpinState& s = vyn_spin;
    SetupSpinHalfSystem({0, 0}, {1, 1});
    s.quantnum[2] = 2;  // spin-1
    ASSERT_EQ(BuildSpinSystemFromPulseSequenceGlobals(), 1);
    ASSERT_EQ(s.n, 6);
    EXPECT_FALSE(create_operator_expression_spinhalf(s.n, s.Nspins, s.Ilist, s.ket, "Ix", Scratch(0)));
}

class ExpectationFiles : public WorkDirTest {};

// Matrix k is k * O, so <O> = k for the unit-norm operator O.
void WriteScaledOperatorFile(const char* path, const CMatrix& O, int count, int announced = -1) {
    const int n = vyn_spin.n;
    static CMatrix mats[8];
    std::vector<const CMatrix*> ptrs;
    for (int k = 1; k <= count; ++k) {
        RMultCMat(n, static_cast<double>(k), O, mats[k - 1]);
        ptrs.push_back(&mats[k - 1]);
    }
    WriteDensityFile(path, 0, n, ptrs, announced);
}

std::vector<std::string> Lines(const char* path) {
    std::ifstream f(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(f, l);) out.push_back(l);
    return out;
}

TEST_F(ExpectationFiles, ProfileRowsOfTwoByOneByThreeGrid) {
    SetupSpinHalfSystem({10, 20}, {1, 1});
    vyn_grid.ndx = 2;
    vyn_grid.ndy = 1;
    vyn_grid.ndz = 3;
    VYNSequenceState& q = vyn_sequence;
    q.x0 = -1.0, q.dx = 0.5, q.y0 = 2.0, q.dy = 9.0, q.z0 = 0.25, q.dz = 0.125;
    CMatrix& O = Scratch(0);
    create_norm_operator_spinhalf(vyn_spin.n, 2, vyn_spin.Ilist, vyn_spin.ket, "xz", O);
    WriteScaledOperatorFile("res.bin", O, 6);
    ASSERT_TRUE(VYNWriteExpectationProfile("res.bin", "IxSz", "profile.csv"));
    auto lines = Lines("profile.csv");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "# index,x_cm,y_cm,z_cm,expectation_re,expectation_im");
    for (int k = 1; k <= 6; ++k) {
        int idx = 0;
        double x, y, z, re, im;
        ASSERT_EQ(std::sscanf(lines[k].c_str(), "%d,%lf,%lf,%lf,%lf,%lf", &idx, &x, &y, &z, &re, &im), 6);
        EXPECT_EQ(idx, k);
        const int ix = (k - 1) / 3, iz = (k - 1) % 3;  // x changes every 3 rows, z fastest
        EXPECT_DOUBLE_EQ(x, -1.0 + 0.5 * ix);
        EXPECT_DOUBLE_EQ(y, 2.0);
        EXPECT_DOUBLE_EQ(z, 0.25 + 0.125 * iz);
        EXPECT_NEAR(re, k, 1e-13);
        EXPECT_NEAR(im, 0.0, 1e-13);
    }
}

TEST_F(ExpectationFiles, ProfileRefusesBadInputsWithoutOutput) {
    SetupSpinHalfSystem({0, 0}, {1, 1});
    CMatrix& O = Scratch(0);
    create_norm_operator_spinhalf(vyn_spin.n, 2, vyn_spin.Ilist, vyn_spin.ket, "xe", O);
    WriteScaledOperatorFile("trunc.bin", O, 4, 6);  // announces 6, holds 4
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteExpectationProfile("trunc.bin", "Ix", "p1.csv"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Expectation profile: truncated density matrix at point 5.\n");
    EXPECT_FALSE(FileExists("p1.csv"));

    WriteDensityFile("wrongn.bin", 0, 2, {&O});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteExpectationProfile("wrongn.bin", "Ix", "p2.csv"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Expectation profile: incompatible density header type=0 n=2 points=1; expected type=0 n=4.\n");
    EXPECT_FALSE(FileExists("p2.csv"));

    WriteScaledOperatorFile("ok.bin", O, 2);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteExpectationProfile("ok.bin", "Ix + Qz", "p3.csv"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Expectation profile: invalid operator expression 'Ix + Qz'.\n");
    EXPECT_FALSE(FileExists("p3.csv"));

    WriteScaledOperatorFile("empty.bin", O, 0);  // num2 = 0 is refused
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteExpectationProfile("empty.bin", "Ix", "p4.csv"));
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(FileExists("p4.csv"));

    // the profile written over its own input would destroy the saved result
    const auto saved = ReadBytes("ok.bin");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteExpectationProfile("ok.bin", "Ix", "./ok.bin"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadBytes("ok.bin"), saved);
}

void SetupAcquisitionSequence(int samples, double acq_s, double offset_hz) {
    DefineSector(1, 1, 1, 1, 1e-5, 0, "unused.bin", "pulse");
    DefineSector(2, 1, samples, 1, acq_s, offset_hz, "adc.bin", "ADC readout");
}

TEST_F(ExpectationFiles, VoxelSignalIsPrecessionOfTheChosenVoxel) {
    const double nu = 120.0;
    SetupSpinHalfSystem({nu}, {1});
    SetupAcquisitionSequence(8, 0.004, 0.0);
    CMatrix &a = Scratch(0), &b = Scratch(1);
    NormalisedSingle('z', 1, a);
    NormalisedSingle('x', 1, b);  // voxel 2 holds Ix/|Ix|
    WriteDensityFile("res.bin", 0, 2, {&a, &b, &a});
    // an unrelated dm.bin in the working directory survives the command
    WriteDensityFile("dm.bin", 0, 2, {&a, &a});
    const auto dm_before = ReadBytes("dm.bin");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(VYNWriteVoxelSignal("res.bin", 2, "voxel.bin"));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Wrote voxel 2 receiver signal to " + std::string(cwd) +
                                                          "/voxel.bin (samples=8 acquisition=0.004 s)."),
              std::string::npos);
    EXPECT_EQ(ReadBytes("dm.bin"), dm_before);
    const auto sig = ReadBytes("voxel.bin");
    ASSERT_EQ(sig.size(), 12u + 8 * 16);
    const Header h = HeaderOf(sig);
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.num1, 8);
    EXPECT_EQ(h.num2, 1);
    // rho_k = Ix cos(w t) - Iy sin(w t) (normalised), detected with normalised totals
    for (int k = 0; k < 8; ++k) {
        const double phi = kTwoPi * nu * k * 0.004 / 8;
        EXPECT_NEAR(std::abs(BodyValue(sig, k) - std::polar(1.0, -phi)), 0.0, 1e-12) << k;
    }
}

TEST_F(ExpectationFiles, VoxelSignalRefusals) {
    SetupSpinHalfSystem({0}, {1});
    CMatrix& a = Scratch(0);
    NormalisedSingle('x', 1, a);
    WriteDensityFile("res.bin", 0, 2, {&a, &a});
    SetupAcquisitionSequence(1000, 0.01, 0.0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteVoxelSignal("res.bin", 1, "v.bin"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Voxel signal: spatial sequence has no valid power-of-two ADC sector.\n");
    SetupAcquisitionSequence(16, 0.01, 0.0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteVoxelSignal("res.bin", 3, "v.bin"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Voxel signal: incompatible density file or point index (type=0 n=2 points=2 requested=3 "
              "expected_n=2).\n");
    WriteDensityFile("short.bin", 0, 2, {&a}, 3);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(VYNWriteVoxelSignal("short.bin", 3, "v.bin"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Voxel signal: truncated density matrix at point 2.\n");
    EXPECT_FALSE(FileExists("v.bin"));
    EXPECT_FALSE(FileExists("dm.bin"));
}

}  // namespace

namespace {

class InteractiveOperators : public WorkDirTest {
  protected:
    void Feed(const std::string& text) {
        FILE* f = std::fopen("stdin.txt", "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
        ASSERT_NE(std::freopen("stdin.txt", "r", stdin), nullptr);
    }
    // Runs the interactive definition on the fed input, returns its output.
    std::string Define(const std::string& input, CMatrix& out) {
        Feed(input);
        testing::internal::CaptureStdout();
        ExpectationOperator(vyn_spin.n, vyn_spin.Nspins, vyn_spin.Ilist, vyn_spin.ket, out);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(InteractiveOperators, ListBranchByNumberNameAndFallback) {
    SetupSpinHalfSystem({0, 0}, {1, 1});
    const VYNSpinState& s = vyn_spin;
    CMatrix &got = Scratch(0), &want = Scratch(1);
    std::string out = Define("1\n6\n", got);
    EXPECT_NE(out.find("Available operators:\n"), std::string::npos);
    EXPECT_NE(out.find("    6 : IYSX\n"), std::string::npos);
    EXPECT_NE(out.find("   15 : IZSZ\n"), std::string::npos);
    EXPECT_NE(out.find("Selected: IYSX (opno=6)\n"), std::string::npos);
    create_norm_operator_spinhalf(s.n, 2, s.Ilist, s.ket, "yx", want);
    EXPECT_LT(MaxDiff(s.n, got, want), 1e-15);

    out = Define("1\n99\n", got);  // clamped to 15
    EXPECT_NE(out.find("Selected: IZSZ (opno=15)\n"), std::string::npos);

    out = Define("1\n  ixSz\n", got);
    EXPECT_NE(out.find("Selected: IXSZ\n"), std::string::npos);
    create_norm_operator_spinhalf(s.n, 2, s.Ilist, s.ket, "xz", want);
    EXPECT_LT(MaxDiff(s.n, got, want), 1e-15);

    out = Define("1\nQq\n", got);
    EXPECT_NE(out.find("Could not parse operator string. Examples: Ix  Iy  Iz  IxSz  IxSzTz\n"
                       "Falling back to E (identity).\n"),
              std::string::npos);
    make_identity_operator(s.n, want);
    EXPECT_EQ(MaxDiff(s.n, got, want), 0.0);

    Define("1\n", got);  // end of input: identity
    EXPECT_EQ(MaxDiff(s.n, got, want), 0.0);
}

TEST_F(InteractiveOperators, ManualBranchBuildsProductsAndSums) {
    SetupSpinHalfSystem({0, 0}, {1, 1});
    const VYNSpinState& s = vyn_spin;
    CMatrix &got = Scratch(0), &want = Scratch(1), &t = Scratch(2);
    // OP1 = 3 Ix(1), OP2 = Iz(2), OP1 := OP1 * OP2, use: normalised 2 IxSz
    Define("2\n1\n1\n3\n3\n2\n2\n5\n1\n4\n5\n", got);
    create_norm_operator_spinhalf(s.n, 2, s.Ilist, s.ket, "xz", want);
    EXPECT_LT(MaxDiff(s.n, got, want), 1e-14);
    // OP1 = I+(1), OP2 = -1 * I-(1) ... OP1 + OP2 = I+ - I- = 2i Iy, normalised
    Define("2\n1\n1\n1\n1\n2\n1\n2\n-1\n3\n5\n", got);
    MakeMatrixIy(s.Ilist, s.ket, s.n, 1, t);
    Complex2 i{};
    i[1] = 0, i[2] = 1;
    CMultCMat(s.n, i, t, want);
    NormCMatrix(s.n, want);
    EXPECT_LT(MaxDiff(s.n, got, want), 1e-14);
    // spin number clamped to 2, unreadable type gives Iz and factor 1, end of input ends the menu
    std::string out = Define("2\n1\n7\nfoo\n", got);
    MakeMatrixIz(s.Ilist, s.ket, s.n, 2, want);
    NormCMatrix(s.n, want);
    EXPECT_LT(MaxDiff(s.n, got, want), 1e-14);
    EXPECT_NE(out.find("***                  (MANUAL MODE)                 ***"), std::string::npos);
}

TEST_F(InteractiveOperators, ExpectationValuesOfAllStoredMatrices) {
    SetupSpinHalfSystem({0, 0}, {1, 1});
    const int n = vyn_spin.n;
    CMatrix &O = Scratch(0), &a = Scratch(1), &b = Scratch(2);
    create_norm_operator_spinhalf(n, 2, vyn_spin.Ilist, vyn_spin.ket, "zx", O);
    RMultCMat(n, 0.25, O, a);
    NormalisedSingle('y', 2, b);
    WriteDensityFile("dm.bin", 0, n, {&a, &b, &a});
    Feed("1\nIzSx\n1\nvalues.txt\n\n");
    testing::internal::CaptureStdout();
    ExpValNDensMat();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Done. Press <Enter> to continue"), std::string::npos);
    auto lines = Lines("values.txt");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "# index    expectation_re    expectation_im");
    const double want[3] = {0.25, 0.0, 0.25};
    for (int k = 1; k <= 3; ++k) {
        int idx;
        double re, im;
        ASSERT_EQ(std::sscanf(lines[k].c_str(), "%d %lf %lf", &idx, &re, &im), 3);
        EXPECT_EQ(idx, k);
        EXPECT_NEAR(re, want[k - 1], 1e-15);
        EXPECT_NEAR(im, 0.0, 1e-15);
    }
    // raw binary variant: one double per stored matrix
    Feed("1\nIzSx\n2\nvalues.bin\n\n");
    testing::internal::CaptureStdout();
    ExpValNDensMat();
    testing::internal::GetCapturedStdout();
    const auto raw = ReadBytes("values.bin");
    ASSERT_EQ(raw.size(), 24u);
    double v[3];
    std::memcpy(v, raw.data(), 24);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(v[k], want[k], 1e-15);

    // a file announcing three matrices but holding two: the values of the two
    // are kept, the third is reported by number and row
    WriteDensityFile("dm.bin", 0, n, {&a, &b}, 3);
    Feed("1\nIzSx\n1\nshort.txt\n");
    testing::internal::CaptureStdout();
    ExpValNDensMat();
    const std::string out2 = testing::internal::GetCapturedStdout();
    EXPECT_NE(out2.find(">>> READ BINARY FILE ERROR <<< (dw=3 row=1)\n"), std::string::npos);
    EXPECT_EQ(out2.find("Done."), std::string::npos);
    EXPECT_EQ(Lines("short.txt").size(), 3u);
}

}  // namespace
