// velmora_bench_items <base-url> <api-key> <api-secret> <appid> <root> <result-file>
//                     <curl-config> <md5-list> <curl-out-dir> [retry] [ca=<pem-file>]
// Records the emulator's current item list in a fresh state store below <root> (not timed), then
// times the whole road of downloadItemsWithCloudSourceIds:progress:completion: for every item:
// resource list request, downloads, MD5 checks, meta files, states and the save. Writes
// "<seconds> <failures> <peak-rss-kib>" to <result-file>, and the same files as a curl config
// (into <curl-out-dir>) and an md5sum check list for the peer run. With "retry", the default
// retry policy is on (bench/flaky); with "ca=", https servers are checked against that CA
// (bench/latency).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "velmora/cloud_service.h"
#include "velmora/networking.h"

using namespace velmora;

namespace {

Json getJson(const std::string& url) {
    std::promise<Json> answer;
    QelNetworking::sharedInstance()->getWithURL(
        url, std::nullopt, [&](const Json& body) { answer.set_value(body); },
        [&](const QelErrorPtr& error) {
            std::fprintf(stderr, "GET %s: %s\n", url.c_str(), errorDescription(error).c_str());
            answer.set_value(absentJson());
        });
    return answer.get_future().get();
}

}  // namespace

int main(int argc, char** argv) {
    bool retry = false, misused = argc < 10;
    for (int i = 10; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "retry")
            retry = true;
        else if (option.rfind("ca=", 0) == 0)
            QelNetworking::setTrustedCertificatesFile(option.substr(3));
        else
            misused = true;
    }
    if (misused) {
        std::fprintf(stderr,
                     "usage: %s base key secret appid root result curl-config md5-list out "
                     "[retry] [ca=PEM]\n",
                     argv[0]);
        return 2;
    }
    const std::string base = argv[1], root = argv[5], curlOut = argv[9];
    QelCloudServiceConfig config;
    config.setApiBasePath(base);
    config.setApiKey(argv[2]);
    config.setApiSecret(argv[3]);
    config.setAppid(argv[4]);
    if (retry) QelNetworking::setRetryPolicy(QelRetryPolicy::defaultPolicy());
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(config, root);

    // The catalogue, as the project configuration check would record it.
    std::promise<std::string> token;
    service->getTokenWithCompletion([&](const QelErrorPtr&, const std::optional<std::string>& t) {
        token.set_value(t.value_or(""));
    });
    const std::string held = token.get_future().get();
    const Json query = getJson(service->apiBasePathPrefix() + "items/v3/app/query?token=" + held +
                               "&appid=" + argv[4]);
    auto project = QelProjectJsonModel::createWithData(jsonMember(query, "data"));
    service->setProjectJsonModel(project);
    const Json document = getJson(project->itemListUrl());
    const Json list = jsonMember(document, "list");
    if (!list.is_array() || list.empty()) {
        std::fprintf(stderr, "no item list\n");
        return 1;
    }
    service->updateResourceStoreWithItemListDic({{"list", list}});

    std::vector<std::string> ids;
    std::ofstream curl(argv[7]), md5(argv[8]);
    curl << "create-dirs\n";
    for (const auto& item : list) {
        const std::string path = item["path"].get<std::string>();
        ids.push_back(item["resource_id"].get<std::string>());
        const std::string name = path.substr(path.rfind('/') + 1);
        curl << "url = \"" << base << "/files/store/" << item["md5"].get<std::string>() << "/"
             << name << "\"\noutput = \"" << curlOut << "/" << path << "\"\n";
        md5 << item["md5"].get<std::string>() << "  " << curlOut << "/" << path << "\n";
    }
    curl.close();
    md5.close();

    std::promise<size_t> finished;
    const auto start = std::chrono::steady_clock::now();
    auto since = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // Where the time goes: first record done, last record done, completion.
    double firstDone = 0, lastDone = 0;
    service->downloadItemsWithCloudSourceIds(
        ids,
        [&](const std::string& text) {
            if (text.rfind("1/", 0) == 0) firstDone = since();
            lastDone = since();
        },
        [&](const QelErrorPtr& error, const std::vector<std::string>& success,
            const std::vector<std::string>& fail) {
            if (error) std::fprintf(stderr, "batch: %s\n", errorDescription(error).c_str());
            finished.set_value(fail.size() + (ids.size() - success.size() - fail.size()));
        });
    const size_t failures = finished.get_future().get();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::fprintf(stderr, "first record %.3f s, last record %.3f s, completion %.3f s\n", firstDone,
                 lastDone, seconds);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::ofstream result(argv[6]);
    result << seconds << " " << failures << " " << usage.ru_maxrss << "\n";
    return failures == 0 ? 0 : 1;
}
