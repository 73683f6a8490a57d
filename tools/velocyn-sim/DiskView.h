// Data disks for the command line: making a blank disk image (a directory outside any machine, as a data
// disk in a data centre is outside the machines), attaching it to a machine's SCSI slot and detaching it,
// and showing a machine's storage or an image's partition table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace velocyn::sim_cli {

// "10G", "512M", "65536K" or plain bytes; false for anything else or below the 64 MiB a disk needs.
bool ParseDiskSize(const std::string& text, uint64_t* bytes);
// "BUS:TARGET", each 0 to 255.
bool ParseScsiSlot(const std::string& text, uint32_t* bus, uint32_t* target);

// Empty on success, else what went wrong for people.
std::string CreateDataDisk(const std::filesystem::path& image, uint64_t size);

void PrintDiskImage(const std::filesystem::path& image, bool json, std::ostream& out);
void PrintMachineStorage(const std::filesystem::path& machine, bool json, std::ostream& out);

}  // namespace velocyn::sim_cli
