#include <algorithm>
#include <filesystem>
#include <set>

#include "engine/standin/internal.h"

namespace velmora {

namespace {

bool isReadableFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

void erase(std::vector<std::string>& list, const std::string& value) {
    list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

std::optional<QelColor> colorFromJson(const Json& value) {
    if (!value.is_array() || value.size() < 3 || value.size() > 4) return std::nullopt;
    for (const auto& c : value)
        if (!c.is_number()) return std::nullopt;
    QelColor color{value[0].get<double>(), value[1].get<double>(), value[2].get<double>(), 1.0};
    if (value.size() == 4) color.a = value[3].get<double>();
    return color;
}

void addComponent(QelAvatar::Impl& state, const QelItem& item) {
    const auto& it = item.impl();
    auto& comps = state.components;
    comps.erase(
        std::remove_if(comps.begin(), comps.end(),
                       [&](const standin::ComponentInfo& c) { return c.fileId == it.fileId; }),
        comps.end());
    comps.push_back({it.fileId, it.name, it.category, it.path});
    if (!contains(state.bundleList, it.fileId)) state.bundleList.push_back(it.fileId);
}

}  // namespace

QelItem::QelItem(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
QelItem::~QelItem() = default;

std::shared_ptr<QelItem> QelItem::itemWithPath(const std::string& path, const std::string& name,
                                               const std::string& fileId) {
    if (path.empty() || fileId.empty()) return nullptr;
    Json meta = standin::bundleMetaObject(path);
    if (isAbsent(meta)) return nullptr;
    auto impl = std::make_unique<Impl>(Impl{path, name, fileId, standin::metaCategory(meta)});
    return std::shared_ptr<QelItem>(new QelItem(std::move(impl)));
}

QelAvatar::QelAvatar(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
QelAvatar::~QelAvatar() = default;

std::shared_ptr<QelAvatar> QelAvatar::initWithControllerConfigPath(const std::string& configPath,
                                                                   const std::string& graphPath,
                                                                   const std::string& logicPath) {
    if (!isReadableFile(configPath) || !isReadableFile(graphPath) || !isReadableFile(logicPath))
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->configPath = configPath;
    impl->graphPath = graphPath;
    impl->logicPath = logicPath;
    return std::shared_ptr<QelAvatar>(new QelAvatar(std::move(impl)));
}

std::vector<std::string> QelAvatar::updateAvatarStr(const std::string& avatarStr,
                                                    const std::vector<std::string>& /*pres*/) {
    Json doc = Json::parse(avatarStr, nullptr, false);
    if (!doc.is_object()) return {};

    std::vector<std::string> bundles;
    std::map<std::string, QelColor> colors;
    std::map<std::string, double> deformations;
    Json gender = absentJson();
    Json extras = Json::object();
    for (const auto& [key, value] : doc.items()) {
        if (key == "bundle_list") {
            if (!value.is_array()) continue;
            for (const auto& id : value)
                if (id.is_string() && !id.get<std::string>().empty() &&
                    !contains(bundles, id.get<std::string>()))
                    bundles.push_back(id.get<std::string>());
        } else if (key == "colors") {
            if (!value.is_object()) continue;
            for (const auto& [ck, cv] : value.items())
                if (auto c = colorFromJson(cv)) colors[ck] = *c;
        } else if (key == "deformations") {
            if (!value.is_object()) continue;
            for (const auto& [dk, dv] : value.items())
                if (dv.is_number()) deformations[dk] = dv.get<double>();
        } else if (key == "gender") {
            gender = value;
        } else if (key != "name") {
            extras[key] = value;
        }
    }

    std::lock_guard lock(impl_->mutex);
    auto& comps = impl_->components;
    comps.erase(std::remove_if(
                    comps.begin(), comps.end(),
                    [&](const standin::ComponentInfo& c) { return !contains(bundles, c.fileId); }),
                comps.end());
    impl_->bundleList = bundles;
    impl_->colors = std::move(colors);
    impl_->deformations = std::move(deformations);
    impl_->gender = std::move(gender);
    impl_->extras = std::move(extras);
    return bundles;
}

std::string QelAvatar::avatarJsonWithName(const std::string& name) const {
    std::lock_guard lock(impl_->mutex);
    Json doc = impl_->extras;
    doc["name"] = name;
    if (!isAbsent(impl_->gender)) doc["gender"] = impl_->gender;
    doc["bundle_list"] = impl_->bundleList;
    Json colors = Json::object();
    for (const auto& [key, c] : impl_->colors) colors[key] = {c.r, c.g, c.b, c.a};
    doc["colors"] = std::move(colors);
    Json deformations = Json::object();
    for (const auto& [key, v] : impl_->deformations) deformations[key] = v;
    doc["deformations"] = std::move(deformations);
    return doc.dump();
}

std::shared_ptr<QelAvatar> QelAvatar::copy() const {
    std::lock_guard lock(impl_->mutex);
    auto impl = std::make_unique<Impl>();
    impl->configPath = impl_->configPath;
    impl->graphPath = impl_->graphPath;
    impl->logicPath = impl_->logicPath;
    impl->gender = impl_->gender;
    impl->bundleList = impl_->bundleList;
    impl->colors = impl_->colors;
    impl->deformations = impl_->deformations;
    impl->components = impl_->components;
    impl->extras = impl_->extras;
    return std::shared_ptr<QelAvatar>(new QelAvatar(std::move(impl)));
}

std::vector<std::string> QelAvatar::checkDefault(const std::vector<std::string>& paths,
                                                 const std::vector<std::string>& fileIds) const {
    std::vector<std::string> needed = fileIds;
    auto defaults = standin::activeDefaultSet();
    if (!defaults) return needed;
    std::set<std::string> covered;
    for (const auto& path : paths) {
        std::string category = standin::metaCategory(standin::bundleMetaObject(path));
        if (!category.empty()) covered.insert(category);
    }
    // A default that is itself requested covers its category.
    for (const auto& entry : *defaults)
        if (contains(fileIds, entry.fileId)) covered.insert(entry.category);
    for (const auto& entry : *defaults) {
        if (covered.count(entry.category)) continue;
        needed.push_back(entry.fileId);
        // One default per category, the first listed.
        covered.insert(entry.category);
    }
    return needed;
}

void QelAvatar::addNewComponentsWithRemoveComponentFileIds(
    const std::vector<QelItemPtr>& components, const std::vector<std::string>& fileIds) {
    std::lock_guard lock(impl_->mutex);
    auto& comps = impl_->components;
    comps.erase(std::remove_if(
                    comps.begin(), comps.end(),
                    [&](const standin::ComponentInfo& c) { return contains(fileIds, c.fileId); }),
                comps.end());
    for (const auto& id : fileIds) erase(impl_->bundleList, id);
    for (const auto& item : components)
        if (item) addComponent(*impl_, *item);
}

void QelAvatar::addNewComponentsWithRemoveComponentNames(const std::vector<QelItemPtr>& components,
                                                         const std::vector<std::string>& names) {
    std::lock_guard lock(impl_->mutex);
    auto& comps = impl_->components;
    for (auto it = comps.begin(); it != comps.end();) {
        if (contains(names, it->name)) {
            erase(impl_->bundleList, it->fileId);
            it = comps.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& item : components)
        if (item) addComponent(*impl_, *item);
}

void QelAvatar::setRGBAColor(const QelColor& color, const std::string& key) {
    std::lock_guard lock(impl_->mutex);
    impl_->colors[key] = color;
}

void QelAvatar::setDeformationValue(double value, const std::string& key) {
    std::lock_guard lock(impl_->mutex);
    impl_->deformations[key] = value;
}

}  // namespace velmora

namespace velmora::standin {

std::vector<ComponentInfo> components(const QelAvatar& avatar) {
    std::lock_guard lock(avatar.impl().mutex);
    return avatar.impl().components;
}

std::vector<std::string> bundleList(const QelAvatar& avatar) {
    std::lock_guard lock(avatar.impl().mutex);
    return avatar.impl().bundleList;
}

std::map<std::string, QelColor> colors(const QelAvatar& avatar) {
    std::lock_guard lock(avatar.impl().mutex);
    return avatar.impl().colors;
}

std::map<std::string, double> deformations(const QelAvatar& avatar) {
    std::lock_guard lock(avatar.impl().mutex);
    return avatar.impl().deformations;
}

Json gender(const QelAvatar& avatar) {
    std::lock_guard lock(avatar.impl().mutex);
    return avatar.impl().gender;
}

}  // namespace velmora::standin
