// velmora-cloud-emulator: a local stand-in for the Velmora cloud, for tests, the demo and host
// developers working offline. See README.md beside this file.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "tools/cloud-emulator/project.h"
#include "tools/cloud-emulator/server.h"

namespace fs = std::filesystem;
using namespace velmora::emulator;

int main(int argc, char** argv) {
    CLI::App app{"A local Velmora cloud: the cloud API, item files and an admin API for tests.",
                 "velmora-cloud-emulator"};
    ServerOptions options;
    std::string data;
    bool sample = false;
    size_t sampleItems = 0;
    size_t sampleItemSize = 0;
    app.add_option("--host", options.host, "Address to bind (only this one)")
        ->capture_default_str();
    app.add_option("--port", options.port, "Port to bind; 0 picks a free one")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--data", data, "Project directory (created when missing)")->required();
    app.add_flag("--sample", sample, "Fill an empty data directory with the sample project");
    app.add_option("--sample-items", sampleItems, "Number of sample items (implies --sample)")
        ->check(CLI::Range(size_t{1}, size_t{10000000}));
    app.add_option("--sample-item-size", sampleItemSize, "Size in bytes of each sample item file")
        ->check(CLI::Range(size_t{0}, size_t{1} << 30));
    app.add_option("--task-seconds", options.taskSeconds,
                   "Seconds a generation task runs before its result is ready")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--token-ttl", options.tokenTtlSeconds, "Token time to live in seconds")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--max-body-bytes", options.maxBodyBytes, "Largest request body accepted")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--keep-alive", options.keepAliveSeconds,
                   "Seconds an idle connection is kept open")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{1}, int64_t{3600}));
    app.add_option("--files-base-url", options.filesBaseUrl,
                   "Base URL the resource list names item files on (a CDN in front of the cloud)")
        ->check([](const std::string& text) {
            return filesBaseUrlSetting(text) ? std::string()
                                             : std::string("must be an http or https URL");
        });
    app.add_flag("--verbose", options.verbose, "Log every request to standard error");
    bool stopOnStdinEof = false;
    app.add_flag("--stop-on-stdin-eof", stopOnStdinEof,
                 "Stop when standard input reaches its end (a parent that dies stops it)");
    auto* publish = app.add_subcommand(
        "publish", "Turn the items below DIR/items into a new item list version, then exit");
    publish->fallthrough();
    CLI11_PARSE(app, argc, argv);
    options.filesBaseUrl = filesBaseUrlSetting(options.filesBaseUrl).value_or("");

    std::optional<SampleOptions> sampleOptions;
    if (sample || sampleItems || sampleItemSize)
        sampleOptions = SampleOptions{sampleItems, sampleItemSize};

    // Termination signals are taken by one thread with sigwait, never by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Project> project;
    try {
        const bool existed = fs::exists(fs::path(data) / "project.json");
        project = Project::open(data, publish->parsed() ? std::nullopt : sampleOptions);
        if (existed && sampleOptions && !publish->parsed())
            std::fprintf(stderr,
                         "velmora-cloud-emulator: %s already holds a project; --sample "
                         "leaves it as it is\n",
                         data.c_str());
        if (publish->parsed()) {
            std::printf("published item list version %lld\n",
                        static_cast<long long>(project->publish()));
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora-cloud-emulator: %s\n", e.what());
        return 1;
    }

    Server server(*project, options);
    const int port = server.bind();
    if (port < 0) {
        std::fprintf(stderr, "velmora-cloud-emulator: cannot bind %s:%d\n", options.host.c_str(),
                     options.port);
        return 1;
    }

    std::atomic<bool> finished{false};
    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        // The server may not be accepting yet; repeat until it has stopped.
        while (!finished.load()) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    if (stopOnStdinEof) {
        std::thread([] {
            char buf[256];
            while (true) {
                ssize_t n = read(0, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EINTR)) break;
            }
            kill(getpid(), SIGTERM);
        }).detach();
    }

    const std::string host =
        options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    const Credentials creds = project->credentials();
    std::printf(
        "velmora-cloud-emulator listening on http://%s:%d\napi_key=%s\napi_secret=%s\n"
        "appid=%s\n",
        host.c_str(), port, creds.apiKey.c_str(), creds.apiSecret.c_str(), creds.appid.c_str());
    std::fflush(stdout);

    const bool served = server.run();
    finished.store(true);
    kill(getpid(), SIGTERM);  // wakes the signal thread when serving ended on its own
    signalThread.join();
    return served ? 0 : 1;
}
