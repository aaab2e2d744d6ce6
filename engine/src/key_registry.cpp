#include "key_registry.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>

#include "cordane/cordane.h"

namespace cordane {

namespace {

struct BaseKeyRegistry {
    std::mutex mutex;
    std::map<uint32_t, std::array<uint8_t, kBaseKeySize>> keys;
};

BaseKeyRegistry& Registry() {
    static BaseKeyRegistry registry;
    return registry;
}

}  // namespace

bool BaseKeyFor(uint32_t selector, uint8_t out[kBaseKeySize]) {
    if (out == nullptr) return false;
    if (BuiltInBaseKey(selector, out)) return true;
    try {
        BaseKeyRegistry& registry = Registry();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        const auto found = registry.keys.find(selector);
        if (found == registry.keys.end()) return false;
        std::copy(found->second.begin(), found->second.end(), out);
        return true;
    } catch (const std::exception&) {
        return false;  // a mutex that cannot be locked: no key
    }
}

}  // namespace cordane

int RegisterBaseKey(uint32_t selector, const uint8_t key[8]) {
    using namespace cordane;
    if (key == nullptr || selector == kBaseKeyA || selector == kBaseKeyB) return -1;
    try {
        std::array<uint8_t, kBaseKeySize> copy{};
        std::copy(key, key + kBaseKeySize, copy.begin());
        BaseKeyRegistry& registry = Registry();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.keys.insert_or_assign(selector, copy);
        WipeKey(copy.data(), copy.size());
        return 0;
    } catch (const std::exception&) {
        return -1;  // out of memory, or a mutex that cannot be locked: nothing registered
    }
}
