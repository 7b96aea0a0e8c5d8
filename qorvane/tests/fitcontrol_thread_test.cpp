// Several fits read their fit-control files and build their models at once,
// each on its own thread with its own context and last-error record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fitcontrol_new.h"
#include "lineshape.h"
#include "qorvane_context.h"
#include "qtest_files.h"

namespace {

std::string temp_dir() { return qtest::temp_dir("fct"); }

// One Lorentzian line at 400 Hz, width 8 Hz; hz is the file's Hz per point.
std::string file_text(double hz) {
    char buf[2048];
    std::snprintf(buf, sizeof buf,
                  "version_3\nn_pnts 256\nnoistr 1\nnoistp 25\nnLines 1\nlsfcfs 0\nphi__1 0.0\nHz_p_p %g\n"
                  "f__tol 1.0E-07\nfit_mo 1\nverbos 0\nshowli 1\nclcerr 0\nsg_idl none\nranges 0\nignore 0\n"
                  "pattrn 0\n   algor trunc  ampli  frequ  width  phase  voigt  lsfft  wtype  convo  niter  cmplx"
                  "   n_int   min   max\n@ 2 256 1 1 1 1 1 0 1 0 50 2 1 10 200\n"
                  "number area frequency gausswidth phase lorentzwidth\n1 1.0 400.0 8.0 0.0 0.0\n"
                  "#1\nlsffit 0\n2 0 1.0 0 2\n2 0 400.0 0 800\n2 0 8.0 0 16\n2 0 0.0 -20 20\n2 0 0.0 0 0\n"
                  "lsf_coefs\nend_of_lsf\n",
                  hz);
    return buf;
}

struct Result {
    int rc = -99;
    double freq = 0.0;
    int peak = -1;
    int err_code = -1;
};

void worker(const std::string &path, Result *r) {
    QorvaneFitContext *ctx = qorvane_context_create();
    qorvane_context_set_defaults(ctx);
    g_qorvane_ctx = ctx;
    qorvane_fcntl_clear_last_error();
    std::snprintf(ctx->parameter_file, sizeof ctx->parameter_file, "%s", path.c_str());
    r->rc = load_initial_value_file(ctx);
    r->err_code = qorvane_fcntl_last_error()->code;
    if (r->rc == QORVANE_RC_OK && !ctx->fcntl_faulty) {
        r->freq = ctx->par_vec[2];
        ctx->trunc = ctx->n_pnts;
        par_to_signal(ctx, ctx->par_vec, ctx->yre, ctx->yim);
        int best = 0;
        for (int i = 1; i < ctx->n_pnts; ++i)
            if (ctx->yre[i] > ctx->yre[best]) best = i;
        r->peak = best;
    }
    qorvane_context_destroy(ctx);
}

}  // namespace

TEST(FitControlThreads, ConcurrentFitsKeepTheirOwnStateAndErrors) {
    const std::string dir = temp_dir();
    const double hz[4] = {2.0, 4.0, 5.0, 8.0};
    std::vector<std::string> paths;
    for (int t = 0; t < 4; ++t) {
        paths.push_back(dir + "/fit" + std::to_string(t) + ".par");
        std::ofstream(paths.back()) << file_text(hz[t]);
    }
    paths.push_back(dir + "/absent.par");  // this one fails on its own thread only
    std::vector<Result> res(paths.size());
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (size_t t = 0; t < paths.size(); ++t) threads.emplace_back(worker, paths[t], &res[t]);
    for (std::thread &th : threads) th.join();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(res[t].rc, QORVANE_RC_OK) << t;
        EXPECT_EQ(res[t].freq, 400.0 / hz[t]) << t;
        EXPECT_EQ(res[t].peak, static_cast<int>(400.0 / hz[t])) << t;
        EXPECT_EQ(res[t].err_code, 0) << t;
    }
    EXPECT_EQ(res[4].rc, QORVANE_RC_FATAL);
    EXPECT_EQ(res[4].err_code, QORVANE_FCNTL_OPEN_FAILURE);
    EXPECT_EQ(qorvane_fcntl_last_error()->code, 0);  // nothing leaked to this thread
    EXPECT_EQ(g_qorvane_ctx, nullptr);
}
