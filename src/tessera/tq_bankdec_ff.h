// The teeth bank track: an H.264 movie held in memory whose frames are the
// stored donor patches, decoded to RGB8 in donor order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq {
namespace tessera {

// Decodes the track (length bytes at bytes) into nDonors patches of storedH rows
// of storedW RGB pixels, frame i going to donor slot trackOrder[i]. Every frame
// must be storedW x storedH and the track must hold exactly nDonors frames;
// anything else throws std::runtime_error and returns nothing.
std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, std::size_t length, int nDonors, int storedW,
                                     int storedH, const std::vector<int32_t>& trackOrder);

// "libavcodec <version> / <configuration>" of the decoder library, for diagnostics.
std::string bankDecoderBuild();

}  // namespace tessera
}  // namespace tq
