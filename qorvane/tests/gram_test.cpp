// Gram kernel against plain sums: every block shape (odd and even column counts, the residual
// column, row counts that leave a tail after the four lanes), and the engine's working memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "qorvane_fit_scratch.h"
#include "qorvane_gram.h"

TEST(Gram, MatchesPlainSumsForEveryBlockShape) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int nf : {1, 2, 3, 4, 5, 16, 17})
        for (int m : {0, 1, 3, 4, 7, 9, 2046})
            for (bool with_extra : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "nf " << nf << " m " << m << " extra " << with_extra);
                const size_t stride = (size_t)m + 3;                  // columns need not be packed back to back
                std::vector<double> cols(stride * nf), extra(m + 1);  // non-null also for m = 0
                for (double& v : cols) v = u(gen);
                for (double& v : extra) v = u(gen);
                std::vector<double> a(nf * nf, NAN), g(nf, NAN);
                qorvane_gram(cols.data(), stride, nf, m, with_extra ? extra.data() : nullptr, a.data(), g.data());
                for (int i = 0; i < nf; ++i) {
                    for (int j = 0; j < nf; ++j) {
                        double s = 0.0;
                        for (int e = 0; e < m; ++e) s += cols[i * stride + e] * cols[j * stride + e];
                        EXPECT_NEAR(a[i * nf + j], s, 1e-12 * (m + 1)) << i << "," << j;
                        EXPECT_EQ(a[i * nf + j], a[j * nf + i]);
                    }
                    if (!with_extra) {
                        EXPECT_TRUE(std::isnan(g[i])) << "g written without an extra column";
                        continue;
                    }
                    double s = 0.0;
                    for (int e = 0; e < m; ++e) s += cols[i * stride + e] * extra[e];
                    EXPECT_NEAR(g[i], s, 1e-12 * (m + 1)) << i;
                }
            }
}

TEST(Gram, EngineWorkingMemoryGrowsAndKeepsItsBlock) {
    QorvaneFitEngineScratch* e = static_cast<QorvaneFitEngineScratch*>(calloc(1, sizeof(QorvaneFitEngineScratch)));
    ASSERT_NE(e, nullptr);
    double* a = qorvane_engine_work(e, 100);
    ASSERT_NE(a, nullptr);
    a[99] = 7.0;
    EXPECT_EQ(qorvane_engine_work(e, 50), a);  // a smaller request keeps the block
    double* b = qorvane_engine_work(e, 1 << 20);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[99], 7.0);  // grown, contents kept
    EXPECT_GE(e->work_doubles, (size_t)1 << 20);
    qorvane_engine_free(e);
}
