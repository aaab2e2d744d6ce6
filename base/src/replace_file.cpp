#include "base/replace_file.h"

#include "os.h"

namespace korvel::base {

Expected<void> ReplaceWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                                const ReplaceOptions& options) {
    if (path.empty()) {
        return Fail("no file name given to write to", "give the output file's name",
                    Cause::NotFound);
    }
    return os::ReplaceWholeFile(path, bytes, options);
}

}  // namespace korvel::base
