// A host that only sees the installed headers and library.
#include <velmora/velmora.h>

#include <cstdio>
#include <cstring>

int main() {
    using namespace velmora;
    bool ok =
        QelEncryptUtils::HMacSHA256WithSecret("Jefe", "what do ya want for nothing?") ==
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843" &&
        QelTool::errorMessage(QelTool::errorWithCode(999999, "x")) == "x" &&
        isAbsent(QelTool::getURLParameters("https://h/p")) && Velmora::version() == "2.1.0" &&
        VelmoraVersionNumber == 1.0 &&
        std::strcmp(reinterpret_cast<const char*>(VelmoraVersionString),
                    "@(#)PROGRAM:Velmora  PROJECT:Velmora-1\n") == 0 &&
        QelCornerRadiiMake(1, 2, 3, 4).bottomRight == 4 &&
        QelCustomColor::colorWithHexStr("#FF8000").red() == 1.0 &&
        QelCustomColor::colorWithHexStr("#FF8000") == QelCustomColor::colorWithRGBValue(0x12FF8000);
    std::printf("host %s %s\n", ok ? "ok" : "FAILED", VELMORA_VERSION_TEXT);
    return ok ? 0 : 1;
}
