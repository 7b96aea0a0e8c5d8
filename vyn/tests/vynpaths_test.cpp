// Directory layout, scratch directories and short model names.
#include "vynpaths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "vyn-entry.h"
#include "vyn_test_support.h"

namespace {

std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

TEST(VynPaths, DefaultDirectoriesHangOffTheExecutable) {
    vyntest::InstallTree tree;
    char out[1024];
    ASSERT_TRUE(VYN_GetExecutableDir(out, sizeof out));
    EXPECT_EQ(std::string(out), tree.path("build"));
    ASSERT_TRUE(VYN_GetDefaultModelsDir(out, sizeof out));
    EXPECT_EQ(std::string(out), tree.path("models"));
    ASSERT_TRUE(VYN_GetDefaultRFOutputDir(out, sizeof out));
    EXPECT_EQ(std::string(out), tree.path("rf-output"));
    EXPECT_FALSE(VYN_GetExecutableDir(out, 5));
    // Without an override the answer comes from the running test binary.
    vyn_paths_override_executable_path(nullptr);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string e(exe);
    if (e.size() < VYN_EXE_PATH_CAP) {
        ASSERT_TRUE(VYN_GetExecutableDir(out, sizeof out));
        EXPECT_EQ(std::string(out), e.substr(0, e.rfind('/')));
    }
}

TEST(VynPaths, OverlongExecutablePathMakesDirectoriesUnknown) {
    std::string exe = "/" + std::string(VYN_EXE_PATH_CAP, 'x') + "/vyn";
    vyn_paths_override_executable_path(exe.c_str());
    char out[1024];
    EXPECT_FALSE(VYN_GetExecutableDir(out, sizeof out));
    EXPECT_FALSE(VYN_GetDefaultModelsDir(out, sizeof out));
    vyntest::CwdGuard guard;
    std::string before = cwd();
    vyntest::Capture cap(1);
    enter_runtime_work_dir();
    std::string text = cap.finish();
    EXPECT_EQ(text,
              "[VYN] Warning: could not determine executable directory; using current directory for scratch files.\n");
    EXPECT_EQ(cwd(), before);
    vyn_paths_override_executable_path(nullptr);
}

TEST(VynPaths, BuildPathInsertsSlash) {
    char out[16];
    ASSERT_TRUE(VYN_BuildPath(out, sizeof out, "a", "b"));
    EXPECT_STREQ(out, "a/b");
    ASSERT_TRUE(VYN_BuildPath(out, sizeof out, "a/", "b"));
    EXPECT_STREQ(out, "a/b");
    ASSERT_TRUE(VYN_BuildPath(out, sizeof out, "c:\\", "b"));
    EXPECT_STREQ(out, "c:\\b");
    EXPECT_TRUE(VYN_BuildPath(out, 4, "a", "b"));
    EXPECT_FALSE(VYN_BuildPath(out, 3, "a", "b"));
    EXPECT_FALSE(VYN_BuildPath(out, sizeof out, nullptr, "b"));
}

TEST(VynPaths, WorkDirectoriesAreCreatedAndEntered) {
    vyntest::InstallTree tree;
    vyntest::CwdGuard guard;
    enter_runtime_work_dir();
    EXPECT_EQ(cwd(), tree.path("build/runtime"));
    enter_runtime_work_dir();  // an existing directory is fine
    EXPECT_EQ(cwd(), tree.path("build/runtime"));
    enter_private_model_run_work_dir("/somewhere/Lac Press (draft).vynmodel");
    EXPECT_EQ(cwd(), tree.path("build/runtime/runs/lac_press_draft_" + std::to_string(getpid())));
    enter_private_model_run_work_dir("");
    EXPECT_EQ(cwd(), tree.path("build/runtime/runs/model_" + std::to_string(getpid())));
    std::string longleaf(120, 'a');
    enter_private_model_run_work_dir((longleaf + ".vynmodel").c_str());
    EXPECT_EQ(cwd(), tree.path("build/runtime/runs/" + std::string(96, 'a') + "_" + std::to_string(getpid())));
}

TEST(VynPaths, RuntimeDirectoryThatCannotBeCreatedWarns) {
    vyntest::InstallTree tree;
    vyntest::write_file(tree.path("build/runtime"), "a file in the way");
    vyntest::CwdGuard guard;
    std::string before = cwd();
    vyntest::Capture cap(1);
    enter_runtime_work_dir();
    std::string text = cap.finish();
    EXPECT_EQ(text, "[VYN] Warning: could not enter runtime directory: " + tree.path("build/runtime") + "\n");
    EXPECT_EQ(cwd(), before);
}

TEST(VynPaths, ShortNames) {
    char out[128];
    ASSERT_TRUE(sanitize_model_short_name("--GABA  MEGA--", out, sizeof out));
    EXPECT_STREQ(out, "gaba_mega");
    EXPECT_FALSE(sanitize_model_short_name("***", out, sizeof out));
    ASSERT_TRUE(sanitize_model_short_name("Lac Press (draft)", out, sizeof out));
    EXPECT_STREQ(out, "lac_press_draft");
    ASSERT_TRUE(sanitize_model_short_name("a.-b__c", out, sizeof out));
    EXPECT_STREQ(out, "a_b_c");
    EXPECT_FALSE(sanitize_model_short_name("abcdef", out, 6));  // no room for the terminator
    ASSERT_TRUE(basename_without_extension("x\\y/.vynmodel", out, sizeof out));
    EXPECT_STREQ(out, ".vynmodel");
    char name[128];
    ASSERT_TRUE(sanitize_model_short_name(out, name, sizeof name));
    EXPECT_STREQ(name, "vynmodel");
    EXPECT_FALSE(basename_without_extension("", out, sizeof out));
    EXPECT_FALSE(basename_without_extension("dir/", out, sizeof out));

    clear_current_model_short_name();
    seed_current_model_short_name_from_path("/m/***.vynmodel");
    EXPECT_EQ(g_current_model_short_name_valid, 0);  // nothing usable: left as it was
    set_loaded_model_path("/models/Lac Press (draft).vynmodel");
    EXPECT_EQ(g_current_model_short_name_valid, 1);
    EXPECT_STREQ(g_current_model_short_name, "lac_press_draft");
    set_loaded_model_path("");  // clears the path but keeps the name
    EXPECT_EQ(g_loaded_model_path_valid, 0);
    EXPECT_EQ(g_current_model_short_name_valid, 1);
    clear_loaded_model_path();
    EXPECT_EQ(g_current_model_short_name_valid, 0);
}

TEST(VynPaths, ShortNamePrompt) {
    clear_loaded_model_path();
    char out[128];
    {
        vyntest::StdinFeed in("\n***\n  My Model 2 \n");
        vyntest::Capture cap(1);
        int got = VYNEnsureCurrentModelShortName(out, sizeof out);
        std::string text = cap.finish();
        ASSERT_TRUE(got);
        EXPECT_STREQ(out, "my_model_2");
        EXPECT_NE(text.find("Please enter a short name, for example: lac_press or gaba_mega\n"), std::string::npos);
        EXPECT_NE(text.find("Could not derive a usable file prefix from that text.\n"
                            "Use letters, numbers, spaces, '-' or '_'.\n"),
                  std::string::npos);
        EXPECT_NE(text.find("Using model prefix : my_model_2\n"), std::string::npos);
    }
    {
        // A known prefix is returned without reading anything.
        vyntest::StdinFeed in("");
        ASSERT_TRUE(VYNEnsureCurrentModelShortName(out, 4));
        EXPECT_STREQ(out, "my_");
    }
    clear_current_model_short_name();
    {
        vyntest::StdinFeed in("\n");
        vyntest::Capture cap(1);
        int got = VYNEnsureCurrentModelShortName(out, sizeof out);
        cap.finish();
        EXPECT_FALSE(got) << out;  // end of input
    }
    set_loaded_model_path("/x/Seeded.vynmodel");
    clear_current_model_short_name();
    {
        vyntest::StdinFeed in("");
        ASSERT_TRUE(VYNEnsureCurrentModelShortName(out, sizeof out));
        EXPECT_STREQ(out, "seeded");
    }
    clear_loaded_model_path();
}

}  // namespace
