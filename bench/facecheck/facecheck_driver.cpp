// Face checks per camera frame with all four filters on the stand-in engine's face data.
//
// Each round times N whole checks, then N runs of the engine work a check asks for (one input
// record, one processed frame), and reports the difference per frame: the SDK's share of a check.
// Allocations are counted separately, for the filters alone, on the face data of one frame.
// Prints one line per round and then "<check ns> <engine ns> <ours ns> <filter allocations>" for
// the median round.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "engine/render_kit.h"
#include "engine/standin/bundle_format.h"
#include "engine/standin/standin.h"
#include "velmora/builder_kit.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;

double nsPerRun(Clock::duration elapsed, size_t runs) {
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(runs);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t runs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (runs == 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: %s [CHECKS [ROUNDS]]\n", argv[0]);
        return 2;
    }

    const auto dir = std::filesystem::temp_directory_path() /
                     ("velmora-bench-facecheck." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string model = (dir / "face.bundle").string();
    if (!standin::writeBundle(model, {{"category", "face_processor"}, {"name", "face"}}, {1})) {
        std::fprintf(stderr, "cannot write %s\n", model.c_str());
        return 1;
    }

    // A centred, frontal, nearly neutral face: every filter runs and passes.
    standin::FaceData face = standin::FaceData::frontal({560, 240, 720, 480});
    face.rotation = std::array<float, 4>{0.02f, 0.05f, 0.01f, 0.998f};
    for (size_t i = 0; i < face.expression->size(); ++i) (*face.expression)[i] = 0.01f * (i % 20);
    standin::setFaceDataSource(standin::faceSequence({standin::FaceFrame{{face}}}));

    QelBuilderConfig config;
    config.setFaceProcessBundlePath(model);
    auto kit = QelBuilderKit::setupWithConfig(config);
    const QelBuilderKit::FilterList filters = {std::make_shared<QelFaceTracSingleFaceFilter>(),
                                               std::make_shared<QelFaceTracRectFilter>(),
                                               std::make_shared<QelFaceTrackRotationFilter>(),
                                               std::make_shared<QelFaceTraceExpressionFilter>()};
    const auto frame = QelPixelBuffer::create(1280, 720, QelPixelFormat420YpCbCr8BiPlanarFullRange);

    const auto first = kit->traceFaceWithPiexelBuffer(frame, 0, filters);
    if (!first->isCompliant()) {
        std::fprintf(stderr, "the benchmark face fails with %lld\n",
                     static_cast<long long>(first->code()));
        return 1;
    }

    // Allocations of the filters alone, on the face data of the frame processed last.
    QelFaceTrackResultModel record;
    record.setSize({1280, 720});
    const uint64_t before = allocations.load();
    for (size_t i = 0; i < 1000; ++i)
        for (const auto& f : filters) f->verifyFaceInfo(record);
    const double filterAllocations = static_cast<double>(allocations.load() - before) / 1000.0;

    struct Round {
        double check, engine;
        double ours() const { return check - engine; }
    };
    std::vector<Round> results;
    size_t failures = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        for (size_t i = 0; i < runs; ++i)
            failures += !kit->traceFaceWithPiexelBuffer(frame, 0, filters)->isCompliant();
        auto t1 = Clock::now();
        for (size_t i = 0; i < runs; ++i) {
            QelAIProcessorInput input;
            input.setPixelBuffer(frame);
            failures += QelAIKit::processWithInput(input) != 1;
        }
        auto t2 = Clock::now();
        results.push_back({nsPerRun(t1 - t0, runs), nsPerRun(t2 - t1, runs)});
        std::printf("round %d: check %.1f ns, engine processing %.1f ns, ours %.1f ns\n", r + 1,
                    results.back().check, results.back().engine, results.back().ours());
        std::fflush(stdout);
    }
    std::filesystem::remove_all(dir);
    if (failures != 0) {
        std::fprintf(stderr, "some checks failed\n");
        return 1;
    }
    std::sort(results.begin(), results.end(),
              [](const Round& a, const Round& b) { return a.ours() < b.ours(); });
    const Round& median = results[results.size() / 2];
    std::printf("%.1f %.1f %.1f %.1f\n", median.check, median.engine, median.ours(),
                filterAllocations);
    return 0;
}
