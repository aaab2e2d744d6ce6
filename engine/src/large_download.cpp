// The download procedure of reader types 2 to 9.

#include "procedures.h"
#include "protocol.h"

namespace cordane {

void LargeReaderDownload(Job& job) {
    // This build cannot serve the large readers yet: end the session rather than pretend.
    job.Fail(kStatusFile,
             "This version of Cordane cannot download reader types 2 to 9 yet. Use a version "
             "that supports large readers.");
}

}  // namespace cordane
