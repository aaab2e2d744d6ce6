// Fuzz target for the job log's target (--log, KORVEL_LOG): any text is a file path, a PostgreSQL
// database or refused with a reason, never a crash; shown, it holds no control character; and a
// password written in an address or in libpq's words shows neither in the target nor in a
// message that quotes it.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "joblog/job_log.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

bool HasControl(const std::string& text, bool linesAllowed) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (linesAllowed && (c == '\n' || c == '\t')) continue;
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvel::joblog;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string why;
    if (ClassifyTarget(text, &why) == TargetKind::kRefused) Require(!why.empty());
    Require(!HasControl(ShownTarget(text), false));
    Require(!HasControl(ShownMessage(text, text), true));

    // The letters and digits of the input as a password, in each way a target writes one.
    std::string password;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) && password.size() < 32) password += c;
    }
    const std::string fixed =
        "postgresql://op:@db/k host=db password= postgres://db/k?password= "
        "x \" \" y";
    if (password.size() < 3 || fixed.find(password) != std::string::npos) return 0;
    for (const std::string& target :
         {"postgresql://op:" + password + "@db/k", "host=db password=" + password,
          "postgres://db/k?password=" + password}) {
        Require(ShownTarget(target).find(password) == std::string::npos);
        Require(ShownMessage("x \"" + password + "\" y", target).find(password) ==
                std::string::npos);
    }
    return 0;
}
