// The console-input module, and the built program driven through standard
// input: entries that later work fills, end of input in every dialogue, and
// the pause at a terminal.
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "consuleutil.h"
#include "vyn_test_support.h"

namespace {

struct IntCase {
    std::string input;
    bool ok;
    int value;
    int repeats;  // "Please enter a whole number." lines
};

TEST(ConsoleReaders, IntPromptTakesOneWholeNumberPerLine) {
    const IntCase cases[] = {
        {"42\n", true, 42, 0},
        {"  -7 \t\r\n", true, -7, 0},
        {"5", true, 5, 0},  // last line without newline
        {"x\n3\n", true, 3, 1},
        {"1.5\n\n 2 3\n8\n", true, 8, 3},
        {"99999999999\n-2147483648\n", true, -2147483648, 1},
        {std::string(300, ' ') + "4\n6\n", true, 6, 1},  // longer than 255 characters
        {"", false, 0, 0},
        {"abc\n", false, 0, 1},
    };
    for (const IntCase& c : cases) {
        const std::string& in = c.input;
        vyntest::StdinFeed feed(in);
        vyntest::Capture out(1);
        int v = 0;
        const bool ok = read_int_prompt("n? ", &v);
        const std::string text = out.finish();
        EXPECT_EQ(ok, c.ok) << in;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << in;
        }
        size_t repeats = 0;
        for (size_t p = text.find("Please enter a whole number.\n"); p != std::string::npos;
             p = text.find("Please enter a whole number.\n", p + 1))
            ++repeats;
        EXPECT_EQ(repeats, static_cast<size_t>(c.repeats)) << in;
        EXPECT_EQ(text.rfind("n? ", 0), 0u) << in;
    }
}

TEST(ConsoleReaders, DoublePromptRefusesNonFiniteNumbers) {
    const struct {
        const char* input;
        bool ok;
        double value;
        int repeats;
    } cases[] = {
        {"2.5e3\n", true, 2500.0, 0}, {"nan\ninf\n-1e999\n0.125\n", true, 0.125, 3},
        {"1,5\n-3\n", true, -3.0, 1}, {"4 5\n", false, 0.0, 1},
        {"\n\n", false, 0.0, 2},
    };
    for (const auto& c : cases) {
        vyntest::StdinFeed feed(c.input);
        vyntest::Capture out(1);
        double v = 0.0;
        const bool ok = read_double_prompt("x? ", &v);
        const std::string text = out.finish();
        EXPECT_EQ(ok, c.ok) << c.input;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.input;
        }
        size_t repeats = 0;
        for (size_t p = text.find("Please enter a numeric value.\n"); p != std::string::npos;
             p = text.find("Please enter a numeric value.\n", p + 1))
            ++repeats;
        EXPECT_EQ(repeats, static_cast<size_t>(c.repeats)) << c.input;
    }
}

TEST(ConsoleReaders, LineReadersCutDropAndSanitise) {
    vyntest::StdinFeed feed("abc\r\n\nabcdefghij\nnext\nmy file/v1.2\n a-b_c!\nlast");
    char b[6];
    ASSERT_TRUE(read_legacy_line(b, sizeof b));
    EXPECT_STREQ(b, "abc");
    ASSERT_TRUE(read_legacy_line(b, sizeof b));
    EXPECT_STREQ(b, "");
    ASSERT_TRUE(read_legacy_line(b, sizeof b));
    EXPECT_STREQ(b, "abcde");  // cut to size-1, the rest of the line dropped
    ASSERT_TRUE(read_legacy_line(b, sizeof b));
    EXPECT_STREQ(b, "next");
    char f[64];
    ASSERT_TRUE(read_filename_stdin(f, sizeof f));
    EXPECT_STREQ(f, "my_file_v1.2");
    ASSERT_TRUE(read_filename_stdin(f, sizeof f));
    EXPECT_STREQ(f, "_a-b_c_");
    ASSERT_TRUE(read_legacy_line(f, sizeof f));
    EXPECT_STREQ(f, "last");
    EXPECT_FALSE(read_legacy_line(f, sizeof f));
    EXPECT_FALSE(read_filename_stdin(f, sizeof f));
    int v = 0;
    EXPECT_FALSE(read_int_prompt("", &v));
    EXPECT_EQ(consule_read_int(&v), -1);
    EXPECT_EQ(consule_read_word(f, sizeof f), -1);
}

// At a terminal a pause after a token read waits for a fresh Enter: the
// newline the number left behind does not answer it.
TEST(ConsolePause, AtATerminalWaitsForAFreshLineAfterANumber) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int saved = dup(0);
    ASSERT_EQ(dup2(slave, 0), 0);
    clearerr(stdin);
    ASSERT_EQ(write(master, "5\n", 2), 2);
    int v = 0;
    EXPECT_EQ(consule_read_int(&v), 1);
    EXPECT_EQ(v, 5);
    vyntest::Capture out(1);
    bool returned = false;
    std::thread pause([&] {
        consule_pause("Press Enter to continue...");
        returned = true;
    });
    // The pause must still be waiting: poll the terminal's echo side for a
    // while instead of racing on the flag.
    struct pollfd p = {master, POLLIN, 0};
    char echo[64];
    for (int i = 0; i < 5; ++i) {
        if (poll(&p, 1, 60) > 0) (void)read(master, echo, sizeof echo);
    }
    EXPECT_FALSE(returned);
    ASSERT_EQ(write(master, "\n", 1), 1);
    pause.join();
    EXPECT_TRUE(returned);
    out.finish();
    dup2(saved, 0);
    close(saved);
    close(slave);
    close(master);
    clearerr(stdin);
}

std::string built_vyn() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    const std::string c = dir.substr(0, dir.rfind('/')) + "/vyn";
    struct stat st;
    return stat(c.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? c : "";
}

struct VynRun {
    int rc;
    std::string out;
};

// Runs a copy of the built program in an installation tree with the given
// standard input; a run that does not end within 30 s is killed (rc 124).
VynRun run_with_stdin(const vyntest::InstallTree& tree, const std::string& exe, const std::string& input) {
    vyntest::write_file(tree.path("in.txt"), input);
    const std::string cmd =
        "cd / && timeout 30 '" + exe + "' <'" + tree.path("in.txt") + "' >'" + tree.path("out.txt") + "' 2>&1";
    const int st = std::system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, vyntest::read_file(tree.path("out.txt"))};
}

// Names of the files below dir (recursively) but the harness's own in.txt and
// out.txt, to see that nothing was written.
std::string listing(const std::string& dir) {
    const std::string cmd = "cd '" + dir + "' && find . -type f ! -name in.txt ! -name out.txt | sort";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "?";
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    pclose(p);
    return text;
}

class BuiltProgram : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    std::string exe;
    void SetUp() override {
        const std::string built = built_vyn();
        if (built.empty()) GTEST_SKIP() << "vyn executable not built next to the tests";
        exe = tree.path("build/vyn");
        ASSERT_EQ(std::system(("cp '" + built + "' '" + exe + "'").c_str()), 0);
        vyn_paths_override_executable_path(nullptr);
    }
};

// Each entry that later work fills is reached through the menus.
TEST_F(BuiltProgram, ReachesTheComposerOptimiserAndReferenceChecks) {
    const struct {
        const char* input;
        const char* expect;
    } cases[] = {
        {"2\n1\n", "Prepare / Edit Current Pulse Sequence"},
        {"2\n5\n", "No current prepared spin system is available.\nDefine or load a model first.\n"},
        {"7\n", "*** Optimize a spinstate selective RF-pulse ***"},
        {"5\n", "\nPASS "},
    };
    for (const auto& c : cases) {
        const VynRun r = run_with_stdin(tree, exe, c.input);
        EXPECT_EQ(r.rc, 0) << c.input;
        EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.input << r.out;
    }
}

// Input that ends in the middle of a question: every dialogue and menu
// returns, the program leaves through the main menu with exit code 0 and no
// file appears in the installation tree.
TEST_F(BuiltProgram, EndOfInputInsideEveryDialogueEndsTheProgram) {
    const char* const cases[] = {
        "",                 // main menu
        "1\n",              // preparation menu
        "1\n1\n",           // spin system: number of spins
        "1\n1\n2\n1\n",     // spin system: second spin's quantum number
        "1\n1\n1\n1\n1\n",  // spin system: intensities / offsets
        "1\n2\n",           // spatial domain
        "1\n3\n",           // sequence (no spin system)
        "1\n5\n",           // save: file name
        "2\n",              // run menu
        "2\n1\n",           // composer
        "2\n3\n",           // expectation values
        "2\n4\n",           // spectra: choice
        "2\n6\n",           // save from the run menu
        "7\n",              // spin-state selective pulse (no spin system)
        "3\n",              // import: model list
        "4\n",              // export: file name
        "4\nname",          // export: name without newline, then end
    };
    const std::string before = listing(tree.root);
    for (const char* in : cases) {
        const VynRun r = run_with_stdin(tree, exe, in);
        EXPECT_EQ(r.rc, 0) << "input: " << in << "\n" << r.out.substr(r.out.size() > 600 ? r.out.size() - 600 : 0);
        EXPECT_GE(r.out.size(), 16u);
        if (r.out.size() >= 16) {
            EXPECT_EQ(r.out.substr(r.out.size() - 16), "\n[VYN] Exiting.\n") << in;
        }
        EXPECT_EQ(listing(tree.root), before) << in;
    }
}

}  // namespace
