// A host that only sees the installed headers and library.
#include <velmora/velmora.h>

#include <cstdio>

int main() {
    using namespace velmora;
    bool ok = QelEncryptUtils::HMacSHA256WithSecret("Jefe", "what do ya want for nothing?") ==
                  "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843" &&
              QelTool::errorMessage(QelTool::errorWithCode(999999, "x")) == "x" &&
              isAbsent(QelTool::getURLParameters("https://h/p"));
    std::printf("host %s %s\n", ok ? "ok" : "FAILED", VELMORA_VERSION_TEXT);
    return ok ? 0 : 1;
}
