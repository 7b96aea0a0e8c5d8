// Operator expressions ("IxSz + SzIx") for three spin-1/2 nuclei: an accepted
// expression gives a finite operator of unit Frobenius norm.
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "spinoperatorlib.h"
#include "vynexpect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SpinIList ilist = {0, 1, 1, 1};
    static SpinKet ket;
    static const bool once = (MakeKets(ket, ilist), true);
    (void)once;
    static CMatrix op;
    const std::string text(reinterpret_cast<const char*>(data), size);  // stops at an embedded NUL like the reader
    if (!create_operator_expression_spinhalf(8, 3, ilist, ket, text.c_str(), op)) return 0;
    double norm2 = 0.0;
    for (int r = 1; r <= 8; ++r)
        for (int c = 1; c <= 8; ++c) {
            fuzz::require_finite(op.re(r, c), "operator re", 10 * r + c);
            fuzz::require_finite(op.im(r, c), "operator im", 10 * r + c);
            norm2 += op.re(r, c) * op.re(r, c) + op.im(r, c) * op.im(r, c);
        }
    if (std::fabs(std::sqrt(norm2) - 1.0) > 1e-9) fuzz::fail("operator norm %.17g", std::sqrt(norm2));
    return 0;
}
