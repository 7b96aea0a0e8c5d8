// The volume job's stages on their own: the QORVVOL1 source (what a scan delivers and what
// the fits read back by index), and a job run with another source and an extra sink, as a
// new input format or output will be added.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "qorvvol_reader.h"
#include "qvolume_test_support.h"

using namespace qvol_test;

namespace {

// Spectrum of record r whose every float differs from every other record's.
std::vector<std::complex<double>> distinct_samples(uint32_t ap, int r) {
    std::vector<std::complex<double>> s(ap);
    for (uint32_t k = 0; k < ap; ++k) s[k] = {1000.0 * r + k + 0.25, -(1000.0 * r + k) - 0.5};
    return s;
}

std::string sample_bytes(const std::vector<std::complex<double>>& s) {
    std::string b;
    for (const auto& c : s) {
        float v[2] = {(float)c.real(), (float)c.imag()};
        b.append(reinterpret_cast<const char*>(v), sizeof v);
    }
    return b;
}

}  // namespace

TEST(VolumeSource, QorvvolScanAndReadBackByIndex) {
    struct Case {
        uint32_t ap, id_bytes;
        std::vector<std::string> ids;
        std::vector<std::string> voxel_ids;
        std::vector<bool> selected;
    } cases[] = {
        {4, 1, {"a", "b", "c"}, {"a", "b", "c"}, {true, true, true}},
        {8, 13, {"x1|1", "x2|0", "x|3|0", "|0", "y"}, {"x1", "x2", "x|3", "", "y"}, {true, false, false, false, true}},
        {2, 4096, {std::string(600, 'i') + "|1", "j|00"}, {std::string(511, 'i'), "j"}, {true, true}},
    };
    const std::string dir = make_temp_dir("volsrc");
    for (const Case& c : cases) {
        const std::string where = "ap=" + std::to_string(c.ap) + " id_bytes=" + std::to_string(c.id_bytes);
        std::vector<Record> recs;
        for (size_t r = 0; r < c.ids.size(); ++r) recs.push_back({c.ids[r], distinct_samples(c.ap, (int)r)});
        write_text(dir + "/in.qorvvol", volume_bytes(c.ap, c.id_bytes, recs));

        for (bool fits_read : {true, false}) {
            QorvaneVoxelSource src = QorvaneVoxelSource();
            testing::internal::CaptureStderr();
            ASSERT_EQ(qorvane_volume_source_open_qorvvol(&src, (dir + "/in.qorvvol").c_str()), 0) << where;
            ASSERT_EQ(src.open_header(&src), 0) << where;
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(src.points, c.ap) << where;
            EXPECT_EQ(src.voxels, c.ids.size()) << where;
            ASSERT_EQ(src.begin_scan(&src), 0) << where;
            std::vector<unsigned char> buf(8 * c.ap);
            for (size_t r = 0; r < c.ids.size(); ++r) {
                char id[QORVANE_VOXEL_ID_SIZE];
                bool selected = !c.selected[r];
                ASSERT_EQ(src.scan_next(&src, r, id, sizeof id, &selected, buf.data()), 0) << where << " r=" << r;
                EXPECT_EQ(id, c.voxel_ids[r]) << where << " r=" << r;
                EXPECT_EQ(selected, c.selected[r]) << where << " r=" << r;
                EXPECT_EQ(std::string(buf.begin(), buf.end()), sample_bytes(recs[r].samples)) << where << " r=" << r;
            }
            ASSERT_EQ(src.end_scan(&src, fits_read), 0) << where;
            // The fits read any record again, in any order; without fits_read nothing is kept.
            for (size_t k = c.ids.size(); k-- > 0;) {
                std::fill(buf.begin(), buf.end(), 0);
                ASSERT_EQ(src.read_spectrum(&src, k, buf.data()), fits_read ? 0 : 2) << where << " k=" << k;
                if (fits_read) {
                    EXPECT_EQ(std::string(buf.begin(), buf.end()), sample_bytes(recs[k].samples))
                        << where << " k=" << k;
                }
            }
            src.close(&src);
            src.close(&src);  // a second close does nothing
        }
    }
    remove_tree(dir);
}

namespace {

// A source held in memory: what a second input format plugs in.
struct MemorySource {
    std::vector<Record> recs;
    std::mutex mutex;
    std::multiset<unsigned long long> reads;  // indices the fits asked for
};

MemorySource* memory_source(const QorvaneVoxelSource* s) { return static_cast<MemorySource*>(s->state); }

QorvaneVoxelSource make_memory_source(MemorySource* m) {
    QorvaneVoxelSource s = QorvaneVoxelSource();
    s.state = m;
    s.open_header = [](QorvaneVoxelSource* self) {
        self->points = kN;
        self->voxels = memory_source(self)->recs.size();
        return 0;
    };
    s.begin_scan = [](QorvaneVoxelSource*) { return 0; };
    s.scan_next = [](QorvaneVoxelSource* self, unsigned long long r, char* id, size_t size, bool* selected,
                     unsigned char* samples) {
        const Record& rec = memory_source(self)->recs[r];
        *selected = qorvvol_parse_id(rec.id.c_str(), id, size);
        const std::string b = sample_bytes(rec.samples);
        memcpy(samples, b.data(), b.size());
        return 0;
    };
    s.end_scan = [](QorvaneVoxelSource*, bool) { return 0; };
    s.read_spectrum = [](const QorvaneVoxelSource* self, unsigned long long index, unsigned char* samples) {
        MemorySource* m = memory_source(self);
        {
            std::lock_guard<std::mutex> lock(m->mutex);
            m->reads.insert(index);
        }
        const std::string b = sample_bytes(m->recs[index].samples);
        memcpy(samples, b.data(), b.size());
        return 0;
    };
    s.close = [](QorvaneVoxelSource*) {};
    return s;
}

// A sink that notes what reaches it: what a new output (parameter maps) plugs in.
struct RecordingSink {
    std::vector<std::pair<std::string, bool>> scanned;
    std::mutex mutex;
    std::set<uint32_t> voxels;
    bool memory_given = true;
    int begins = 0, scan_ends = 0, finishes = 0;
    uint32_t finish_first = 99, finish_end = 99;
};

QorvaneVolumeSink make_recording_sink(RecordingSink* rs) {
    QorvaneVolumeSink s = QorvaneVolumeSink();
    s.state = rs;
    s.begin = [](QorvaneVolumeSink* self, QorvaneVolumeJob*) {
        ++static_cast<RecordingSink*>(self->state)->begins;
        return 0;
    };
    s.scanned = [](QorvaneVolumeSink* self, QorvaneVolumeJob*, unsigned long long r, const char* id, bool sel) {
        RecordingSink* rs = static_cast<RecordingSink*>(self->state);
        EXPECT_EQ(r, rs->scanned.size());  // every voxel, in order
        rs->scanned.push_back({id, sel});
    };
    s.end_scan = [](QorvaneVolumeSink* self, QorvaneVolumeJob*) {
        ++static_cast<RecordingSink*>(self->state)->scan_ends;
        return 0;
    };
    s.voxel = [](QorvaneVolumeSink* self, QorvaneVolumeJob* job, const QorvaneVoxelResults* res) {
        RecordingSink* rs = static_cast<RecordingSink*>(self->state);
        std::lock_guard<std::mutex> lock(rs->mutex);
        EXPECT_EQ(res->stem, std::string(job->slots[res->slot].input_name).substr(0, 16)) << res->slot;
        if (res->memory == nullptr) rs->memory_given = false;
        rs->voxels.insert(res->slot);
        return 0;
    };
    s.finish = [](QorvaneVolumeSink* self, QorvaneVolumeJob*, uint32_t first, uint32_t end) {
        RecordingSink* rs = static_cast<RecordingSink*>(self->state);
        ++rs->finishes;
        rs->finish_first = first;
        rs->finish_end = end;
        return 0;
    };
    return s;
}

}  // namespace

TEST_F(VolumeFixture, AnotherSourceAndAnExtraSinkRunThroughTheJob) {
    // Record 1 is deselected and record 3 all zero: slots 0..3 hold records 0, 2, 3, 4.
    MemorySource mem;
    std::vector<std::complex<double>> zero(kN, 0.0);
    mem.recs = {{"v0", voxel_spectrum(100, 40, 1)},
                {"v1|0", voxel_spectrum(100, 40, 2)},
                {"v2", voxel_spectrum(90, 45, 3)},
                {"v3", zero},
                {"v4", voxel_spectrum(110, 35, 4)}};
    for (int threads : {1, 2}) {
        const std::string out = dir + "/out" + std::to_string(threads);
        QorvaneCliOptions o = QorvaneCliOptions();
        o.mode = QORVANE_MODE_VOLUME;
        snprintf(o.work_dir, sizeof o.work_dir, "%s/work", dir.c_str());
        snprintf(o.parameter_file, sizeof o.parameter_file, "%s/start.par", dir.c_str());
        snprintf(o.output_dir, sizeof o.output_dir, "%s", out.c_str());
        o.threads = threads;
        o.max_voxels = QORVANE_MAX_VOXELS_LIMIT;

        mem.reads.clear();
        RecordingSink rec;
        QorvaneVoxelSource source = make_memory_source(&mem);
        QorvaneVolumeSink results_table, voxel_files, status_table, recording = make_recording_sink(&rec);
        qorvane_volume_results_table_sink(&results_table);
        qorvane_volume_voxel_files_sink(&voxel_files);
        qorvane_volume_status_table_sink(&status_table);
        QorvaneVolumeJob job;
        job.options = &o;
        job.progress.interval_s = 3600.0;
        job.source = &source;
        for (QorvaneVolumeSink* s : {&results_table, &voxel_files, &status_table, &recording})
            job.sinks[job.sink_count++] = s;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = qorvane_volume_run_job(&job);
        qorvane_volume_job_close(&job);
        std::string so = testing::internal::GetCapturedStdout(), se = testing::internal::GetCapturedStderr();
        ASSERT_EQ(rc, 0) << se;

        const std::vector<std::pair<std::string, bool>> scanned = {
            {"v0", true}, {"v1", false}, {"v2", true}, {"v3", true}, {"v4", true}};
        EXPECT_EQ(rec.scanned, scanned);
        EXPECT_EQ(rec.begins, 1);
        EXPECT_EQ(rec.scan_ends, 1);
        EXPECT_EQ(rec.finishes, 1);
        EXPECT_EQ(rec.finish_first, 0u);
        EXPECT_EQ(rec.finish_end, 4u);
        // Each selected record's spectrum is read once, by its own index; the skipped one never.
        EXPECT_EQ(mem.reads, (std::multiset<unsigned long long>{0, 2, 3, 4})) << threads;
        // Only the fitted voxels reach the sinks (not the all-zero one), with the fit's files in memory.
        EXPECT_EQ(rec.voxels, (std::set<uint32_t>{0, 1, 3})) << threads;
        EXPECT_TRUE(rec.memory_given);
        ASSERT_EQ(job.slot_count(), 4u);
        const char* status[] = {"FIT_OK", "FIT_OK", "FIT_SKIPPED_ZERO_INPUT", "FIT_OK"};
        for (uint32_t s = 0; s < 4; ++s) EXPECT_STREQ(job.slots[s].status, status[s]) << s;
        // The shipped sinks wrote their files beside.
        const std::vector<std::string> files = list_dir(out);
        for (const char* f : {"fit_results.tsv", "fit_status.tsv", "voxel_v0.fit", "voxel_v2.mat", "voxel_v4.exl"})
            EXPECT_TRUE(std::find(files.begin(), files.end(), f) != files.end()) << f;
        EXPECT_TRUE(std::find(files.begin(), files.end(), "voxel_v3.fit") == files.end());
        EXPECT_EQ(count_lines(read_text(out + "/fit_results.tsv"), "\n"), 6);
    }
}
