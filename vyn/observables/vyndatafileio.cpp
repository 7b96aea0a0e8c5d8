#include "vyndatafileio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "binaryfilehandling.h"
#include "consuleutil.h"
#include "vynpaths.h"

dataio_status dataio_last_status = DATAIO_OK;

namespace {

dataio_status dataio_set(dataio_status st) {
    dataio_last_status = st;
    return st;
}

void dataio_print_error(const char* context) {
    const int err = errno;
    const char* ctx = (context && context[0]) ? context : "I/O error";
    const char* text = err ? std::strerror(err) : "missing or malformed data";
    std::fprintf(stderr, "%s: %s\n", ctx, text);
}

dataio_status dataio_check_args(const int* count, const double* array, const char* filename) {
    if (!count || !array || !filename) return DATAIO_ERR_NULLPTR;
    if (*count < 0 || !filename[0]) return DATAIO_ERR_BADARG;
    return DATAIO_OK;
}

// Reads the name of the file to open after a prompt; false on failed input.
bool dataio_prompt_filename(const char* prompt, char* name) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    return dataio_read_word(name, DATAIO_MAX_FILENAME);
}

// Reads *count values, one plain number each (sg false) or the value of an
// SG-plot line "curve abscissa value" (sg true).
dataio_status dataio_read_values(const int* count, double* array, const char* filename, bool sg) {
    const dataio_status chk = dataio_check_args(count, array, filename);
    if (chk != DATAIO_OK) return dataio_set(chk);
    errno = 0;
    FILE* f = vyn_fopen_regular(filename, "r");  // a pipe or device would block or never end
    if (!f) {
        dataio_print_error("fopen(read)");
        return dataio_set(DATAIO_ERR_IO);
    }
    for (int i = 0; i < *count; ++i) {
        int curve;
        double x, v;
        errno = 0;
        const bool got = sg ? std::fscanf(f, "%d %lf %lf", &curve, &x, &v) == 3 : std::fscanf(f, "%lf", &v) == 1;
        if (!got) {
            dataio_print_error("fscanf");
            std::fclose(f);
            return dataio_set(DATAIO_ERR_IO);
        }
        // "nan", "inf" and values beyond the double range are not data.
        if (!std::isfinite(v)) {
            std::fprintf(stderr, "%s: value %d is not a finite number\n", filename, i + 1);
            std::fclose(f);
            return dataio_set(DATAIO_ERR_IO);
        }
        array[i] = v;
    }
    std::fclose(f);
    return dataio_set(DATAIO_OK);
}

// Writes count values, one per line (sg false) or as SG-plot lines of curve
// 1 with abscissa x[i], or i when x is null (sg true).
dataio_status dataio_write_values(int count, const double* x, const double* array, const char* filename, bool sg) {
    if (!array || !filename) return dataio_set(DATAIO_ERR_NULLPTR);
    if (count < 0 || !filename[0]) return dataio_set(DATAIO_ERR_BADARG);
    errno = 0;
    FILE* f = std::fopen(filename, "w");
    if (!f) {
        dataio_print_error("fopen(write)");
        return dataio_set(DATAIO_ERR_IO);
    }
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        if (sg)
            ok = std::fprintf(f, "%d   %1.12E   %1.12E\n", 1, x ? x[i] : static_cast<double>(i), array[i]) > 0;
        else
            ok = std::fprintf(f, "%1.12E\n", array[i]) > 0;
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        dataio_print_error("fprintf");
        return dataio_set(DATAIO_ERR_IO);
    }
    return dataio_set(DATAIO_OK);
}

// Asks for the file name, then reads through reader.
void dataio_ask_and_read(const char* prompt, const int* count, double* array,
                         dataio_status (*reader)(const int*, double*, const char*)) {
    char name[DATAIO_MAX_FILENAME + 1];
    if (!dataio_prompt_filename(prompt, name)) {
        dataio_set(DATAIO_ERR_IO);
        return;
    }
    reader(count, array, name);
}

}  // namespace

bool dataio_read_word(char* buf, int maxlen) {
    if (!buf || maxlen < 1) return false;
    char line[1024];
    for (;;) {
        bool too_long = false;
        if (!consule_read_line(line, sizeof line, &too_long)) return false;
        if (too_long) return false;  // overlong line: the rest is dropped, the answer refused
        const bool complete = !consule_at_end();
        const char* p = line;
        while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
        if (!*p) {
            if (!complete) return false;
            continue;  // empty line: keep waiting for a word
        }
        int k = 0;
        while (p[k] && !std::isspace(static_cast<unsigned char>(p[k]))) ++k;
        if (k > maxlen) return false;
        std::memcpy(buf, p, static_cast<std::size_t>(k));
        buf[k] = '\0';
        return true;
    }
}

dataio_status AsciiIn_status(const int* count, double* array, const char* filename) {
    return dataio_read_values(count, array, filename, false);
}

dataio_status SGFileIn_status(const int* count, double* array, const char* filename) {
    return dataio_read_values(count, array, filename, true);
}

void AsciiIn(const int* count, double* array) {
    dataio_ask_and_read("<< ASCII File In >>\nEnter filename : ", count, array, AsciiIn_status);
}

void SGFileIn(const int* count, double* array) {
    dataio_ask_and_read("<< SG-Plot File In >>\nEnter filename : ", count, array, SGFileIn_status);
}

dataio_status RealArrayIn(const int* count, double* array) {
    if (!count || !array) return dataio_set(DATAIO_ERR_NULLPTR);
    if (*count < 0) return dataio_set(DATAIO_ERR_BADARG);
    std::puts("Read ASCII-file containing reals:");
    std::puts("      1. Normal ASCII file");
    std::puts("      2. SGplot file format");
    std::puts("      3. Cancel file input");
    std::fputs("Your choice [1..3] : ", stdout);
    std::fflush(stdout);
    char word[32];
    char* end = nullptr;
    long choice = 0;
    if (!dataio_read_word(word, 31)) return dataio_set(DATAIO_ERR_IO);
    errno = 0;
    choice = std::strtol(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE) return dataio_set(DATAIO_ERR_IO);
    if (choice == 1) {
        AsciiIn(count, array);
        return dataio_last_status;
    }
    if (choice == 2) {
        SGFileIn(count, array);
        return dataio_last_status;
    }
    for (int i = 0; i < *count; ++i) array[i] = 0.0;
    return dataio_set(DATAIO_OK);
}

dataio_status AsciiOut_status(int count, const double* array, const char* filename) {
    return dataio_write_values(count, nullptr, array, filename, false);
}

dataio_status SGFileOut_status(int count, const double* x, const double* array, const char* filename) {
    return dataio_write_values(count, x, array, filename, true);
}

dataio_status dataio_write_pvwave_header_status(FILE* f, int32_t num1, int32_t num2) {
    if (!f) return dataio_set(DATAIO_ERR_NULLPTR);
    int32_t words[DATAIO_PVWAVE_HEADER_BYTES / 4] = {0};
    words[0] = 3;
    words[3] = 2;
    words[4] = num1;
    words[5] = num2;
    words[8] = 1;
    words[14] = 2;
    unsigned char bytes[DATAIO_PVWAVE_HEADER_BYTES];
    for (int i = 0; i < DATAIO_PVWAVE_HEADER_BYTES / 4; ++i) binfh_encode_i32_le(words[i], bytes + 4 * i);
    errno = 0;
    if (std::fwrite(bytes, 1, sizeof bytes, f) != sizeof bytes) {
        dataio_print_error("fwrite");
        return dataio_set(DATAIO_ERR_IO);
    }
    return dataio_set(DATAIO_OK);
}

dataio_status dataio_signal_to_pvwave_status(const char* signal_path, const char* out_path) {
    if (!signal_path || !out_path) return dataio_set(DATAIO_ERR_NULLPTR);
    if (!out_path[0] || std::strlen(out_path) > 4096) return dataio_set(DATAIO_ERR_BADARG);
    int32_t type, num1, num2;
    FILE* in = binfh_open_checked(signal_path, &type, &num1, &num2);
    if (!in) return dataio_set(binfh_last_status == BINFH_ERR_BADARG ? DATAIO_ERR_BADARG : DATAIO_ERR_IO);
    if (type != BINFH_TYPE_SIGNAL) {
        std::fprintf(stderr, "%s: not a signal file (type=%d)\n", signal_path, type);
        std::fclose(in);
        return dataio_set(DATAIO_ERR_BADARG);
    }
    // The export is written to a temporary file beside out_path and renamed
    // over it only when complete: a failed export never leaves a truncated
    // file that looks valid, and an older export survives it.
    char tmp[4096 + 64];
    int fd = -1;
    errno = 0;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        std::snprintf(tmp, sizeof tmp, "%s.part%ld-%d", out_path, static_cast<long>(getpid()), attempt);
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!out) {
        dataio_print_error("fopen(write)");
        if (fd >= 0) {
            close(fd);
            unlink(tmp);
        }
        std::fclose(in);
        return dataio_set(DATAIO_ERR_IO);
    }
    bool ok = dataio_write_pvwave_header_status(out, num1, num2) == DATAIO_OK;
    // The body is already little-endian doubles: copy its bytes unchanged.
    int64_t left = binfh_body_bytes(type, num1, num2);
    static unsigned char chunk[8192];
    while (ok && left > 0) {
        const std::size_t want =
            left < static_cast<int64_t>(sizeof chunk) ? static_cast<std::size_t>(left) : sizeof chunk;
        errno = 0;
        if (std::fread(chunk, 1, want, in) != want) {
            dataio_print_error("fread");
            ok = false;
            break;
        }
        if (std::fwrite(chunk, 1, want, out) != want) {
            dataio_print_error("fwrite");
            ok = false;
            break;
        }
        left -= static_cast<int64_t>(want);
    }
    std::fclose(in);
    errno = 0;
    if (std::fclose(out) != 0 && ok) {
        dataio_print_error("fclose");
        ok = false;
    }
    if (ok && std::rename(tmp, out_path) != 0) {
        dataio_print_error("rename");
        ok = false;
    }
    if (!ok) unlink(tmp);
    return dataio_set(ok ? DATAIO_OK : DATAIO_ERR_IO);
}
