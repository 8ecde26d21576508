// velmora_bench_verify <root> <md5-list> <result-file>
// Records the files of an md5sum check list (absolute paths below <root>) as a state store whose
// items are all downloaded (not timed), then times verifyItemsWithFileIds over every item with a
// fresh service, which reads the stored states first. Writes "<seconds> <checked> <good>
// <peak-rss-kib>" to <result-file>.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "velmora/cloud_service.h"

using namespace velmora;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s root md5-list result\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    QelCloudServiceConfig config;
    config.setApiBasePath("http://127.0.0.1:9");  // never asked: nothing is repaired
    config.setApiKey("bench");
    config.setApiSecret("bench");
    config.setAppid("bench");

    Json list = Json::array();
    Json info = Json::object();
    std::ifstream md5s(argv[2]);
    std::string line;
    while (std::getline(md5s, line)) {
        const std::string md5 = line.substr(0, 32);
        const std::string path = line.substr(34);
        const std::string fileId = path.substr(root.size() + 1);
        const std::string resourceId = "r" + std::to_string(list.size());
        list.push_back({{"path", fileId},
                        {"resource_id", resourceId},
                        {"md5", md5},
                        {"size", std::filesystem::file_size(path)}});
        info[fileId] = {{"resource_id", resourceId}, {"fileState", QelFileStateDownloaded}};
    }
    {
        auto service = QelCloudService::sharedService();
        service->setupWithConfig(config, root);
        service->setResourceListDic({{"list", list}});
        service->setResourceInfoDic(info);
        service->saveNewestResourceList();
        service->saveNewestResourceInfo();
    }
    QelCloudService::destroy();
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(config, root);

    std::promise<QelVerifyResultModel> finished;
    const auto start = std::chrono::steady_clock::now();
    service->verifyItemsWithFileIds(
        {}, false, nullptr, [&](const QelErrorPtr& error, const QelVerifyResultModel& r) {
            if (error) std::fprintf(stderr, "verify: %s\n", errorDescription(error).c_str());
            finished.set_value(r);
        });
    const QelVerifyResultModel result = finished.get_future().get();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::ofstream out(argv[3]);
    out << seconds << " " << result.checked << " " << result.good << " " << usage.ru_maxrss << "\n";
    return result.good == static_cast<int64_t>(list.size()) ? 0 : 1;
}
