// NOR flash of an emulated reader: erasing sets every bit, programming can only clear bits. The
// large readers also have a data flash, which the loaders only ever erase as a whole.
#ifndef KORVEL_SIM_FLASH_MODEL_H
#define KORVEL_SIM_FLASH_MODEL_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/reader_layout.h"

namespace korvel::sim {

// Outcome of a write: a loader status byte, and for a refusal the first address at fault and a
// sentence saying why.
struct WriteResult {
    uint8_t status = 0;
    uint32_t address = 0;
    std::string reason;
};

class FlashModel {
  public:
    // A fresh code flash: every byte erased (0xFF). The data flash starts filled with
    // kDataFlashFill, so that an erase shows in its dump.
    explicit FlashModel(const ReaderLayout& layout);

    // Erases every writable bank.
    void EraseCode();

    // Programs `bytes` from `address`. All or nothing: a refused write changes no byte. Refuses
    // addresses outside the writable banks (status::kOutsideFlash) and bytes that would set a bit
    // that is 0 (status::kNotErased).
    [[nodiscard]] WriteResult Write(uint64_t address, std::span<const uint8_t> bytes);

    // The byte at `address`, or nothing outside every bank.
    std::optional<uint8_t> Read(uint64_t address) const;

    // True when every byte of [address, address + size) lies in a writable bank.
    bool Writable(uint64_t address, uint64_t size) const;

    // Addresses 0 .. dumpSize - 1; bytes outside every bank read 0xFF.
    std::vector<uint8_t> Dump() const;

    // True when 'K', 'V' stand at the layout's signature address.
    bool Signed() const;

    // Sets every byte of the data flash to 0xFF.
    void EraseData();
    // The data flash, its offset 0 first; empty when the reader has none.
    const std::vector<uint8_t>& Data() const { return data_; }

    const ReaderLayout& Layout() const { return layout_; }

  private:
    struct Bank {
        Region region;
        std::vector<uint8_t> bytes;
    };
    size_t BankIndex(uint64_t address) const;  // banks_.size() when no bank holds the address
    const Bank* FindBank(uint64_t address) const;

    const ReaderLayout& layout_;
    std::vector<Bank> banks_;
    std::vector<uint8_t> data_;
};

// What a data flash holds until it is erased, repeated over its whole size.
inline constexpr char kDataFlashFill[] = "data flash kept\n";

}  // namespace korvel::sim

#endif
