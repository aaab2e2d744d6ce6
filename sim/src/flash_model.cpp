#include "sim/flash_model.h"

#include <algorithm>
#include <cstdio>

#include "base/hex.h"
#include "sim/loader_status.h"

namespace korvel::sim {

inline constexpr uint8_t kErased = 0xFF;

FlashModel::FlashModel(const ReaderLayout& layout) : layout_(layout) {
    for (const Region& region : CodeRegions(layout)) {
        banks_.push_back({region, std::vector<uint8_t>(region.end - region.start, kErased)});
    }
    constexpr size_t kFillLength = sizeof kDataFlashFill - 1;
    data_.resize(layout.dataFlashSize);
    for (size_t i = 0; i < data_.size(); ++i) {
        data_[i] = static_cast<uint8_t>(kDataFlashFill[i % kFillLength]);
    }
}

void FlashModel::EraseData() {
    std::fill(data_.begin(), data_.end(), kErased);
}

void FlashModel::EraseCode() {
    for (Bank& bank : banks_) {
        if (bank.region.writable) std::fill(bank.bytes.begin(), bank.bytes.end(), kErased);
    }
}

size_t FlashModel::BankIndex(uint64_t address) const {
    for (size_t i = 0; i < banks_.size(); ++i) {
        if (address >= banks_[i].region.start && address < banks_[i].region.end) return i;
    }
    return banks_.size();
}

const FlashModel::Bank* FlashModel::FindBank(uint64_t address) const {
    const size_t index = BankIndex(address);
    return index < banks_.size() ? &banks_[index] : nullptr;
}

bool FlashModel::Writable(uint64_t address, uint64_t size) const {
    uint64_t at = address;
    const uint64_t end = address + size;
    while (at < end) {
        const Bank* bank = FindBank(at);
        if (bank == nullptr || !bank->region.writable) return false;
        at = bank->region.end;  // banks may adjoin: go on in the next one
    }
    return true;
}

WriteResult FlashModel::Write(uint64_t address, std::span<const uint8_t> bytes) {
    // First pass checks everything so that a refused write leaves the flash as it was.
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint64_t at = address + i;
        const Bank* bank = FindBank(at);
        if (bank == nullptr || !bank->region.writable) {
            std::string where = bank == nullptr ? "outside the flash"
                                                : std::string("in the ") + bank->region.name +
                                                      " area, which the loader does not write";
            return {status::kOutsideFlash, static_cast<uint32_t>(at),
                    "address " + base::HexNumber(at, 4) + " lies " + where};
        }
        const uint8_t old = bank->bytes[at - bank->region.start];
        if ((bytes[i] & ~old) != 0) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "writing 0x%02X over 0x%02X at %s needs an erase first", bytes[i], old,
                          base::HexNumber(at, 4).c_str());
            return {status::kNotErased, static_cast<uint32_t>(at), text};
        }
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint64_t at = address + i;
        Bank& bank = banks_[BankIndex(at)];
        bank.bytes[at - bank.region.start] &= bytes[i];
    }
    return {};
}

std::optional<uint8_t> FlashModel::Read(uint64_t address) const {
    const Bank* bank = FindBank(address);
    if (bank == nullptr) return std::nullopt;
    return bank->bytes[address - bank->region.start];
}

std::vector<uint8_t> FlashModel::Dump() const {
    std::vector<uint8_t> out(layout_.dumpSize, kErased);
    for (const Bank& bank : banks_) {
        const uint32_t start = bank.region.start;
        if (start >= out.size()) continue;
        const size_t count = std::min<size_t>(bank.bytes.size(), out.size() - start);
        std::copy_n(bank.bytes.begin(), count, out.begin() + start);
    }
    return out;
}

bool FlashModel::Signed() const {
    return Read(layout_.signatureAddress) == uint8_t{'K'} &&
           Read(layout_.signatureAddress + 1) == uint8_t{'V'};
}

}  // namespace korvel::sim
