// Interactive operator definition, expectation values of stored density
// matrices, expectation profiles and single-voxel receiver signals.
#include "vynexpect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "binaryfilehandling.h"
#include "consuleutil.h"
#include "vynpaths.h"

namespace {
constexpr int kMaxSpins = 8;

CMatrix vx_op1, vx_op2, vx_tmp;  // manual-branch operators
CMatrix vx_operator;             // operator of the expectation outputs
CMatrix vx_state;                // density matrix being read

void vx_discard_line() { consule_discard_line(); }

// Reads an int; *eof reports end of input (a non-number consumes one character).
bool vx_read_int(int* v, bool* eof) {
    *eof = false;
    const int r = consule_read_int(v);
    if (r == 1) return true;
    if (r < 0 || !consule_skip_char()) *eof = true;
    return false;
}

bool vx_all_spin_half(int Nspins, const SpinIList& Ilist) {
    for (int s = 1; s <= Nspins && s <= kMaxSpins; ++s)
        if (Ilist[s] != 1) return false;
    return true;
}

int vx_operator_count(int Nspins) {
    int c = 1;
    for (int s = 0; s < Nspins && s < kMaxSpins; ++s) c *= 4;
    return c;
}

void vx_banner(const char* third) {
    std::puts("*******************************************************");
    std::puts("***   EXPECTATION VALUES OF AN ARBITRARY OPERATOR   ***");
    std::puts(third);
    std::puts("*******************************************************\n");
}

// Complete matrices of matrix_bytes each behind the 12-byte header of f.
long long vx_matrices_present(FILE* f, long long matrix_bytes) {
    struct stat sb;
    if (fstat(fileno(f), &sb) != 0 || matrix_bytes <= 0) return 0;
    const long long body = static_cast<long long>(sb.st_size) - BINFH_HEADER_BYTES;
    return body > 0 ? body / matrix_bytes : 0;
}

bool vx_spin_system_ready() {
    return vyn_spin.spinsystemdefined && vyn_spin.Nspins >= 1 && vyn_spin.n >= 1 && vyn_spin.n <= MATRIXMATH_DIM;
}

// The single-spin operator of the manual menu (1 I+, 2 I-, 3 Ix, 4 Iy, other Iz).
void vx_single_operator(int n, const SpinIList& Ilist, const SpinKet& ket, int spin, int type, CMatrix& out) {
    switch (type) {
        case 1:
            MakeMatrixIplus(Ilist, ket, n, spin, out);
            break;
        case 2:
            MakeMatrixImin(Ilist, ket, n, spin, out);
            break;
        case 3:
            MakeMatrixIx(Ilist, ket, n, spin, out);
            break;
        case 4:
            MakeMatrixIy(Ilist, ket, n, spin, out);
            break;
        default:
            MakeMatrixIz(Ilist, ket, n, spin, out);
            break;
    }
}
}  // namespace

void create_operator_from_list(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, CMatrix& out) {
    if (Nspins > kMaxSpins) Nspins = kMaxSpins;
    if (!vx_all_spin_half(Nspins, Ilist)) {
        std::puts("This list is only valid for spin-1/2 systems (2I must be 1).");
        std::puts("Falling back to manual operator construction.");
        make_identity_operator(n, out);
        vynexpect_set_operator_typed_scale(1.0);
        return;
    }
    const int count = vx_operator_count(Nspins);
    std::puts("Product-operator list (spin-1/2):");
    std::printf("Spins are labeled: ");
    for (int s = 1; s <= Nspins; ++s) std::printf("%c ", spin_labels_for(s));
    std::printf("\n");
    std::puts("Operator components: X, Y, Z. Identity is E.\n");
    char symbols[VYN_OPSYM_LEN];
    char label[40];
    if (Nspins < 4) {
        std::puts("Available operators:");
        for (int k = 0; k < count; ++k) {
            decimal_to_base4_symbols(k, Nspins, symbols);
            format_operator_label(symbols, Nspins, label, sizeof label);
            std::printf("  %3d : %s\n", k, label);
        }
    } else {
        std::printf("There are %d operators; enter by name (e.g. IxSzUz) or by number [0..%d].\n\n", count, count - 1);
    }
    std::printf("Enter operator (e.g. IxSz) or number [0..%d]: ", count - 1);
    std::fflush(stdout);
    char line[128];
    if (!read_legacy_line(line, sizeof line)) {
        make_identity_operator(n, out);
        vynexpect_set_operator_typed_scale(1.0);
        return;
    }
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (std::isdigit(static_cast<unsigned char>(*p))) {
        long v = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            if (v < 1000000) v = v * 10 + (*p - '0');
            ++p;
        }
        if (v > count - 1) v = count - 1;
        decimal_to_base4_symbols(static_cast<int>(v), Nspins, symbols);
        format_operator_label(symbols, Nspins, label, sizeof label);
        std::printf("Selected: %s (opno=%d)\n", label, static_cast<int>(v));
        create_norm_operator_spinhalf(n, Nspins, Ilist, ket, symbols, out);
        return;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%s", p);
    trim_operator_token(text);
    if (parse_product_operator_string(text, Nspins, symbols)) {
        format_operator_label(symbols, Nspins, label, sizeof label);
        std::printf("Selected: %s\n", label);
        create_norm_operator_spinhalf(n, Nspins, Ilist, ket, symbols, out);
        return;
    }
    std::puts("Could not parse operator string. Examples: Ix  Iy  Iz  IxSz  IxSzTz");
    std::puts("Falling back to E (identity).");
    make_identity_operator(n, out);
    vynexpect_set_operator_typed_scale(1.0);
}

void manual_expectation_operator(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, CMatrix& out) {
    if (Nspins > kMaxSpins) Nspins = kMaxSpins;
    if (Nspins < 1) Nspins = 1;
    CMatZero(n, vx_op1);
    CMatZero(n, vx_op2);
    for (;;) {
        vx_banner("***                  (MANUAL MODE)                 ***");
        std::puts("OP1 and OP2 can be defined as single-spin operators.");
        std::puts("You can add or multiply them to build more complex operators.\n");
        std::puts("Possible actions:");
        std::puts("  1. Define OP1");
        std::puts("  2. Define OP2");
        std::puts("  3. OP1 := OP1 + OP2");
        std::puts("  4. OP1 := OP1 * OP2");
        std::puts("  5. Use OP1 as expectation operator\n");
        std::printf("Your choice [1..5]: ");
        std::fflush(stdout);
        int choice = 0;
        bool eof = false;
        if (!vx_read_int(&choice, &eof)) {
            if (eof) break;  // end of input: take OP1 as it stands
            continue;
        }
        if (choice == 1 || choice == 2) {
            CMatrix& target = choice == 1 ? vx_op1 : vx_op2;
            int spin = 1, type = 5;
            double factor = 1.0;
            std::printf("Spin number [1..%d]: ", Nspins);
            std::fflush(stdout);
            if (!vx_read_int(&spin, &eof)) {
                if (eof) break;
                spin = 1;
            }
            if (spin < 1) spin = 1;
            if (spin > Nspins) spin = Nspins;
            std::puts("Operator type:");
            std::puts("  1. I+");
            std::puts("  2. I-");
            std::puts("  3. Ix");
            std::puts("  4. Iy");
            std::puts("  5. Iz");
            std::printf("Your choice [1..5]: ");
            std::fflush(stdout);
            if (!vx_read_int(&type, &eof)) {
                if (eof) break;
                type = 5;
            }
            std::printf("Multiply by factor (real): ");
            std::fflush(stdout);
            if (consule_read_double(&factor) != 1) {
                factor = 1.0;
                vx_discard_line();
            }
            vx_single_operator(n, Ilist, ket, spin, type, vx_tmp);
            RMultCMat(n, factor, vx_tmp, target);
        } else if (choice == 3) {
            CMatAdd(n, vx_op1, vx_op2, vx_op1);
        } else if (choice == 4) {
            CMatMult(n, vx_op1, vx_op2, vx_op1);
            NormCMatrix(n, vx_op1);
        } else if (choice == 5) {
            break;
        }
    }
    vynexpect_set_operator_norm(n, vx_op1);
    NormCMatrix(n, vx_op1);
    CopyCMatrix(n, vx_op1, out);
}

void ExpectationOperator(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, CMatrix& out) {
    vx_banner("***                  OR PRODUCT OPERATOR            ***");
    std::puts("Define operator:\n");
    std::puts("    1. Choose from product-operator list (spin-1/2 only)");
    std::puts("    2. Create manually\n");
    std::printf("Your choice [1,2] : ");
    std::fflush(stdout);
    int choice = 2;
    if (consule_read_int(&choice) != 1) choice = 2;
    vx_discard_line();
    if (choice == 1)
        create_operator_from_list(n, Nspins, Ilist, ket, out);
    else
        manual_expectation_operator(n, Nspins, Ilist, ket, out);
}

void ExpValNDensMat() {
    FILE* in = std::fopen("dm.bin", "rb");
    if (!in) {
        binfh_print_error("ExpValNDensMat: fopen(dm.bin)");
        return;
    }
    int32_t type = 0, fn = 0, count = 0;
    if (ReadBinFileHeader_status(in, &type, &fn, &count) != BINFH_OK) {
        std::fprintf(stderr, "ExpValNDensMat: failed to read binary header from %s\n", "dm.bin");
        std::fclose(in);
        return;
    }
    const long pos = std::ftell(in);
    if (pos != 12)
        std::fprintf(stderr, "ExpValNDensMat: warning: unexpected header size/position (ftell=%ld, expected 12)\n",
                     pos);
    if (!vx_spin_system_ready()) {
        std::printf("ExpValNDensMat: define spin system first.\n");
        std::fclose(in);
        return;
    }
    if (!(fn > 0 && fn < 257)) {
        std::printf("ExpValNDensMat: unsupported matrix dimension fn=%d (max %d)\n", fn, 256);
        std::fclose(in);
        return;
    }
    const int n = fn;
    ExpectationOperator(n, vyn_spin.Nspins, vyn_spin.Ilist, vyn_spin.ket, vx_operator);
    std::puts("Create:");
    std::puts("       1. SG-plot file (ASCII)");
    std::puts("       2. Raw binary double file (one value per dw step)");
    std::printf("Your choice [1,2] : ");
    std::fflush(stdout);
    int choice = 0;
    if (consule_read_int(&choice) != 1) {
        std::fprintf(stderr, "ExpValNDensMat: invalid choice\n");
        vx_discard_line();
        std::fclose(in);
        return;
    }
    const bool text = choice == 1;
    std::printf(text ? "Output text file name : " : "Output binary file name : ");
    std::fflush(stdout);
    char name[512];
    if (consule_read_word(name, sizeof name) != 1) {
        std::fprintf(stderr, "ExpValNDensMat: invalid output name\n");
        std::fclose(in);
        return;
    }
    vx_discard_line();
    if (vyn_is_same_file(name, "dm.bin")) {
        std::fprintf(stderr, "ExpValNDensMat: invalid output name\n");
        std::fclose(in);
        return;
    }
    FILE* out = std::fopen(name, text ? "w" : "wb");
    if (!out) {
        binfh_print_error(text ? "ExpValNDensMat: fopen(out text)" : "ExpValNDensMat: fopen(out bin)");
        std::fclose(in);
        return;
    }
    if (text) std::fprintf(out, "# index    expectation_re    expectation_im\n");
    bool failed = false;
    for (int k = 1; k <= count && !failed; ++k) {
        for (int row = 1; row <= n; ++row)
            if (!read_cmatrix_row(in, n, vx_state, row)) {
                std::printf(">>> READ BINARY FILE ERROR <<< (dw=%d row=%d)\n", k, row);
                failed = true;
                break;
            }
        if (failed) break;
        Complex2 ev{};
        ExpectationValue(n, vx_operator, vx_state, ev);
        if (text) {
            if (std::fprintf(out, "%5d   %.18g   %.18g\n", k, ev[1], ev[2]) < 0) failed = true;
        } else {
            const double v = ev[1];
            if (!binfh_fwrite_doubles_le(&v, 1, out)) failed = true;
        }
        if (failed && !std::ferror(in)) std::printf(">>> WRITE BINARY FILE ERROR <<< (dw=%d)\n", k);
    }
    // Buffered output fails at the latest when it is closed.
    if (std::fclose(out) != 0 && !failed) {
        std::printf(">>> WRITE BINARY FILE ERROR <<< (dw=%d)\n", count);
        failed = true;
    }
    std::fclose(in);
    if (failed) {
        // A failure pauses only a person at a terminal, never a driven run.
        std::printf("Press <Enter> to continue");
        std::fflush(stdout);
        if (isatty(STDIN_FILENO)) vx_discard_line();
        return;
    }
    std::printf("Done. Press <Enter> to continue");
    std::fflush(stdout);
    vx_discard_line();
}

void CalcExpVal() {
    for (;;) {
        std::puts("****************************************************");
        std::puts("***       CALCULATION OF EXPECTATION VALUES      ***");
        std::puts("****************************************************\n");
        std::puts("Possible actions :\n");
        std::puts("          1. Calculate expectation values of operators (from dm.bin)");
        std::puts("          2. Continue to main menu\n");
        std::printf("Your choice [1,2] : ");
        std::fflush(stdout);
        int choice = 0;
        if (consule_read_int(&choice) != 1 || choice == 2) return;
        vx_discard_line();
        ExpValNDensMat();
    }
}

bool VYNDefineCurrentExpectationOperatorInteractive() {
    if (!vx_spin_system_ready()) {
        std::puts("No current prepared spin system is available.");
        return false;
    }
    std::puts("Define operator whose expectation value is to be optimized:");
    ExpectationOperator(vyn_spin.n, vyn_spin.Nspins, vyn_spin.Ilist, vyn_spin.ket, vyn_spin.Istat);
    vyn_spin.Istat_typed_scale = vynexpect_operator_typed_scale();
    return true;
}

bool VYNDefineCurrentExpectationOperatorExpression(const char* expression) {
    if (!vx_spin_system_ready()) {
        std::puts("No current prepared spin system is available.");
        return false;
    }
    if (!create_operator_expression_spinhalf(vyn_spin.n, vyn_spin.Nspins, vyn_spin.Ilist, vyn_spin.ket, expression,
                                             vyn_spin.Istat))
        return false;
    vyn_spin.Istat_typed_scale = vynexpect_operator_typed_scale();
    char shown[512];
    std::snprintf(shown, sizeof shown, "%s", expression);
    trim_operator_token(shown);
    std::printf("Using GUI-defined expectation operator: %s\n", shown);
    return true;
}

bool VYNWriteExpectationProfile(const char* density_file, const char* expression, const char* output_file) {
    const VYNSpinState& sp = vyn_spin;
    if (sp.Nspins <= 0 || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::fprintf(stderr, "Expectation profile: no prepared spin system.\n");
        return false;
    }
    if (!create_operator_expression_spinhalf(sp.n, sp.Nspins, sp.Ilist, sp.ket, expression, vx_operator)) {
        std::fprintf(stderr, "Expectation profile: invalid operator expression '%s'.\n", expression ? expression : "");
        return false;
    }
    FILE* in = density_file ? vyn_fopen_regular(density_file, "rb") : nullptr;
    if (!in) {
        binfh_print_error("Expectation profile: input density file");
        return false;
    }
    int32_t type = -1, fn = 0, count = 0;
    if (ReadBinFileHeader_status(in, &type, &fn, &count) != BINFH_OK || type != 0 || fn != sp.n || count <= 0) {
        std::fprintf(stderr,
                     "Expectation profile: incompatible density header type=%d n=%d points=%d; expected type=0 n=%d.\n",
                     type, fn, count, sp.n);
        std::fclose(in);
        return false;
    }
    // A file holding fewer matrices than announced is refused before any output is made.
    const long long matrix_bytes = 16LL * sp.n * sp.n;
    const long long present = vx_matrices_present(in, matrix_bytes);
    if (present < count) {
        std::fprintf(stderr, "Expectation profile: truncated density matrix at point %d.\n",
                     static_cast<int>(present + 1));
        std::fclose(in);
        return false;
    }
    if (vyn_is_same_file(output_file, density_file)) {
        // the profile would replace the matrices it reads
        std::fprintf(stderr, "Expectation profile: output file is the input density file.\n");
        std::fclose(in);
        return false;
    }
    // The profile is written to a temporary beside the output and renamed
    // over it only when complete: a refused matrix leaves no output behind.
    char tmp[4200];
    FILE* out = output_file ? binfh_replace_begin(output_file, "w", tmp, sizeof tmp) : nullptr;
    if (!out) {
        binfh_print_error("Expectation profile: output file");
        std::fclose(in);
        return false;
    }
    std::fprintf(out, "# index,x_cm,y_cm,z_cm,expectation_re,expectation_im\n");
    const int ndy = vyn_grid.ndy >= 1 ? vyn_grid.ndy : 1;
    const int ndz = vyn_grid.ndz >= 1 ? vyn_grid.ndz : 1;
    const long long plane = static_cast<long long>(ndy) * ndz;
    const VYNSequenceState& q = vyn_sequence;
    for (int k = 0; k < count; ++k) {
        const long long ix = k / plane;
        const long long r = k % plane;
        const long long iy = r / ndz;
        const long long iz = r % ndz;
        const double x = q.x0 + ix * q.dx, y = q.y0 + iy * q.dy, z = q.z0 + iz * q.dz;
        if (!read_density_matrix(in, sp.n, sp.n, vx_state)) {
            std::fprintf(stderr, "Expectation profile: truncated density matrix at point %d.\n", k + 1);
            binfh_replace_abort(out, tmp);
            std::fclose(in);
            return false;
        }
        if (!binfh_matrix_is_finite(sp.n, vx_state)) {
            std::fprintf(stderr, "Expectation profile: density matrix at point %d holds a non-finite value.\n", k + 1);
            binfh_replace_abort(out, tmp);
            std::fclose(in);
            return false;
        }
        Complex2 ev{};
        ExpectationValue(sp.n, vx_operator, vx_state, ev);
        std::fprintf(out, "%d,%.17g,%.17g,%.17g,%.17g,%.17g\n", k + 1, x, y, z, ev[1], ev[2]);
    }
    std::fclose(in);
    if (!binfh_replace_commit(out, tmp, output_file)) {
        binfh_print_error("Expectation profile: output file");
        return false;
    }
    char shown[VYN_PATH_CAP];
    std::printf("Wrote expectation profile for %s to %s\n", expression,
                vyn_path_for_message(output_file, shown, sizeof shown));
    return true;
}

namespace {
// The single-voxel state goes through ./dm.bin; an existing dm.bin (possibly
// the input itself) is moved aside for the duration and put back afterwards.
const char* const kDmSaved = "dm.bin.voxel-signal-saved";

// The acquisition sector of the activated model: its sample count, duration
// and offset; false (message with who) when it has no usable one.
bool vx_acquisition(const char* who, int* np, double* acq, double* f_off) {
    const VYNSequenceState& q = vyn_sequence;
    int acq_sector = 0;
    const int nos = q.nos > VYN_MAX_SECTORS ? VYN_MAX_SECTORS : q.nos;
    for (int s = 1; s <= nos; ++s)
        if (vyn_sector_is_acquisition(s)) {
            acq_sector = s;
            break;
        }
    *np = acq_sector ? q.noti[acq_sector] : 0;
    *acq = acq_sector ? q.sectdur[acq_sector] : 0.0;
    *f_off = acq_sector ? q.statoff[acq_sector] : 0.0;
    if (!acq_sector || *np <= 1 || !vyn_is_power_of_two_int(*np) || !(*acq > 0.0)) {
        std::fprintf(stderr, "%s: spatial sequence has no valid power-of-two ADC sector.\n", who);
        return false;
    }
    return true;
}

// The receiver signal of vx_state into output_file; the acquisition time, 0 on failure.
double vx_state_signal(const char* who, int np, double acq, double f_off, const char* output_file) {
    VYNSpinState& sp = vyn_spin;
    bool moved = false;
    struct stat st_dm;
    if (stat("dm.bin", &st_dm) == 0) {
        if (std::rename("dm.bin", kDmSaved) != 0) {
            std::fprintf(stderr, "%s: cannot create temporary single-voxel density file.\n", who);
            return 0.0;
        }
        moved = true;
    }
    auto restore = [&]() {
        std::remove("dm.bin");
        if (moved && std::rename(kDmSaved, "dm.bin") != 0) binfh_print_error("rename(dm.bin)");
    };
    FILE* tmp = std::fopen("dm.bin", "wb");
    if (!tmp) {
        std::fprintf(stderr, "%s: cannot create temporary single-voxel density file.\n", who);
        restore();
        return 0.0;
    }
    bool ok = WriteBinFileHeader_status(tmp, BINFH_TYPE_DENSITY, sp.n, 1) == BINFH_OK &&
              write_density_matrix(tmp, sp.n, vx_state);
    if (std::fclose(tmp) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write temporary density matrix.\n", who);
        restore();
        return 0.0;
    }
    CMatAdd(sp.n, sp.Izee, sp.Icoup, sp.Istat);
    VYN_BuildNormalisedReceivers();
    const double res =
        SeparateSpectra_GenerateSignalWithParams(&sp.n, np, acq, f_off, output_file, vx_state, sp.Istat,
                                                 vyn_receivers.Ix, vyn_receivers.Iy, sp.Iztot, sp.ket, sp.Ilist);
    restore();
    if (!(res > 0.0)) {
        std::fprintf(stderr, "%s: receiver signal generation failed.\n", who);
        return 0.0;
    }
    return res;
}
}  // namespace

bool VYNWriteDensitySignal(const CMatrix& rho, const char* output_file) {
    VYNSpinState& sp = vyn_spin;
    const char* who = "Density signal";
    if (sp.Nspins < 1 || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::fprintf(stderr, "%s: no prepared spin system.\n", who);
        return false;
    }
    int np = 0;
    double acq = 0.0, f_off = 0.0;
    if (!vx_acquisition(who, &np, &acq, &f_off)) return false;
    CopyCMatrix(sp.n, rho, vx_state);
    if (!binfh_matrix_is_finite(sp.n, vx_state)) {
        std::fprintf(stderr, "%s: the density matrix holds a non-finite value.\n", who);
        return false;
    }
    return vx_state_signal(who, np, acq, f_off, output_file) > 0.0;
}

bool VYNWriteVoxelSignal(const char* density_file, int voxel, const char* output_file) {
    VYNSpinState& sp = vyn_spin;
    if (sp.Nspins < 1 || sp.n < 1 || sp.n > MATRIXMATH_DIM) {
        std::fprintf(stderr, "Voxel signal: no prepared spin system.\n");
        return false;
    }
    int np = 0;
    double acq = 0.0, f_off = 0.0;
    if (!vx_acquisition("Voxel signal", &np, &acq, &f_off)) return false;
    if (vyn_is_same_file(output_file, density_file)) {
        std::fprintf(stderr, "Voxel signal: output file is the input density file.\n");
        return false;
    }
    FILE* in = density_file ? vyn_fopen_regular(density_file, "rb") : nullptr;
    if (!in) {
        binfh_print_error("Voxel signal: input density file");
        return false;
    }
    int32_t type = -1, fn = 0, count = 0;
    if (ReadBinFileHeader_status(in, &type, &fn, &count) != BINFH_OK || type != 0 || fn != sp.n || voxel < 1 ||
        voxel > count) {
        std::fprintf(stderr,
                     "Voxel signal: incompatible density file or point index (type=%d n=%d points=%d requested=%d "
                     "expected_n=%d).\n",
                     type, fn, count, voxel, sp.n);
        std::fclose(in);
        return false;
    }
    const long long matrix_bytes = 16LL * sp.n * sp.n;
    // Matrices 1..voxel must be present; the ones before it are skipped.
    const long long present = vx_matrices_present(in, matrix_bytes);
    if (present < voxel ||
        std::fseek(in, static_cast<long>(BINFH_HEADER_BYTES + (voxel - 1) * matrix_bytes), SEEK_SET) != 0 ||
        !read_density_matrix(in, sp.n, sp.n, vx_state)) {
        const long long first_missing = present < voxel ? present + 1 : voxel;
        std::fprintf(stderr, "Voxel signal: truncated density matrix at point %d.\n", static_cast<int>(first_missing));
        std::fclose(in);
        return false;
    }
    std::fclose(in);
    if (!binfh_matrix_is_finite(sp.n, vx_state)) {
        std::fprintf(stderr, "Voxel signal: density matrix at point %d holds a non-finite value.\n", voxel);
        return false;
    }

    const double res = vx_state_signal("Voxel signal", np, acq, f_off, output_file);
    if (!(res > 0.0)) return false;
    char shown[VYN_PATH_CAP];
    std::printf("Wrote voxel %d receiver signal to %s (samples=%d acquisition=%.15g s).\n", voxel,
                vyn_path_for_message((output_file && *output_file) ? output_file : "vynsign.bin", shown, sizeof shown),
                np, res);
    return true;
}
