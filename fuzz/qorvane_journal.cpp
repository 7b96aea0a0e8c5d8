// Volume job journals (job.journal, read by --resume): a header frame, then one frame per
// finished slot. An accepted journal has its header's keys; its records lie in order inside
// the input and are exactly those of the whole frames before the first torn or damaged one, so
// reading the kept part again gives the same records.
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "qorvane_volume_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::pair<std::string, std::string>> keys, again_keys;
    std::vector<QorvaneJournalRecord> records, again;
    size_t header = 0, again_header = 0;
    if (!qorvane_journal_parse(text, &keys, &records, &header)) {
        if (!records.empty()) fuzz::fail("records from a journal without header");
        return 0;
    }
    if (header == 0 || header > size) fuzz::fail("header of %zu bytes in %zu", header, size);
    size_t previous = header;
    for (const QorvaneJournalRecord& r : records) {
        if (r.end <= previous || r.end > size) fuzz::fail("record ends at %zu after %zu", r.end, previous);
        if (r.status.empty()) fuzz::fail("record without a status");
        previous = r.end;
    }
    // The kept part alone reads back the same.
    if (!qorvane_journal_parse(text.substr(0, previous), &again_keys, &again, &again_header))
        fuzz::fail("the kept part is no journal");
    if (again_keys != keys || again_header != header || again.size() != records.size())
        fuzz::fail("the kept part reads back differently");
    for (size_t i = 0; i < again.size(); ++i)
        if (again[i].slot != records[i].slot || again[i].status != records[i].status ||
            again[i].message != records[i].message || again[i].blobs != records[i].blobs)
            fuzz::fail("record %zu reads back differently", i);
    return 0;
}
