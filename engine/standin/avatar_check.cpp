#include <algorithm>

#include "engine/standin/bundle_format.h"
#include "engine/standin/internal.h"

namespace velmora::standin {

namespace {

std::mutex& defaultSetMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const DefaultSet>& defaultSetSlot() {
    static std::shared_ptr<const DefaultSet> slot;
    return slot;
}

}  // namespace

void setActiveDefaultSet(std::shared_ptr<const DefaultSet> set) {
    std::lock_guard lock(defaultSetMutex());
    defaultSetSlot() = std::move(set);
}

std::shared_ptr<const DefaultSet> activeDefaultSet() {
    std::lock_guard lock(defaultSetMutex());
    return defaultSetSlot();
}

Json bundleMetaObject(const std::string& path) {
    if (path.empty()) return absentJson();
    std::string text = readBundleMeta(path);
    if (text.empty()) return absentJson();
    Json meta = Json::parse(text, nullptr, false);
    return meta.is_object() ? meta : absentJson();
}

std::string metaCategory(const Json& meta) {
    if (!meta.is_object()) return {};
    auto it = meta.find("category");
    return it != meta.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<std::pair<std::string, std::string>> defaultSet(const QelAvatarCheck& check) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : *check.impl().defaults) out.emplace_back(e.category, e.fileId);
    return out;
}

std::vector<std::string> loadedDefaultBundles(const QelAvatarCheck& check) {
    std::lock_guard lock(check.impl().mutex);
    return check.impl().loadedPaths;
}

std::vector<std::string> activeDefaultFileIds() {
    std::vector<std::string> out;
    if (auto set = activeDefaultSet())
        for (const auto& e : *set) out.push_back(e.fileId);
    return out;
}

}  // namespace velmora::standin

namespace velmora {

QelAvatarCheck::QelAvatarCheck(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
QelAvatarCheck::~QelAvatarCheck() = default;

std::shared_ptr<QelAvatarCheck> QelAvatarCheck::checkDefaultJson(const std::string& defaultJson) {
    Json doc = Json::parse(defaultJson, nullptr, false);
    if (!doc.is_object()) return nullptr;
    auto list = doc.find("default_list");
    if (list == doc.end() || !list->is_array()) return nullptr;

    auto set = std::make_shared<standin::DefaultSet>();
    for (const auto& entry : *list) {
        if (!entry.is_object()) continue;
        auto category = entry.find("category");
        auto fileId = entry.find("file_id");
        if (category == entry.end() || !category->is_string() || fileId == entry.end() ||
            !fileId->is_string() || fileId->get<std::string>().empty())
            continue;
        set->push_back({category->get<std::string>(), fileId->get<std::string>()});
    }
    standin::setActiveDefaultSet(set);
    auto impl = std::make_unique<Impl>();
    impl->defaults = std::move(set);
    return std::shared_ptr<QelAvatarCheck>(new QelAvatarCheck(std::move(impl)));
}

std::string QelAvatarCheck::getMetaWithBundlePath(const std::string& bundlePath) {
    return standin::readBundleMeta(bundlePath);
}

bool QelAvatarCheck::addDefaultBundleWithPaths(const std::vector<std::string>& paths) {
    bool all = true;
    std::vector<std::string> loaded;
    for (const auto& path : paths) {
        if (isAbsent(standin::bundleMetaObject(path))) {
            all = false;
            continue;
        }
        loaded.push_back(path);
    }
    std::lock_guard lock(impl_->mutex);
    for (const auto& path : loaded) {
        auto& kept = impl_->loadedPaths;
        if (std::find(kept.begin(), kept.end(), path) == kept.end()) kept.push_back(path);
    }
    return all;
}

std::vector<std::string> QelAvatarCheck::defaultPaths() const {
    std::vector<std::string> out;
    for (const auto& e : *impl_->defaults) out.push_back(e.fileId);
    return out;
}

}  // namespace velmora
