// Product-operator strings and expressions for spin-1/2 systems.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "vynexpect.h"

namespace {
const char kSpinLabels[] = "ISTUVWABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int kSpinLabelCount = 32;
constexpr int kMaxExpressionLen = 511;
constexpr int kMaxSpins = 8;

CMatrix vynexpect_single;   // one single-spin operator
CMatrix vynexpect_product;  // running product of a term
CMatrix vynexpect_term;     // normalised term of an expression
CMatrix vynexpect_sum;      // expression under construction

CMatrix vynexpect_typed;  // expression as typed: the sum of its plain products
double vynexpect_typed_scale = 0.0;

double frobenius_dot(int n, const CMatrix& a, const CMatrix& b) {
    double sum = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) sum += a.re(r, c) * b.re(r, c) + a.im(r, c) * b.im(r, c);
    return sum;
}

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int clamp_spins(int Nspins) {
    if (Nspins < 0) return 0;
    return Nspins > kMaxSpins ? kMaxSpins : Nspins;
}
}  // namespace

char spin_labels_for(int i) {
    if (i < 1) i = 1;
    if (i > kSpinLabelCount) i = kSpinLabelCount;
    return kSpinLabels[i - 1];
}

int spin_index_from_label(char c, int Nspins) {
    Nspins = clamp_spins(Nspins);
    const char uc = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int i = 1; i <= Nspins; ++i)
        if (spin_labels_for(i) == uc) return i;
    return 0;
}

void trim_operator_token(char* text) {
    if (!text) return;
    size_t len = std::strlen(text);
    size_t start = 0;
    while (start < len && is_ws(text[start])) ++start;
    while (len > start && is_ws(text[len - 1])) --len;
    std::memmove(text, text + start, len - start);
    text[len - start] = '\0';
}

bool is_undefined_operator_expression(const char* text) {
    if (!text) return true;
    // Leading blanks are skipped before the 63 compared characters are taken,
    // so that any number of them still leaves the expression itself.
    while (is_ws(*text)) ++text;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.63s", text);
    trim_operator_token(buf);
    for (char* p = buf; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return buf[0] == '\0' || std::strcmp(buf, "not defined") == 0;
}

bool parse_product_operator_string(const char* text, int Nspins, char* symbols) {
    Nspins = clamp_spins(Nspins);
    if (symbols) {
        for (int i = 0; i < Nspins; ++i) symbols[i] = 'e';
        symbols[Nspins] = '\0';
    }
    if (!text || !symbols) return false;
    const char* p = text;
    while (is_ws(*p)) ++p;
    if (*p == '\0') return false;
    if ((*p == 'E' || *p == 'e') && (p[1] == '\0' || is_ws(p[1]))) return true;
    for (;;) {
        while (is_ws(*p)) ++p;
        if (*p == '\0') return true;
        const char c = *p++;
        int spin = 0;
        if ((c == 'I' || c == 'i') && std::isdigit(static_cast<unsigned char>(*p))) {
            long v = 0;
            while (std::isdigit(static_cast<unsigned char>(*p))) {
                if (v < 1000) v = v * 10 + (*p - '0');
                ++p;
            }
            if (v < 1 || v > Nspins) return false;
            spin = static_cast<int>(v);
        } else {
            spin = spin_index_from_label(c, Nspins);
            if (spin == 0) return false;
        }
        const char comp = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        if (comp != 'x' && comp != 'y' && comp != 'z') return false;
        ++p;
        symbols[spin - 1] = comp;
        while (is_ws(*p) || *p == ',' || *p == '_' || *p == ';') ++p;
    }
}

void format_operator_label(const char* symbols, int Nspins, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    Nspins = clamp_spins(Nspins);
    size_t pos = 0;
    buffer[0] = '\0';
    for (int i = 0; symbols && i < Nspins && symbols[i]; ++i) {
        const char s = symbols[i];
        if (s == 'e' || s == 'E') continue;
        if (pos + 2 >= size) break;
        buffer[pos++] = spin_labels_for(i + 1);
        buffer[pos++] = static_cast<char>(std::toupper(static_cast<unsigned char>(s)));
        buffer[pos] = '\0';
    }
    if (pos == 0) std::snprintf(buffer, size, "%s", "E");
}

void decimal_to_base4_symbols(int number, int Nspins, char* symbols) {
    if (!symbols) return;
    Nspins = clamp_spins(Nspins);
    static const char digits[4] = {'e', 'x', 'y', 'z'};
    if (number < 0) number = 0;
    for (int i = 0; i < Nspins; ++i) {
        symbols[i] = digits[number % 4];
        number /= 4;
    }
    symbols[Nspins] = '\0';
}

double vynexpect_operator_typed_scale() { return vynexpect_typed_scale; }

void vynexpect_set_operator_norm(int n, const CMatrix& typed) {
    vynexpect_typed_scale = std::sqrt(frobenius_dot(n, typed, typed));
}

void vynexpect_set_operator_typed_scale(double scale) { vynexpect_typed_scale = scale; }

void make_identity_operator(int n, CMatrix& out) {
    CMatZero(n, out);
    for (int i = 1; i <= n; ++i) out(i, i) = 1.0;
}

void create_norm_operator_spinhalf(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, const char* symbols,
                                   CMatrix& out) {
    Nspins = clamp_spins(Nspins);
    make_identity_operator(n, vynexpect_product);
    for (int s = 1; symbols && s <= Nspins && symbols[s - 1]; ++s) {
        const char c = symbols[s - 1];
        if (c == 'x' || c == 'X')
            MakeMatrixIx(Ilist, ket, n, s, vynexpect_single);
        else if (c == 'y' || c == 'Y')
            MakeMatrixIy(Ilist, ket, n, s, vynexpect_single);
        else if (c == 'z' || c == 'Z')
            MakeMatrixIz(Ilist, ket, n, s, vynexpect_single);
        else
            continue;
        CMatMult(n, vynexpect_product, vynexpect_single, vynexpect_product);
    }
    vynexpect_set_operator_norm(n, vynexpect_product);
    NormCMatrix(n, vynexpect_product);
    CopyCMatrix(n, vynexpect_product, out);
}

bool create_operator_expression_spinhalf(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket,
                                         const char* expression, CMatrix& out) {
    if (is_undefined_operator_expression(expression)) return false;
    if (Nspins < 1 || Nspins > kMaxSpins || n < 1 || n > MATRIXMATH_DIM) return false;
    for (int s = 1; s <= Nspins; ++s)
        if (Ilist[s] != 1) return false;
    // A longer expression is refused: cutting it would silently drop terms.
    if (std::strlen(expression) > static_cast<size_t>(kMaxExpressionLen)) return false;
    char buf[kMaxExpressionLen + 1];
    std::snprintf(buf, sizeof buf, "%s", expression);
    CMatZero(n, vynexpect_sum);
    CMatZero(n, vynexpect_typed);
    int terms = 0;
    char* term = buf;
    for (;;) {
        char* plus = std::strchr(term, '+');
        if (plus) *plus = '\0';
        trim_operator_token(term);
        if (term[0] != '\0') {
            char symbols[VYN_OPSYM_LEN];
            if (!parse_product_operator_string(term, Nspins, symbols)) return false;
            create_norm_operator_spinhalf(n, Nspins, Ilist, ket, symbols, vynexpect_term);
            CMatAdd(n, vynexpect_sum, vynexpect_term, vynexpect_sum);
            RMultCMat(n, vynexpect_typed_scale, vynexpect_term, vynexpect_product);  // the plain product again
            CMatAdd(n, vynexpect_typed, vynexpect_product, vynexpect_typed);
            ++terms;
        }
        if (!plus) break;
        term = plus + 1;
    }
    if (terms == 0) return false;
    NormCMatrix(n, vynexpect_sum);
    CopyCMatrix(n, vynexpect_sum, out);
    // The typed sum is scale x the normalised one only when all its terms
    // have one norm; otherwise no single factor relates them.
    const double scale = frobenius_dot(n, vynexpect_sum, vynexpect_typed);
    RMultCMat(n, scale, vynexpect_sum, vynexpect_product);
    CMatRMultAdd(n, vynexpect_typed, 1.0, vynexpect_product, -1.0, vynexpect_product);
    const double typed_norm = std::sqrt(frobenius_dot(n, vynexpect_typed, vynexpect_typed));
    const double rest = std::sqrt(frobenius_dot(n, vynexpect_product, vynexpect_product));
    vynexpect_typed_scale = rest <= 1e-9 * typed_norm ? scale : 0.0;
    return true;
}
