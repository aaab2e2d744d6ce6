#include "sim/loader.h"

#include "sim/addressed_loader.h"
#include "sim/raw_loader.h"

namespace korvel::sim {

std::unique_ptr<Loader> MakeLoader(LoaderKind kind, FlashModel& flash,
                                   std::span<const AcceptedRoutine> routines,
                                   AppNumber* appNumber) {
    if (kind == LoaderKind::Raw) return std::make_unique<RawLoader>(flash, routines);
    return std::make_unique<AddressedLoader>(flash, routines, appNumber);
}

}  // namespace korvel::sim
