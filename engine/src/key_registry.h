// The base keys a job's key selector can name: A and B built in, the others registered by the
// client beforehand (RegisterBaseKey, exported by the engine). One registry per process, in the
// engine library, where the worker reads it.
#ifndef CORDANE_KEY_REGISTRY_H
#define CORDANE_KEY_REGISTRY_H

#include <cstdint>

#include "cordane/formats/cipher.h"

namespace cordane {

// The base key that a key selector names. False, with `out` untouched, when it names none.
[[nodiscard]] bool BaseKeyFor(uint32_t selector, uint8_t out[kBaseKeySize]);

}  // namespace cordane

#endif
