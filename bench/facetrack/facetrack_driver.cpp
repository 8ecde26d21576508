// Face checks on a camera stream: 720 x 1280 BGRA frames showing a real portrait that moves a
// few pixels a frame. Ours: the whole check (face AI in video mode, which follows the face
// between detections, then all eight filters). The peer: the same face AI in image mode, which
// detects and fits landmarks on every frame. Only the calls are timed, not making the frames.
//
// Times are the CPU time of the checking thread (on a machine shared with other work, wall time
// measures the neighbours); wall times are printed beside them. Prints a line per side and, last,
// facetrack_ms_per_frame, facetrack_ratio (ours over the peer) and facetrack_peak_rss_mib.
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/render_kit.h"
#include "engine/standin/standin.h"
#include "tests/support/photo_variants.h"
#include "velmora/builder_kit.h"

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;

constexpr size_t kWidth = 720, kHeight = 1280;

// Frame i: the portrait, enlarged to a face of about a third of the width, near the middle,
// drifting right and back 3 pixels a frame and bobbing 1.
void drawFrame(const testing::Photo& portrait, size_t i, uint8_t* bgra) {
    const long period = 60;
    const long step = static_cast<long>(i % static_cast<size_t>(period));
    const long dx = (step < period / 2 ? step : period - step) * 3 - 45;
    const long dy = static_cast<long>(i % 10) - 5;
    const long left = static_cast<long>(kWidth - portrait.width) / 2 + dx;
    const long top = static_cast<long>(kHeight - portrait.height) / 2 + dy;
    std::memset(bgra, 128, kWidth * kHeight * 4);
    for (size_t y = 0; y < portrait.height; ++y) {
        const long oy = top + static_cast<long>(y);
        if (oy < 0 || oy >= static_cast<long>(kHeight)) continue;
        for (size_t x = 0; x < portrait.width; ++x) {
            const long ox = left + static_cast<long>(x);
            if (ox < 0 || ox >= static_cast<long>(kWidth)) continue;
            const uint8_t* c = portrait.at(x, y);
            uint8_t* o = bgra + (static_cast<size_t>(oy) * kWidth + static_cast<size_t>(ox)) * 4;
            o[0] = c[2];
            o[1] = c[1];
            o[2] = c[0];
            o[3] = 255;
        }
    }
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PHOTO MODEL [FRAMES]\n", argv[0]);
        return 2;
    }
    const size_t frames = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 300;
    if (frames == 0) return 2;
    testing::Photo portrait;
    try {
        portrait = testing::scaled(testing::loadPhoto(argv[1]), 1.2);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    const auto loadStart = Clock::now();
    QelBuilderConfig config;
    config.setFaceProcessBundlePath(std::string(argv[2]));
    auto kit = QelBuilderKit::setupWithConfig(config);
    QelFaceTrackResultModel ready;
    if (!kit->verifyFaceProcess(ready, 1)) {
        std::fprintf(stderr, "the face model does not load: %s\n", ready.message().c_str());
        return 1;
    }
    std::printf("model loaded in %.0f ms\n", ms(Clock::now() - loadStart));

    const QelBuilderKit::FilterList filters = {std::make_shared<QelFaceTracSingleFaceFilter>(),
                                               std::make_shared<QelFaceTracRectFilter>(),
                                               std::make_shared<QelFaceTrackRotationFilter>(),
                                               std::make_shared<QelFaceTraceExpressionFilter>(),
                                               std::make_shared<QelFaceTrackSharpnessFilter>(),
                                               std::make_shared<QelFaceTrackExposureFilter>(),
                                               std::make_shared<QelFaceTrackSizeFilter>(),
                                               std::make_shared<QelFaceTrackEyesOpenFilter>()};
    auto frame = QelPixelBuffer::create(kWidth, kHeight, QelPixelFormat32BGRA);
    auto* pixels = const_cast<uint8_t*>(frame->plane(0).baseAddress);

    // Ours, then the peer, on the same frames.
    Clock::duration ours{}, peer{};
    double oursCpu = 0, peerCpu = 0;
    size_t compliant = 0, peerFaces = 0;
    const uint64_t detectionsBefore = standin::faceDetectionCount();
    for (size_t i = 0; i < frames; ++i) {
        drawFrame(portrait, i, pixels);
        const auto t0 = Clock::now();
        const double c0 = cpuMs();
        compliant += kit->traceFaceWithPiexelBuffer(frame, 1, filters)->isCompliant();
        oursCpu += cpuMs() - c0;
        ours += Clock::now() - t0;
    }
    const uint64_t detections = standin::faceDetectionCount() - detectionsBefore;
    QelAIKit::shareKit()->setFaceProcessorDetectMode(0);
    for (size_t i = 0; i < frames; ++i) {
        drawFrame(portrait, i, pixels);
        QelAIProcessorInput input;
        input.setPixelBuffer(frame);
        const auto t0 = Clock::now();
        const double c0 = cpuMs();
        QelAIKit::processWithInput(input);
        peerCpu += cpuMs() - c0;
        peer += Clock::now() - t0;
        peerFaces += QelAIKit::shareKit()->getFaceCount() == 1;
    }
    const auto n = static_cast<double>(frames);
    const double oursMs = oursCpu / n, peerMs = peerCpu / n;
    std::printf(
        "ours: %.2f ms CPU (%.2f ms wall) a frame, %llu full detections, %zu of %zu frames "
        "compliant\n",
        oursMs, ms(ours) / n, static_cast<unsigned long long>(detections), compliant, frames);
    std::printf("detect every frame: %.2f ms CPU (%.2f ms wall) a frame, one face in %zu of %zu\n",
                peerMs, ms(peer) / n, peerFaces, frames);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("facetrack_ms_per_frame=%.2f\n", oursMs);
    std::printf("facetrack_ratio=%.3f\n", oursMs / peerMs);
    std::printf("facetrack_peak_rss_mib=%.1f\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return compliant == 0 ? 1 : 0;
}
