// Pulse-sequence files (".vynseq"), read beside two waveform files w.bin and
// waveforms/g.bin: an accepted sequence has finite durations and offsets and counts
// within their ranges.
#include <sys/stat.h>

#include "fuzz_support.h"
#include "vyn_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    static const bool once = [] {
        fuzz::vyn_put("sequences/q/w.bin", std::string(64, '\0'));
        mkdir((fuzz::vyn_root() + "/sequences/q/waveforms").c_str(), 0700);
        fuzz::vyn_put("sequences/q/waveforms/g.bin", std::string(64, '\0'));
        return true;
    }();
    (void)once;
    const std::string path =
        fuzz::vyn_put("sequences/q/q.vynseq", std::string(reinterpret_cast<const char*>(data), size));
    static VYNPulseSequenceDef seq;
    char err[1024];
    if (vyn_load_pulse_sequence_text(path.c_str(), &seq, err, sizeof err) == VYN_MODEL_OK)
        fuzz::vyn_check_sequence(seq);
    return 0;
}
