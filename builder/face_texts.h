#pragma once

// The fixed hints of the face check verdicts.
namespace velmora::builder {

inline constexpr const char* kPerfectMessage = "完美";
inline constexpr const char* kNoFaceMessage = "未识别到人脸";
inline constexpr const char* kManyFacesMessage = "检测到多人脸，请保持 1 人";
inline constexpr const char* kNotFrontalMessage = "请保持正脸";
inline constexpr const char* kNotCentredMessage = "请将人脸对准屏幕中央";
inline constexpr const char* kExpressionMessage = "请保持面部无夸张表情";
inline constexpr const char* kNoModelMessage =
    "请先调用: QelAIKit loadAIModeWithAIType:QELAITYPE_FACEPROCESSOR dataPath: "
    "面驱bundle路径，加载面驱功能";
inline constexpr const char* kModelFailedMessage = "面驱bundle 加载失败";
inline constexpr const char* kImageFailedLog = "图片检测失败";

}  // namespace velmora::builder
