// Fuzz target for the kit's simulator configuration. The input is the file; the reader must end
// safely on every record stream, the record must come back from its bytes byte for byte, and the
// fields decoded must keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "brenmark/application_files.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brenmark::SimulatorRecord::Bytes bytes = brenmark::SimulatorRecord().ToBytes();
    brenmark::ReadSimulatorRecords(data, size, bytes);
    const brenmark::SimulatorRecord record = brenmark::SimulatorRecord::FromBytes(bytes);
    Require(record.ToBytes() == bytes);
    const brenmark::SimulatorSettings settings = brenmark::DecodeSimulatorRecord(record);
    Require((settings.portWord & 0x7F00) == 0);
    Require(settings.outputDirectory.size() <= 83);
    Require(settings.outputDirectory.find('\\') == std::string::npos);
    Require(settings.outputDirectory.empty() || settings.outputDirectory.back() == '/');
    Require(settings.shortName.size() <= 13);
    Require(settings.readerType >= -32768 && settings.readerType <= 32767);
    const std::string folder = brenmark::DriverFolder(settings.readerType, settings.variantS);
    Require(folder.empty() == (settings.readerType == 0 || settings.readerType == 1));
    brenmark::KitDirectory(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
