#include "velmora/avatar_model.h"

#include <cmath>
#include <cstdio>

#include "core/atomic_file.h"
#include "core/format.h"
#include "core/host_files.h"
#include "core/percent.h"
#include "engine/avatar.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "velmora/avatar_helper.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

constexpr double kIconWidth = 150;

// "%@" of a text that may be unset.
std::string shown(const std::string& text) {
    return text.empty() ? "(null)" : text;
}

void logElapsed(double started, const char* what) {
    char line[160];
    std::snprintf(line, sizeof line, "Time profile used time : %fms for %s",
                  (platform::absoluteTimeNow() - started) * 1000.0, what);
    platform::systemLog(line);
}

uint64_t genderOf(const Json& info) {
    const Json& value = jsonMemberRef(info, "gender");
    if (value.is_number()) {
        const double number = value.get<double>();
        return std::isfinite(number) && std::trunc(number) == 0 ? 0 : 1;
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_string()) return value.get<std::string>() == "male" ? 0 : 1;
    return 1;
}

}  // namespace

QelAvatarModel::QelAvatarModel(std::string name, std::string avatarPath)
    : name_(std::move(name)), avatarPath_(std::move(avatarPath)) {}

QelAvatarModel::QelAvatarModel(std::string avatarJson) : avatarJson_(std::move(avatarJson)) {}

QelAvatarModel::~QelAvatarModel() {
    char line[96];
    std::snprintf(line, sizeof line, "QelAvatarModel::%p-销毁了!", static_cast<void*>(this));
    platform::systemLog(line);
}

std::string QelAvatarModel::avatarJsonPath() const {
    return platform::appendPathComponent(avatarPath_, detail::kAvatarJsonName);
}

std::optional<std::string> QelAvatarModel::descriptionText() const {
    if (!avatarJson_.empty()) return avatarJson_;
    return detail::readAvatarDescription(avatarPath_);
}

QelImagePtr QelAvatarModel::iconImage() {
    if (!iconImage_ && !avatarPath_.empty()) {
        if (auto bytes = detail::readAvatarFile(avatarPath_, detail::kAvatarIconName,
                                                detail::kMaxIconFileBytes))
            iconImage_ = QelImage::iconWithData(std::vector<uint8_t>(bytes->begin(), bytes->end()));
    }
    return iconImage_;
}

void QelAvatarModel::setIconImage(QelImagePtr image) {
    iconImage_ = image;
    newIconImage_ = std::move(image);
}

Json QelAvatarModel::avatarInfo() {
    if (isAbsent(avatarInfo_)) {
        if (const auto text = descriptionText())
            avatarInfo_ = detail::parseAvatarDescription(*text);
    }
    return avatarInfo_;
}

void QelAvatarModel::setAvatarInfo(Json avatarInfo) {
    avatarInfo_ = std::move(avatarInfo);
}

uint64_t QelAvatarModel::gender() {
    gender_ = genderOf(avatarInfo());
    return gender_;
}

void QelAvatarModel::setGender(uint64_t gender) {
    gender_ = gender;
}

Json QelAvatarModel::genderFilter() {
    if (isAbsent(genderFilter_)) genderFilter_ = Json{{"gender", gender() ? "female" : "male"}};
    return genderFilter_;
}

void QelAvatarModel::setGenderFilter(Json genderFilter) {
    genderFilter_ = std::move(genderFilter);
}

std::shared_ptr<QelAvatar> QelAvatarModel::avatar() {
    if (avatar_) return avatar_;
    auto created = QelAvatarHelper::createAvatar();
    if (!created) return nullptr;
    const std::optional<std::string> text = descriptionText();
    // The engine gets only a description the SDK itself can read: bounded in size and depth.
    Json parsed =
        text && detail::isValidUTF8(*text) ? detail::parseAvatarDescription(*text) : absentJson();
    if (isAbsent(parsed)) {
        QelTool::errorLog(
            detail::formatMessage("%@ 下的 avatar.json 异常！", {shown(avatarPath_)}));
        return nullptr;
    }
    // Kept as the description read, or dropped before the engine makes its own copy.
    if (isAbsent(avatarInfo_))
        avatarInfo_ = std::move(parsed);
    else
        parsed = Json();
    jsonFileIds_ = created->updateAvatarStr(*text, {});
    if (jsonFileIds_.empty()) {
        QelTool::errorLog(detail::formatMessage(
            "Avatar 的 bundleList 解析后为空数组, AvatarName：%@, AvatarId：%@, AvatarPath：%@",
            {shown(name_), shown(avatarId_), shown(avatarPath_)}));
    }
    avatar_ = std::move(created);
    addedBaseComponents_ = false;
    return avatar_;
}

void QelAvatarModel::setAvatar(std::shared_ptr<QelAvatar> avatar) {
    if (avatar != avatar_) addedBaseComponents_ = false;
    avatar_ = std::move(avatar);
}

std::vector<std::string> QelAvatarModel::avatarJsonFileIds() {
    avatar();
    return jsonFileIds_;
}

bool QelAvatarModel::save() {
    if (isAppBundleAvatarPath()) {
        platform::systemLog("Cant Not save avatar to app directory!");
        return false;
    }
    if (avatarPath_.empty()) {
        // Without a directory the description would land in the working directory.
        QelTool::errorLog("avatarPath 为空，无法保存 Avatar！");
        return false;
    }
    if (!detail::isRealDirectory(avatarPath_)) {
        // A link would take the files wherever it points.
        QelTool::errorLog(
            detail::formatMessage("%@ 不是形象目录，无法保存 Avatar！", {avatarPath_}));
        return false;
    }
    saveIconImage();
    const std::string target = avatarJsonPath();
    if (!avatarJson_.empty()) {
        // Only what can be read back: a description over the bound would never load again.
        std::string why;
        if (isAbsent(detail::parseAvatarDescription(avatarJson_, &why))) {
            QelTool::errorLog(detail::formatMessage("要保存的 avatarJson 异常：%@", {why}));
            return false;
        }
        if (!detail::writeFileAtomically(target, avatarJson_, true)) return false;
        avatarJson_.clear();
        return true;
    }
    auto engineAvatar = avatar();
    const std::string text = engineAvatar ? engineAvatar->avatarJsonWithName(name_) : std::string();
    if (text.empty()) {
        QelTool::errorLog("avatarJson 数据为空");
        return false;
    }
    const Json parsed = detail::parseAvatarDescription(text);
    const Json& bundles = jsonMemberRef(parsed, "bundle_list");
    if (!bundles.is_array() || bundles.empty()) {
        QelTool::errorLog("要保存的Avatar 的 bundle_list为空!");
        return false;
    }
    return detail::writeFileAtomically(target, text, true);
}

bool QelAvatarModel::saveIconImage() {
    if (!newIconImage_) return true;
    const QelSize size = newIconImage_->size();
    const double height = size.width > 0 ? kIconWidth * size.height / size.width : kIconWidth;
    auto fitted = QelImage::compressImage(newIconImage_, {kIconWidth, height});
    auto png = fitted ? fitted->pngData() : std::nullopt;
    if (!png || !detail::isRealDirectory(avatarPath_)) return false;
    const std::string target = platform::appendPathComponent(avatarPath_, detail::kAvatarIconName);
    if (!detail::writeFileAtomically(target, std::string(png->begin(), png->end()), true))
        return false;
    newIconImage_.reset();
    return true;
}

void QelAvatarModel::destroyAvatar() {
    avatar_.reset();
    jsonFileIds_.clear();
    // The flag describes the engine avatar just dropped; a new one starts without its items.
    addedBaseComponents_ = false;
}

bool QelAvatarModel::isAppBundleAvatarPath() const {
    return avatarPath_.find(".app") != std::string::npos;
}

std::shared_ptr<QelAvatarModel> QelAvatarModel::clone() {
    const double started = platform::absoluteTimeNow();
    auto model = std::make_shared<QelAvatarModel>(name(), avatarPath());
    model->setAvatarId(avatarId());
    auto engineAvatar = avatar();
    model->setAvatar(engineAvatar ? engineAvatar->copy() : nullptr);
    model->setIconImage(iconImage());
    model->setAvatarInfo(avatarInfo());
    model->setGender(gender());
    model->setGenderFilter(genderFilter());
    model->setAddedBaseComponents(addedBaseComponents());
    model->setJsonFileIds(jsonFileIds());
    logElapsed(started, "avatar model clone");
    return model;
}

void QelAvatarModel::cloneAvatarModel(const std::shared_ptr<QelAvatarModel>& source) {
    const double started = platform::absoluteTimeNow();
    if (source && source.get() != this) {
        setName(source->name());
        setAvatarId(source->avatarId());
        setAvatarPath(source->avatarPath());
        setAvatar(source->avatar());
        setIconImage(source->iconImage());
        setAvatarInfo(source->avatarInfo());
        setGender(source->gender());
        setGenderFilter(source->genderFilter());
        setAddedBaseComponents(source->addedBaseComponents());
        setJsonFileIds(source->jsonFileIds());
    }
    logElapsed(started, "avatar model cloneAvatarModel");
}

}  // namespace velmora
