#include "SyncSpeckChange.h"

#include "DEngine.h"

using libkorvet::DEngine;

namespace libksync {

SyncSpeckChange::SyncSpeckChange(unsigned short speckSize) : bytes(speckSize, 0), segmentID(0), index(0) {}

void SyncSpeckChange::setByte(unsigned char value, unsigned short position) {
  if (position >= bytes.size()) {
    DEngine::addFatal("SyncSpeckChange::setByte(): position " + DEngine::intToStr(position));
    DEngine::fatalError(" is outside a speck of " + DEngine::intToStr(static_cast<long>(bytes.size())) + " bytes");
  }
  bytes[position] = value;
}

unsigned char SyncSpeckChange::getByte(unsigned short position) const {
  if (position >= bytes.size()) {
    DEngine::addFatal("SyncSpeckChange::getByte(): position " + DEngine::intToStr(position));
    DEngine::fatalError(" is outside a speck of " + DEngine::intToStr(static_cast<long>(bytes.size())) + " bytes");
  }
  return bytes[position];
}

libkorvet::DBuffer SyncSpeckChange::toDBuffer() const {
  libkorvet::DBuffer out;
  if (!bytes.empty()) out.appendArray(bytes.data(), static_cast<long>(bytes.size()));
  return out;
}

int SyncSpeckChange::getNumInstances() { return -1; }

}  // namespace libksync
