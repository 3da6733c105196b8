#pragma once

// One fuzz target: LLVMFuzzerTestOneInput reads one input through a reader of the client, and
// FuzzSeeds gives the inputs a run starts from, made by the client's own builders. Built with
// libFuzzer (make fuzz), or as a replay of the seeds and the kept corpus (a test in every build).

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size);

void FuzzSeeds(std::vector<QByteArray>& o_seeds);

// The application object, log sink and quiet message handler every target runs under; made once,
// with fonts and a screen (offscreen) for a target whose FuzzWantsGui says so (it lays out text).
void FuzzEnvironment();
bool FuzzWantsGui();

// The input as bytes without a copy.
inline QByteArray FuzzBytes(const uint8_t* ip_data, size_t i_size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(ip_data), int(i_size));
}
