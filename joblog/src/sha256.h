// SHA-256, for the fingerprints of the files a job downloads: small enough to carry here, so that
// neither the tool nor Brenmark needs a cryptographic library at run time.
#ifndef KORVEL_JOBLOG_SHA256_H
#define KORVEL_JOBLOG_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel::joblog {

class Sha256 {
  public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    void Update(const uint8_t* data, size_t size);
    // The digest of everything given; the object is then spent.
    Digest Finish();

  private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace korvel::joblog

#endif
