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
inline constexpr const char* kBlurredMessage = "画面模糊，请保持稳定";
inline constexpr const char* kTooDarkMessage = "光线太暗，请到明亮处";
inline constexpr const char* kTooBrightMessage = "光线太强，请避开强光";
inline constexpr const char* kBacklitMessage = "逆光，请面向光源";
inline constexpr const char* kTooSmallMessage = "请靠近一点";
inline constexpr const char* kTooCloseMessage = "请离远一点";
inline constexpr const char* kEyesClosedMessage = "请睁开眼睛";

}  // namespace velmora::builder
