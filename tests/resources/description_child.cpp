// The description-bound test's child: one operation on an avatar description, each completion
// and result reported on standard output, then the process's own peak memory.
// Usage: description_child OPERATION ARGS...
//   model DIR ENGINE_DIR: reads the description of the avatar directory DIR, makes its engine
//     avatar (engine files controller.json, graph.json, logic.json in ENGINE_DIR), clones the
//     model and saves it. Prints "model INFO AVATAR CLONE SAVED", each 0 or 1.
//   upload DIR: uploads the avatar directory (refused before anything is sent).
//   fetch BASE KEY SECRET APPID ROOT: fetches the avatar "big" from the cloud at BASE.
//   result BASE KEY SECRET APPID ROOT: asks the cloud for the result of the task "big".
// The cloud operations print "completion CODE MESSAGE" and wait until the HTTP client has no
// request left. Last line: "peak KIB".
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/child_report.h"
#include "velmora/avatar_helper.h"
#include "velmora/avatar_model.h"
#include "velmora/cloud_service.h"
#include "velmora/networking.h"

using namespace velmora;

namespace {

using velmora::testing::report;
using velmora::testing::say;

// The cloud operations take: BASE_URL API_KEY API_SECRET APPID ROOT after the operation's own.
std::shared_ptr<QelCloudService> service(char** argv) {
    return velmora::testing::setUpService(argv + 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string operation = argv[1];
    if (operation == "model" && argc == 4) {
        const std::string engine = argv[3];
        auto helper = QelAvatarHelper::shareHelper();
        helper->setControllerConfigPath(engine + "/controller.json");
        helper->setAnimationGraphPath(engine + "/graph.json");
        helper->setAnimationLogicPath(engine + "/logic.json");
        auto model = std::make_shared<QelAvatarModel>("big", argv[2]);
        const bool info = !isAbsent(model->avatarInfo());
        const bool avatar = model->avatar() != nullptr;
        const bool clone = model->clone()->avatar() != nullptr;
        const bool saved = model->save();
        say("model " + std::to_string(info) + " " + std::to_string(avatar) + " " +
            std::to_string(clone) + " " + std::to_string(saved));
    } else if (operation == "upload") {
        QelCloudService::sharedService()->uploadAvatarInfoWithAvatarPath(
            argv[2], [](const QelErrorPtr& error, const auto&) { report(error); });
    } else if (operation == "fetch" && argc == 7) {
        service(argv)->getAvatarInfoWithAvatarId(
            "big", [](const QelErrorPtr& error, const Json&) { report(error); });
        if (!velmora::testing::waitUntilSettled()) say("unsettled");
    } else if (operation == "result" && argc == 7) {
        service(argv)->getTaskInfoWithTaskId(
            "big", [](const QelErrorPtr& error, const auto&) { report(error); });
        if (!velmora::testing::waitUntilSettled()) say("unsettled");
    } else {
        return 2;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    say("peak " + std::to_string(usage.ru_maxrss));
    std::_Exit(0);
}
